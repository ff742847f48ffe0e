#!/usr/bin/env python3
"""Measures tones in a WAV file's first channel.

    tones.py FILE FREQ [FREQ...]

Prints the file's length in seconds, then for each frequency its amplitude:
the 90th percentile over 100 ms blocks of a single-bin DFT. Every frequency
must be a multiple of 10 Hz, so that each block holds whole periods and one
tone does not leak into another's bin. The percentile ignores a source that
starts late or a short gap the sound server leaves."""
import array
import cmath
import math
import subprocess
import sys


def main():
    path, freqs = sys.argv[1], [float(f) for f in sys.argv[2:]]
    rate = int(subprocess.run(["soxi", "-r", path], capture_output=True, text=True,
                              check=True).stdout)
    raw = subprocess.run(["sox", path, "-t", "f32", "-", "remix", "1"], capture_output=True,
                         check=True).stdout
    a = array.array("f")
    a.frombytes(raw)
    block = rate // 10
    out = ["%.3f" % (len(a) / rate)]
    for f in freqs:
        turns = [cmath.exp(-2j * math.pi * f * i / rate) for i in range(block)]
        amps = []
        for start in range(0, len(a) - block + 1, block):
            acc = sum(a[start + i] * turns[i] for i in range(block))
            amps.append(2 * abs(acc) / block)
        amps.sort()
        out.append("%.4f" % (amps[min(len(amps) - 1, int(0.9 * len(amps)))] if amps else 0.0))
    print(" ".join(out))


main()
