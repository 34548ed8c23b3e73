#!/usr/bin/env python3
"""What a release's cutting costs and saves, by hand (never run by ctest).

    cmake -S . -B build-bench -DSKARVEL_BENCH=ON
    cmake --build build-bench --target SkarvelPublish -j2
    bench/cutting.py [--scale 0.25] [--averages 8K,16K,32K,64K,128K] [--fixed 8M]

Generates bench/generate.py's tree once, then for each cutting (content
cutting at each average, with the publisher's other defaults, and fixed
cutting at --fixed) publishes it into a server folder of its own, applies
bench/generate.py's 1 % update (seed 100) and publishes that, then inserts
4 KiB at the front of the largest archive and publishes that. From the
server folder it reads what a client that holds the earlier release (and
every blob of it, which an up-to-date instance does) must download:

- patch: the blobs the new release names and the earlier one did not, as
  stored (gzip), and how many requests they take alone;
- documents: the file list and bundle index the update fetches, raw and as
  nginx sends them (gzip level 1, scripts/serve.sh's setting);
- the blob count and mean blob, the publish time and the server folder's
  file count.

Prints a markdown table. Everything lives in a temporary folder that is
removed at the end. Its figures leave out what bench/run.sh measures on the
wire (request headers, the pointer and manifest): about 250 bytes per
request, a few KiB in all.
"""

import argparse
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

KIB = 1024.0
MIB = 1048576.0
HERE = os.path.dirname(os.path.abspath(__file__))


def size_text(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(text[:-1]) * units[text[-1].upper()] if text[-1].upper() in units else int(text)


class Release:
    def __init__(self, server, version):
        self.folder = os.path.join(server, "manifest", version)
        self.list = self.read("files-required.ndjson")
        self.index = self.read("bundles.ndjson")
        self.blobs = set()
        self.blob_uses = 0
        for line in self.list.splitlines():
            if line.strip():
                chunks = json.loads(line).get("chunks", [])
                self.blobs.update(chunks)
                self.blob_uses += len(chunks)

    def read(self, name):
        with open(os.path.join(self.folder, name), "rb") as body:
            return body.read()

    def documents(self):
        raw = len(self.list) + len(self.index)
        wire = len(gzip.compress(self.list, 1)) + len(gzip.compress(self.index, 1))
        return raw, wire


def chunk_file(server, digest):
    return os.path.join(server, "chunks", digest[:2], digest[2:4], digest + ".gz")


def decoded_size(path):
    # A gzip member ends with the decoded length (modulo 4 GiB).
    with open(path, "rb") as member:
        member.seek(-4, os.SEEK_END)
        return int.from_bytes(member.read(4), "little")


def patch(server, before, after):
    fresh = after.blobs - before.blobs
    stored = sum(os.path.getsize(chunk_file(server, digest)) for digest in fresh)
    return stored, len(fresh)


def run(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def measure(args, base, work, label, options):
    tree = os.path.join(work, "tree-" + label)
    server = os.path.join(work, "server-" + label)
    shutil.copytree(base, tree, symlinks=True)
    publish = [args.publish, "release", "--server", server, "--key", args.key, "--required",
               tree, "--quiet"] + options

    def release(version, sequence):
        run(publish + ["--version", version, "--sequence", str(sequence)])
        return Release(server, version)

    start = time.perf_counter()
    first = release("1.0", 1)
    seconds = time.perf_counter() - start
    files = sum(len(names) for _, _, names in os.walk(server))
    sizes = [decoded_size(chunk_file(server, digest)) for digest in first.blobs]
    run([sys.executable, args.generate, "update", tree, "--seed", "100"])
    updated = release("1.1", 2)
    run([sys.executable, args.generate, "insert-front", tree, "--seed", "100"])
    inserted = release("1.2", 3)
    update_bytes, update_blobs = patch(server, first, updated)
    insert_bytes, insert_blobs = patch(server, updated, inserted)
    raw, wire = updated.documents()
    shutil.rmtree(tree)
    shutil.rmtree(server)
    return [label, "%d" % len(first.blobs), "%.1f" % (sum(sizes) / max(1, len(sizes)) / KIB),
            "%.1f" % seconds, "%d" % files,
            "%.2f (%d)" % (update_bytes / MIB, update_blobs),
            "%.2f (%d)" % (insert_bytes / MIB, insert_blobs),
            "%.2f / %.2f" % (raw / MIB, wire / MIB),
            "%.2f" % ((update_bytes + wire) / MIB)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=0.25)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--averages", default="8K,16K,32K,64K,128K")
    parser.add_argument("--fixed", default="8M", help="also fixed cutting at this size ('' for none)")
    parser.add_argument("--publish", default=os.path.join(HERE, "..", "build-bench", "bin",
                                                          "SkarvelPublish"))
    parser.add_argument("--key", default=os.path.join(HERE, "..", "tests", "data",
                                                      "dev-signing-key.pem"))
    parser.add_argument("--generate", default=os.path.join(HERE, "generate.py"))
    args = parser.parse_args()
    configs = [("content %s" % average, ["--cut-average", average])
               for average in args.averages.split(",") if average]
    if args.fixed:
        configs.append(("fixed %s" % args.fixed, ["--cutting", "fixed", "--chunk-size", args.fixed]))

    work = tempfile.mkdtemp(prefix="skarvel-cutting.", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        base = os.path.join(work, "base")
        run([sys.executable, args.generate, "tree", base, "--scale", str(args.scale),
             "--seed", str(args.seed)])
        print("SCALE=%s, %d cores, load average %s" % (args.scale, os.cpu_count(),
                                                       " ".join("%.1f" % x for x in os.getloadavg())))
        print()
        print("| cutting | blobs | mean blob KiB | publish s | server files | 1 % update: new "
              "blobs MiB gz (count) | 4 KiB at the front: new blobs MiB gz (count) | file list + "
              "bundle index MiB raw / gz | 1 % update: blobs + documents MiB |")
        print("|---|---|---|---|---|---|---|---|---|")
        for label, options in configs:
            print("| " + " | ".join(measure(args, base, work, label.replace(" ", "-"), options))
                  .replace("content-", "content ").replace("fixed-", "fixed ") + " |", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
