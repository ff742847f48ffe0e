#!/usr/bin/env python3
"""Feeds a PulseAudio pipe source as a device whose clock runs PPM off:
(1 + PPM * 1e-6) * 44100 frames of 16-bit stereo per second of real time,
with a 10 ms 1 kHz beep at the start of every real second. Like a real
device, it keeps its frames on its clock whatever happens: frames this
program was too busy to hand over on time still go out, a little late, as a
driver's buffer would deliver them; only frames for which the pipe had no
room (the sound server reads it only while something records) are dropped,
as a device drops what nobody took.

    pipe_feeder.py FIFO PPM
"""
import errno
import math
import os
import sys
import time

RATE = 44100
FRAME_BYTES = 4
# Kept this far ahead of real time in the pipe, as a device driver keeps a
# period or two in hand: a reader that finds the pipe short fills the gap.
LEAD = 0.1
# Frames the pipe had no room for are held this long, then dropped.
HELD = RATE // 20
fifo, ppm = sys.argv[1], float(sys.argv[2])
frames_per_second = RATE * (1 + ppm * 1e-6)
beep = [int(16383 * math.sin(2 * math.pi * 1000 * i / RATE)) for i in range(RATE // 100)]


def sample(n):
    # Beeps once a real second: every frames_per_second frames of this device.
    k = round(n / frames_per_second)
    start = round(k * frames_per_second)
    return beep[n - start] if 0 <= n - start < len(beep) else 0


def frames(first, end):
    block = bytearray()
    for n in range(first, end):
        v = sample(n).to_bytes(2, "little", signed=True)
        block += v + v
    return block


fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
begin = time.monotonic()
made = 0
pending = bytearray()
while True:
    due = int((time.monotonic() - begin + LEAD) * frames_per_second)
    if due > made:
        pending += frames(made, due)
        made = due
    while pending:
        try:
            pending = pending[os.write(fd, pending):]
        except OSError as e:
            if e.errno != errno.EAGAIN:
                raise
            break
    excess = len(pending) // FRAME_BYTES - HELD
    if excess > 0:
        # Whole frames, so the pipe's bytes stay on frame boundaries.
        del pending[: excess * FRAME_BYTES]
    time.sleep(0.005)
