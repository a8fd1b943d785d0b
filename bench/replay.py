#!/usr/bin/env python3
"""Replays one CPUID dump several times with vexmora-replay, and with a second
build of it where one is given, and prints each one's median wall time and
median peak resident memory (GNU time's %M), and the second's ratios to the
first. Both are run interleaved in this one run of the script, so the ratios
compare builds on the same machine under the same load.

Usage: bench/replay.py DUMP [path/to/vexmora-replay] [baseline/vexmora-replay] [runs]
       (defaults: build/vexmora-replay, no baseline, 7 runs)
"""
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from memory import TIME, run_once  # noqa: E402


def replay_once(exe, dump, scratch):
    """Wall time in ms, peak resident memory in KB and the report's processor count of one replay."""
    wall, peak, report = run_once([exe, dump], scratch)
    logical = next((line for line in report.splitlines()
                    if line.startswith("Nombre total de processeurs logiques")), "?")
    return wall, peak, logical


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    dump = sys.argv[1]
    exes = [sys.argv[2] if len(sys.argv) > 2 else "build/vexmora-replay"]
    if len(sys.argv) > 3 and sys.argv[3]:
        exes.append(sys.argv[3])
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 7
    if not os.path.exists(TIME):
        raise SystemExit("needs GNU time: apt-get install -y time")
    figures = {exe: ([], [], None) for exe in exes}
    with tempfile.NamedTemporaryFile() as scratch:
        for _ in range(runs):
            for exe in exes:
                wall, peak, logical = replay_once(exe, dump, scratch.name)
                figures[exe][0].append(wall)
                figures[exe][1].append(peak)
                figures[exe] = (figures[exe][0], figures[exe][1], logical)
    print(f"dump: {dump}, {runs} runs each")
    for exe in exes:
        walls, peaks, logical = figures[exe]
        print(f"{exe}: wall {statistics.median(walls):.1f} ms, peak RSS {statistics.median(peaks)} KB ({logical})")
    if len(exes) == 2:
        new, old = (figures[exe] for exe in exes)
        print(f"ratio to {exes[1]}: wall x{statistics.median(new[0]) / statistics.median(old[0]):.2f}, "
              f"peak RSS x{statistics.median(new[1]) / statistics.median(old[1]):.2f}")


if __name__ == "__main__":
    main()
