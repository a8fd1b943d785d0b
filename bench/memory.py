#!/usr/bin/env python3
"""Runs vexmora several times on this machine, with lscpu and `cpuid -1` where
they are installed, and prints each program's peak resident memory side by
side, and vexmora's wall time against the waits it makes by design. Every figure
is a median over the runs, all taken in this one run of the script, and is
given as a ratio as well: figures from different machines do not compare.

Usage: bench/memory.py [path/to/vexmora] [runs]   (defaults: build/vexmora, 7)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import designed_waits_ms  # noqa: E402

RSS_LIMIT_KB = 900
RSS_LIMIT_OF_LSCPU = 0.4
WALL_LIMIT_OVER_WAITS = 0.01
TIME = "/usr/bin/time"


def run_once(command, scratch):
    """Wall time in ms, peak resident memory in KB and standard output of one run.

    GNU time reports the peak: a child forked from this script would count the
    interpreter's own pages, which a fork carries until the exec."""
    start = time.monotonic()
    done = subprocess.run([TIME, "-f", "%M", "-o", scratch, *command], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    wall = (time.monotonic() - start) * 1000
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} exited with status {done.returncode}")
    with open(scratch) as figures:
        peak = int(figures.read().split()[-1])
    return wall, peak, done.stdout.decode("utf-8", "replace")


def main():
    if not os.access(TIME, os.X_OK):
        raise SystemExit(f"needs GNU time at {TIME} (apt-get install -y time)")
    exe = sys.argv[1] if len(sys.argv) > 1 else "build/vexmora"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7

    commands = [("vexmora", [exe])]
    for name, command in (("lscpu", ["lscpu"]), ("cpuid -1", ["cpuid", "-1"])):
        if shutil.which(command[0]):
            commands.append((name, command))

    scratch = tempfile.NamedTemporaryFile(prefix="memory-", suffix=".txt", delete=False).name
    peaks = {name: [] for name, _ in commands}
    walls, waits = [], []
    # Interleaved, so a change in the machine's load touches every program alike.
    for _ in range(runs):
        for name, command in commands:
            wall, peak, output = run_once(command, scratch)
            peaks[name].append(peak)
            if name == "vexmora":
                walls.append(wall)
                waits.append(designed_waits_ms(output))

    os.unlink(scratch)
    median = {name: statistics.median(values) for name, values in peaks.items()}
    lscpu = median.get("lscpu")
    print(f"runs: {runs} of each, medians")
    print(f"{'program':<10} {'peak RSS':>10}  {'vs lscpu':>8}")
    for name, _ in commands:
        ratio = f"{median[name] / lscpu:.2f}" if lscpu else "-"
        print(f"{name:<10} {median[name]:>7.0f} KB  {ratio:>8}")
    wall, wait = statistics.median(walls), statistics.median(waits)
    print(f"vexmora wall time {wall:.1f} ms against designed waits {wait} ms: "
          f"ratio {wall / wait:.4f} ({(wall - wait) / wait * 100:+.2f} %)")

    def verdict(ok):
        return "met" if ok else "NOT met"
    print(f"target peak RSS <= {RSS_LIMIT_KB} KB: {verdict(median['vexmora'] <= RSS_LIMIT_KB)}")
    if lscpu:
        print(f"target peak RSS <= {RSS_LIMIT_OF_LSCPU} x lscpu: "
              f"{verdict(median['vexmora'] <= RSS_LIMIT_OF_LSCPU * lscpu)}")
    print(f"target wall time <= designed waits + {WALL_LIMIT_OVER_WAITS * 100:.0f} %: "
          f"{verdict(wall <= wait * (1 + WALL_LIMIT_OVER_WAITS))}")


if __name__ == "__main__":
    main()
