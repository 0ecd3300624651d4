#!/usr/bin/env python3
"""Makes newmail.wav, the new-mail chime: PCM, mono, 11,025 samples per
second, 8 bits, 7,316 samples (about 0.66 s), 7,360 bytes in all. Eight
bits, not sixteen, pay for sign-in in the program's size: half the bytes,
no codec needed anywhere, and a triangular dither keeps the bell's decay
a soft hiss rather than a buzz.

Run from this folder: python3 make_wave.py
Two soft bell tones, E6 then C6 (a plain "ding-dong"), each
with a quick attack and an exponential decay, a few overtones for a bell's
colour, and a short fade at the end so the sound stops without a click.
"""
import math
import random
import struct

RATE = 11025
COUNT = 7316


def bell(t, start, freq, decay):
    if t < start:
        return 0.0
    u = t - start
    attack = min(1.0, u / 0.004)
    envelope = attack * math.exp(-u / decay)
    tone = (math.sin(2 * math.pi * freq * u)
            + 0.35 * math.sin(2 * math.pi * 2.0 * freq * u)
            + 0.12 * math.sin(2 * math.pi * 3.01 * freq * u))
    return envelope * tone / 1.47


random.seed(7)   # the same file every time
samples = []
for n in range(COUNT):
    t = n / RATE
    value = 0.55 * bell(t, 0.0, 1318.5, 0.16) + 0.5 * bell(t, 0.16, 1046.5, 0.20)
    fade = min(1.0, (COUNT - 1 - n) / (0.03 * RATE))
    dither = random.random() - random.random()
    level = max(-1.0, min(1.0, value * fade)) * 125 + dither
    samples.append(128 + max(-128, min(127, int(round(level)))))

data = bytes(samples)
header = (b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVE'
          + b'fmt ' + struct.pack('<IHHIIHH', 16, 1, 1, RATE, RATE, 1, 8)
          + b'data' + struct.pack('<I', len(data)))
wave = header + data
assert len(wave) == 7360, len(wave)
with open('newmail.wav', 'wb') as f:
    f.write(wave)
