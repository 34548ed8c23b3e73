#!/usr/bin/env python3
"""What cutting the lists into sections costs and saves, by section average.

    bench/sections.py [--files N] [LIST]

Cuts a file list (LIST, e.g. a release's files-required.ndjson, or else a
synthetic list of N lines shaped like those of bench/generate.py's `many`
pack) the way SkarvelPublish does (the text read as pieces that end after a
comma or a line feed; a section ends after a piece whose SHA-256, first 8
bytes big-endian, modulo the average is below the piece's length, never
before a quarter of the average, always at four times it), changes one
line, and prints per average (SkarvelPublish's own, the largest power of
two not above the square root of 16 times the list's length, and others
beside it): sections, the manifest's
"sections" member for three lists (both tiers alike, as when a pack has
no optional tier, and a bundle index of the same length), gzip-compressed as nginx sends it, and the changed section
gzip-compressed: what one changed file costs in documents.
"""

import argparse
import hashlib
import json
import math
import random
import zlib

KIB = 1024


def synthetic(files):
    rng = random.Random(1)
    lines = []
    for i in range(files):
        path = "mods/mod%04d/%s/%s_%06d.txt" % (int(1000 * rng.random() ** 3), rng.choice(
            ["meshes", "textures", "sound", "scripts"]), rng.choice(["armor", "npc", "ui"]), i)
        digest = hashlib.sha256(path.encode()).hexdigest()
        chunk = hashlib.sha256(digest.encode()).hexdigest()
        lines.append(json.dumps({"path": path, "size": rng.randrange(32, 2000), "sha256": digest,
                                 "target": "instance", "chunks": [chunk]},
                                separators=(",", ":")) + "\n")
    return sorted(lines)


def pieces(lines):
    for line in lines:
        start = 0
        for i, c in enumerate(line):
            if c == ",":
                yield line[start:i + 1].encode()
                start = i + 1
        if start < len(line):
            yield line[start:].encode()


def cut(lines, average):
    sections, current = [], []
    size = 0
    for data in pieces(lines):
        current.append(data)
        size += len(data)
        says = int.from_bytes(hashlib.sha256(data).digest()[:8], "big") % average < len(data)
        if (size >= average // 4 and says) or size >= 4 * average:
            sections.append(b"".join(current))
            current, size = [], 0
    if current:
        sections.append(b"".join(current))
    return sections


def gz(data):
    return len(zlib.compress(data, 6))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("list", nargs="?")
    parser.add_argument("--files", type=int, default=100000)
    args = parser.parse_args()
    if args.list:
        with open(args.list) as f:
            lines = f.readlines()
    else:
        lines = synthetic(args.files)
    whole = "".join(lines).encode()
    changed = list(lines)
    middle = len(changed) // 2
    changed[middle] = changed[middle].replace('"size":', '"size":1')
    print("%d lines, %.1f KiB (%.1f KiB gzip) whole" % (len(lines), len(whole) / KIB,
                                                         gz(whole) / KIB))
    print("| average | sections | manifest member (gzip) | changed sections (gzip) | total |")
    print("|---|---|---|---|---|")
    publisher = 2 * KIB
    while publisher * 2 <= math.sqrt(16 * len(whole)):
        publisher *= 2
    for average in [publisher, 8 * KIB, 16 * KIB, 32 * KIB, 64 * KIB]:
        before = {hashlib.sha256(s).hexdigest() for s in cut(lines, average)}
        after = cut(changed, average)
        files = json.dumps([[hashlib.sha256(s).hexdigest(), len(s)] for s in after],
                           separators=(",", ":"))
        # The bundle index, as long again, has sections of its own digests.
        bundles = json.dumps([[hashlib.sha256(b"b" + s).hexdigest(), len(s)] for s in after],
                             separators=(",", ":"))
        member = '{"filesRequired":%s,"filesOptional":%s,"bundles":%s}' % (files, files, bundles)
        fresh = [s for s in after if hashlib.sha256(s).hexdigest() not in before]
        manifest = gz(member.encode())
        sections = sum(gz(s) for s in fresh)
        print("| %.1f KiB | %d | %.1f KiB | %d: %.1f KiB | %.1f KiB |" % (
            average / KIB, len(after), manifest / KIB, len(fresh), sections / KIB,
            (manifest + sections) / KIB))


if __name__ == "__main__":
    main()
