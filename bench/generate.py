#!/usr/bin/env python3
"""Generates the synthetic release that bench/run.sh publishes and syncs.

    bench/generate.py tree DIR [--scale S] [--seed N]
    bench/generate.py update DIR [--seed N]
    bench/generate.py insert-front DIR [--seed N]

`tree` writes a content folder laid out like an instance's "content": mostly
10-200 KiB files (log-uniform) in nested mod folders, some 2-30 MiB archives,
two large archives and three small program files under bin/. At --scale 1 it
is about 1 GiB in about 4,000 files in about 1,000 folders; the counts of
small files and archives and the size of the two large archives grow with
the scale (so do the folders), the size distributions do not.

`update` rewrites about 1 % of the files of a tree that `tree` made, the way
a mod update does: one large archive gets 64 KiB overwritten, one archive
4 KiB inserted, and the small files alternately 64 KiB (or all of the file,
when smaller) overwritten and 4 KiB inserted. Every update seed changes
other files. It prints the changed paths, one a line.

`insert-front` inserts 4 KiB at the very start of the tree's largest file (a
large archive), which moves every byte of it, and prints its path.

Content is the same for the same seed and scale on every machine: every
4 KiB block is about 60 % pseudo-random bytes and 40 % of a text line that
repeats within the file, so gzip -6 leaves about 60 % of it, as with the
mixed archives and text data of a real pack. Each file's random stream is
seeded from the seed and its path, so no two files share a block and the
blob store cannot fold them together.
"""

import argparse
import hashlib
import math
import os
import random
import sys

KIB = 1024
MIB = 1024 * KIB

# Figures at scale 1; see bench/README.md for what they were chosen after.
SMALL_FILES = 3974
SMALL_MIN, SMALL_MAX = 10 * KIB, 200 * KIB
ARCHIVES = 24
ARCHIVE_MIN, ARCHIVE_MAX = 2 * MIB, 30 * MIB
LARGE_SIZE = 212 * MIB
FOLDERS = 315          # leaf folders; with their parents about 1,060
MODS = 60

BLOCK = 4096
# Fraction of each block that is random; the rest deflates to almost nothing.
RANDOM_BYTES = 2430

CATEGORIES = ["meshes", "textures", "sound", "scripts", "music", "icons", "fonts", "splash"]
WORDS = ["armor", "weapons", "clutter", "architecture", "creatures", "npc", "flora",
         "terrain", "effects", "interior", "exterior", "misc", "ui", "vo", "fx"]
SMALL_EXTENSIONS = [".nif", ".dds", ".wav", ".esp", ".txt", ".lua", ".kf", ".json"]


def rng_for(seed, *parts):
    """A random stream of its own for one purpose, independent of the order
    in which other streams are used."""
    key = hashlib.sha256(repr((seed,) + parts).encode()).digest()
    return random.Random(int.from_bytes(key[:8], "little"))


def filler_line(rng):
    words = [rng.choice(WORDS) + "_%04d" % rng.randrange(10000) for _ in range(6)]
    return (" ".join(words) + " alpha=0.%03d\n" % rng.randrange(1000)).encode()


def content_pieces(seed, path, size):
    """Yields the file's bytes in pieces of at most about 1 MiB."""
    rng = rng_for(seed, "content", path)
    line = filler_line(rng)
    filler = (line * (BLOCK // len(line) + 2))[: BLOCK - RANDOM_BYTES]
    left = size
    while left > 0:
        blocks = min(256, (left + BLOCK - 1) // BLOCK)
        random_part = rng.randbytes(RANDOM_BYTES * blocks)
        parts = []
        for b in range(blocks):
            parts.append(random_part[b * RANDOM_BYTES:(b + 1) * RANDOM_BYTES])
            parts.append(filler)
        piece = b"".join(parts)[:left]
        left -= len(piece)
        yield piece


def random_bytes(seed, purpose, size):
    return b"".join(content_pieces(seed, purpose, size))


def write_file(root, path, seed, size):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as out:
        for piece in content_pieces(seed, path, size):
            out.write(piece)


def counts(scale):
    small = max(4, round(SMALL_FILES * scale))
    archives = max(1, round(ARCHIVES * scale))
    large = max(MIB, int(LARGE_SIZE * scale))
    folders = max(4, round(FOLDERS * scale))
    mods = max(2, round(MODS * scale))
    return small, archives, large, folders, mods


def folder_names(rng, folders, mods):
    """Nested mod folders: mods/<mod>/<category>/<word>[/<word>[/...]]."""
    names = set()
    while len(names) < folders:
        mod = "mods/%03d-%s" % (rng.randrange(mods), rng.choice(WORDS))
        depth = rng.choice([1, 2, 2, 3, 3, 4])
        parts = [rng.choice(CATEGORIES)] + [rng.choice(WORDS) + str(rng.randrange(20))
                                              for _ in range(depth - 1)]
        names.add(mod + "/" + "/".join(parts))
    return sorted(names)


def log_uniform(rng, low, high):
    return int(math.exp(rng.uniform(math.log(low), math.log(high))))


def plan_tree(scale, seed):
    """The tree as (path, size, kind) in a fixed order; kind is small,
    program, archive or large."""
    small, archives, large, folders, mods = counts(scale)
    rng = rng_for(seed, "layout", scale)
    dirs = folder_names(rng, folders, mods)
    files = [("bin/Skarvel", 180 * KIB, "program"),
             ("bin/SkarvelLauncher", 900 * KIB, "program"),
             ("bin/libcorvane.so", 2 * MIB + 300 * KIB, "program")]
    used = set(path for path, _, _ in files)
    while len(files) < small:
        path = "%s/%s%05d%s" % (rng.choice(dirs), rng.choice(WORDS), rng.randrange(100000),
                                rng.choice(SMALL_EXTENSIONS))
        if path in used:
            continue
        used.add(path)
        files.append((path, log_uniform(rng, SMALL_MIN, SMALL_MAX), "small"))
    for i in range(archives):
        path = "mods/%03d-archive/data%02d.bsa" % (i % mods, i)
        files.append((path, rng.randrange(ARCHIVE_MIN, ARCHIVE_MAX + 1), "archive"))
    for i in range(2):
        files.append(("mods/%03d-base/base%d.bsa" % (i, i), large + i * 4099, "large"))
    return files


def make_tree(root, scale, seed):
    files = plan_tree(scale, seed)
    for path, size, _ in files:
        write_file(root, path, seed, size)
    # Program files are executable in a real pack; the publisher keeps the bit.
    for path, _, kind in files:
        if kind == "program":
            os.chmod(os.path.join(root, path), 0o755)
    total = sum(size for _, size, _ in files)
    print("%d files, %.1f MiB" % (len(files), total / MIB), file=sys.stderr)


def overwrite(full, rng, seed, tag, length):
    size = os.path.getsize(full)
    length = min(length, size)
    offset = rng.randrange(size - length + 1)
    with open(full, "r+b") as f:
        f.seek(offset)
        f.write(random_bytes(seed, tag, length))


def insert(full, rng, seed, tag, length):
    # Read and rewritten whole: the inserted bytes shift the rest of the file.
    with open(full, "rb") as f:
        data = f.read()
    offset = rng.randrange(len(data) + 1)
    with open(full, "wb") as f:
        f.write(data[:offset])
        f.write(random_bytes(seed, tag, length))
        f.write(data[offset:])


def tree_files(root):
    """The tree's files as sorted relative paths with their sizes."""
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            found.append((os.path.relpath(full, root), os.path.getsize(full)))
    return sorted(found)


def update_tree(root, seed):
    """Changes 1 % of the files (at least three) and prints their paths. The
    tree is read from disk, so it works on any tree `tree` made."""
    files = tree_files(root)
    larges = [path for path, _ in files if "-base/base" in path]
    archives = [path for path, _ in files if path.endswith(".bsa") and path not in larges]
    smalls = [path for path, _ in files
              if not path.endswith(".bsa") and not path.startswith("bin/")]
    rng = rng_for(seed, "update")
    changes = max(3, round(len(files) / 100))
    chosen = [(rng.choice(larges), "overwrite"), (rng.choice(archives), "insert")]
    for i, path in enumerate(rng.sample(smalls, changes - 2)):
        chosen.append((path, "overwrite" if i % 2 == 0 else "insert"))
    for path, how in chosen:
        full = os.path.join(root, path)
        tag = "update %d %s" % (seed, path)
        if how == "overwrite":
            overwrite(full, rng, seed, tag, 64 * KIB)
        else:
            insert(full, rng, seed, tag, 4 * KIB)
        print(path)


def insert_front(root, seed):
    """4 KiB before the first byte of the largest file; prints its path."""
    path = max(tree_files(root), key=lambda entry: (entry[1], entry[0]))[0]
    full = os.path.join(root, path)
    with open(full, "rb") as f:
        data = f.read()
    with open(full, "wb") as f:
        f.write(random_bytes(seed, "insert-front %d %s" % (seed, path), 4 * KIB))
        f.write(data)
    print(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=["tree", "update", "insert-front"])
    parser.add_argument("dir")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.scale <= 0:
        parser.error("--scale must be above 0")
    if args.action == "tree":
        make_tree(args.dir, args.scale, args.seed)
    elif args.action == "update":
        update_tree(args.dir, args.seed)
    else:
        insert_front(args.dir, args.seed)


if __name__ == "__main__":
    main()
