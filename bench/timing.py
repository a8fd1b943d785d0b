#!/usr/bin/env python3
"""Runs vexmora several times on this machine and prints how long a run takes
against the waits the program makes by design, and how far its classic clock
measurement lies from the kernel's figure.

Usage: bench/timing.py [path/to/vexmora] [runs]   (defaults: build/vexmora, 5)
"""
import re
import statistics
import subprocess
import sys
import time

# After each processor's pin, Vexmora.exe sleeps 16 ms so that the scheduler
# moves its thread; on Linux sched_setaffinity has moved it before returning,
# and the walk does not wait at all, however many processors there are.
PIN_SLEEP_MS = 0
CLOCK_SLEEP_MS = 300       # before the classic method
CLASSIC_MS = 100           # classic method
MULTIPLIER_MS = 20         # multiplier reads
SETTLE_MS = 200            # after the fixed method
ALTERNATIVES_MS = 100 + 600
TEMPERATURE_SLEEP_MS = 1200


def designed_waits_ms(report):
    """The waits this run made, told from its own report."""
    logical = int(re.search(r"Nombre total de processeurs logiques : (\d+)", report).group(1))
    waits = PIN_SLEEP_MS * logical + CLOCK_SLEEP_MS + CLASSIC_MS + TEMPERATURE_SLEEP_MS
    # The fixed method is printed exactly when the multipliers were read and the 200 ms wait follows.
    if "Methode classique fixed" in report:
        waits += MULTIPLIER_MS + SETTLE_MS
        signature = re.search(r"CPU Family ([0-9A-F]+) Model ([0-9A-F]+)", report)
        family, model = int(signature.group(1), 16), int(signature.group(2), 16)
        if not (family == 6 and model >= 0x10):  # an extended family 6 model stops there
            waits += ALTERNATIVES_MS
    return waits


def kernel_mhz():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("cpu MHz"):
                return float(line.split(":")[1])
    return None


def main():
    exe = sys.argv[1] if len(sys.argv) > 1 else "build/vexmora"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    walls, waits, classic = [], [], []
    for _ in range(runs):
        start = time.monotonic()
        done = subprocess.run([exe], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, check=True)
        walls.append((time.monotonic() - start) * 1000)
        report = done.stdout.decode("utf-8", "replace")
        waits.append(designed_waits_ms(report))
        classic.append(float(re.search(r"Methode classique : ([0-9.]+) MHz", report).group(1)))

    wall = statistics.median(walls)
    wait = statistics.median(waits)
    print(f"runs                 : {runs}")
    print(f"wall time, median    : {wall:.1f} ms (min {min(walls):.1f}, max {max(walls):.1f})")
    print(f"designed waits       : {wait} ms")
    print(f"overhead             : {wall - wait:.1f} ms ({(wall - wait) / wait * 100:.1f} % of the waits)")
    reference = kernel_mhz()
    median_classic = statistics.median(classic)
    print(f"classic method       : median {median_classic:.2f} MHz (min {min(classic):.2f}, max {max(classic):.2f})")
    if reference:
        errors = [(c - reference) / reference * 100 for c in classic]
        print(f"kernel (cpu MHz)     : {reference:.3f} MHz")
        print(f"relative error       : median {(median_classic - reference) / reference * 100:+.4f} %"
              f" (worst {max(errors, key=abs):+.4f} %)")
    else:
        print("kernel (cpu MHz)     : not reported")


if __name__ == "__main__":
    main()
