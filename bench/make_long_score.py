#!/usr/bin/env python3
"""Writes the benchmark score: about twelve minutes of five-voice music with
decay, a noise-drum voice, instruments redefined from part to part, key
changes, parts and replays. Deterministic: the same file every time."""
import random
import sys

rng = random.Random(2026)
out = ["/ benchmark score: five voices, decay, noise, changing instruments",
       "=C0 JAT2 Z2"]
durations = ["Q", "I", "S", "H", "Q.", "I."]
for part in range(1, 49):
    out.append("P%02X" % part)
    # A new sound for two instruments in every part.
    for letter in "AB":
        kind = "S" if rng.random() < 0.7 else "R"
        digits = "".join(rng.choice("0123456789ABCDEF") for _ in range(8))
        out.append("J%s%s%sF" % (letter, kind, digits))
    out.append("JAT%X" % rng.randint(1, 4))
    out.append("K%d%s" % (rng.randint(0, 5), rng.choice("#&")))
    for bar in range(8):
        line = []
        for voice in range(1, 6):
            line.append("V%d Y%s L%X" % (voice, "ABCDE"[voice - 1], rng.randint(8, 15)))
            if voice == 5:
                line.append("_")  # the drum voice plays noise
            ticks = 0
            while ticks < 192:
                d = rng.choice(durations)
                length = {"Q": 48, "I": 24, "S": 12, "H": 96, "Q.": 72, "I.": 36}[d]
                if ticks + length > 192:
                    d, length = "S", 12
                ticks += length
                step = rng.randint(0, 12) if voice < 4 else rng.randint(0, 15)
                sign = "-" if voice in (3, 4) else ""
                accidental = rng.choice(["", "", "", "#", "&", "%"]) if voice < 5 else ""
                articulation = rng.choice(["", "", "'", ",", ";", '"'])
                line.append("%s%s%X%s%s" % (d, sign, step, accidental, articulation))
            if voice == 5:
                line.append("*")
        out.append(" ".join(line) + " M")
    if part % 6 == 0:
        out.append("R%02X" % (part - 3))
sys.stdout.write("\n".join(out) + "\n")
