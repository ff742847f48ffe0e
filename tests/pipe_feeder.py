#!/usr/bin/env python3
"""Feeds a PulseAudio pipe source as a device whose clock runs PPM off:
(1 + PPM * 1e-6) * 44100 frames of 16-bit stereo per second of real time,
with a 10 ms 1 kHz beep at the start of every real second. Like a real
device, it does not keep what nobody took: frames due while the pipe was
full (the sound server reads it only while something records) are skipped,
not delivered later in a burst.

    pipe_feeder.py FIFO PPM
"""
import math
import sys
import time

RATE = 44100
# Kept this far ahead of real time in the pipe, as a device driver keeps a
# period or two in hand: a reader that finds the pipe short fills the gap.
LEAD = 0.1
fifo, ppm = sys.argv[1], float(sys.argv[2])
frames_per_second = RATE * (1 + ppm * 1e-6)
beep = [int(16383 * math.sin(2 * math.pi * 1000 * i / RATE)) for i in range(RATE // 100)]


def sample(n):
    # Beeps once a real second: every frames_per_second frames of this device.
    k = round(n / frames_per_second)
    start = round(k * frames_per_second)
    return beep[n - start] if 0 <= n - start < len(beep) else 0


with open(fifo, "wb") as out:
    begin = time.monotonic()
    written = 0
    while True:
        due = int((time.monotonic() - begin + LEAD) * frames_per_second)
        if due - written > RATE // 20:
            written = due - RATE // 100  # overrun: what was not taken is gone
        if due > written:
            block = bytearray()
            for n in range(written, due):
                v = sample(n).to_bytes(2, "little", signed=True)
                block += v + v
            out.write(block)
            out.flush()
            written = due
        time.sleep(0.005)
