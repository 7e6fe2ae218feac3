#!/usr/bin/env python3
"""Writes three_phases.json: a deterministic example snapshot for kro-tests.

Three exchange phases on the full 1472-tile card with point-to-point, multicast, multi-iteration
and paired 64-bit transfers. Every tile hands out its memory with two bump allocators, one for
payloads it sends (lower region) and one for payloads it receives (upper region), so spans never
overlap and every address is 8-byte aligned.

    python3 examples/generate_three_phases.py > examples/three_phases.json
"""
import json
import random
import sys

TILES = 1472
PHASES = [(0, 140), (12, 110), (5, 90)]  # (phase ID, transfers), in snapshot order
SEED = 20240611


class Memory:
    """Per-tile bump allocators for send and receive buffers."""

    def __init__(self):
        self.send = [0x10000] * TILES
        self.receive = [0x80000] * TILES

    def source(self, tile, words):
        address = self.send[tile]
        self.send[tile] += (4 * words + 7) // 8 * 8
        return address

    def destination(self, tiles, words):
        # Paired destinations share one address, so both tiles advance together.
        address = max(self.receive[t] for t in tiles)
        for t in tiles:
            self.receive[t] = address + (4 * words + 7) // 8 * 8
        return address


def transfer(rng, memory):
    kind = rng.random()
    if kind < 0.15:  # paired: even source, complete destination pairs
        source = rng.randrange(0, TILES, 2)
        words = rng.randrange(128, 1025, 2)
        pairs = rng.sample([g for g in range(0, TILES, 2) if g != source], rng.randint(1, 3))
        destinations = []
        for g in sorted(pairs):
            address = memory.destination((g, g ^ 1), words)
            destinations += [{"tile": g, "address": address}, {"tile": g ^ 1, "address": address}]
        return {"source": source, "source_addresses": [memory.source(source, words)],
                "destinations": destinations, "words": words, "width": "Paired64"}
    source = rng.randrange(TILES)
    words = rng.choice([1, 2, 4, 8, 16, 32, 64, 65, 100, 256, 512, 1024, 4148])
    count = 1 if kind < 0.65 else rng.randint(2, 6)  # point-to-point or multicast
    receivers = sorted(rng.sample([t for t in range(TILES) if t != source], count))
    iterations = 1 if rng.random() < 0.8 else rng.randint(2, 3)  # Repeat iterations
    return {"source": source,
            "source_addresses": [memory.source(source, words) for _ in range(iterations)],
            "destinations": [{"tile": t, "address": memory.destination((t,), words)}
                             for t in receivers],
            "words": words, "width": "Word32"}


def main():
    rng = random.Random(SEED)
    phases = []
    for phase, count in PHASES:
        memory = Memory()  # each phase reuses the tiles' memory afresh
        phases.append({"phase": phase, "transfers": [transfer(rng, memory) for _ in range(count)]})
    out = sys.stdout
    out.write('{"schema_version": 3, "tile_count": %d, "phases": [' % TILES)
    for p, problem in enumerate(phases):
        out.write('%s\n  {"phase": %d, "transfers": [' % ("," if p else "", problem["phase"]))
        for t, item in enumerate(problem["transfers"]):
            out.write("%s\n    %s" % ("," if t else "", json.dumps(item, separators=(", ", ": "))))
        out.write("\n  ]}")
    out.write("\n]}\n")


if __name__ == "__main__":
    main()
