#!/usr/bin/env python3
"""Runs the synchroniser's benchmark rows beside their peers and prints the
table. bench/run.sh prepares everything this needs (the build, the tree, the
first release, nginx and the rsync daemon on 127.0.0.1) and stops it all
afterwards; run that, not this.

Every measured command is one child process (a shell for pipelines) run under
GNU time. Its wall time is taken around it; its peak memory (the largest
resident size of the command or any process it waited for) and the bytes it
wrote (pages it dirtied, so files deleted before they reach the disk still
count) are GNU time's figures. Bytes downloaded are what nginx's access log
says it sent for the requests the command made, or rsync's own count of the
bytes it received. Before each command the page cache is flushed (not
dropped) and the disk left alone for a few seconds, so that one command's
writeback does not run during the next.
"""

import argparse
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1048576.0
ROWS = ["cold", "unchanged", "verify", "update", "insert"]
UPDATE = "1 % update"
INSERT = "4 KiB inserted at the front of the largest archive"
CURL_SAME = "curl, same objects, + openssl dgst"
CURL_EACH = "curl, one object per blob, + openssl dgst"
NO_FLUSH = "SkarvelSync, flushes skipped (what putting files on the disk costs)"
# rsync -az picks the best compression and checksum both ends have (zstd and
# xxh128 with Debian's rsync) and never waits for the disk. These two rows give
# its like-for-like figures: the compression a gzip release is stored in, and
# the files on the disk when it returns, as SkarvelSync leaves them.
RSYNC_ZLIB = "rsync -az --compress-choice=zlib (a gzip release's compression)"
RSYNC_SYNC = "rsync -az, then sync (its files on the disk, as SkarvelSync leaves them)"


def decoded_size(path):
    """The decoded length of a stored object: a gzip member ends with it
    (modulo 4 GiB), a zstd frame's header holds it."""
    with open(path, "rb") as stored:
        if not path.endswith(".zst"):
            stored.seek(-4, os.SEEK_END)
            return int.from_bytes(stored.read(4), "little")
        header = stored.read(18)
    descriptor = header[4]
    single_segment = (descriptor >> 5) & 1
    start = 5 + (0 if single_segment else 1) + [0, 1, 2, 4][descriptor & 3]
    width = [1 if single_segment else 0, 2, 4, 8][descriptor >> 6]
    size = int.from_bytes(header[start:start + width], "little")
    return size + 256 if width == 2 else size


class Run:
    def __init__(self, wall, peak, written, downloaded, requests, output):
        self.wall = wall            # seconds
        self.peak = peak            # bytes
        self.written = written      # bytes
        self.downloaded = downloaded
        self.requests = requests    # HTTP requests, or None for rsync
        self.output = output
        # Updates only: fetched no more than the changed files' blobs, and
        # no more than the blobs new in the release.
        self.blob_ok = True
        self.new_blob_ok = True
        self.bodies = 0             # updates only: bytes of blobs and bundles, headers included


class Bench:
    def __init__(self, args):
        self.args = args
        self.url = "http://127.0.0.1:%d" % args.http_port
        self.rsync_url = "rsync://127.0.0.1:%d/tree/" % args.rsync_port
        self.work = args.work
        self.instance = os.path.join(self.work, "instance")
        self.rsync_copy = os.path.join(self.work, "rsync-copy")
        self.negotiated = set()   # what rsync says it chose, one line each
        self.curl_copy = os.path.join(self.work, "curl-copy")
        self.results = {}           # (row, tool) -> [Run]
        self.notes = {}             # row -> [text]
        self.loads = {}             # row -> [load average at start, at end]
        self.version = 1
        self.blob_uris = []

    # ---- measuring ---------------------------------------------------------------

    def log_lines(self, offset):
        with open(self.args.access_log, "rb") as log:
            log.seek(offset)
            return [line.decode().split() for line in log.read().splitlines()]

    def measure(self, command, http=True):
        # Start every command from a quiet disk: the last command's writes
        # flushed, so that their writeback does not run during this one.
        # Freshly deleted inodes still slow file creation here for minutes
        # (ext4 without a journal skips them while their table block is
        # dirty), so each tool pays for the copies removed before it, and the
        # more files a tool creates, the more it pays: see bench/README.md.
        os.sync()
        time.sleep(self.args.settle)
        offset = os.path.getsize(self.args.access_log)
        usage_file = os.path.join(self.work, "usage")
        # GNU time forks the command from its own small process: a child
        # forked from this interpreter would count the interpreter's memory
        # as its peak.
        timed = ["/usr/bin/time", "-f", "%M %O", "-o", usage_file] + command
        with tempfile.TemporaryFile() as out:
            start = time.perf_counter()
            status = subprocess.call(timed, stdout=out, stderr=subprocess.STDOUT)
            wall = time.perf_counter() - start
            out.seek(0)
            output = out.read().decode(errors="replace")
        if status != 0:
            sys.exit("benchmark command failed (%d): %s\n%s" %
                     (status, " ".join(command), output[-3000:]))
        with open(usage_file) as usage:
            peak_kib, blocks = usage.read().split()[-2:]
        # Log lines: status, bytes sent (headers and body), body bytes, URI.
        lines = self.log_lines(offset) if http else []
        downloaded = sum(int(fields[1]) for fields in lines)
        return Run(wall, int(peak_kib) * 1024, int(blocks) * 512, downloaded,
                   len(lines) if http else None, output), lines

    def record(self, row, tool, run):
        self.results.setdefault((row, tool), []).append(run)

    def note(self, row, text):
        self.notes.setdefault(row, []).append(text)

    def load_mark(self, row):
        self.loads.setdefault(row, []).append(os.getloadavg()[0])

    # ---- the commands ------------------------------------------------------------

    def skarvel(self, *extra, preload=None):
        command = [self.args.sync, "--root", self.instance, "--url", self.url] + list(extra)
        if preload:
            command = ["env", "LD_PRELOAD=" + preload] + command
        run, lines = self.measure(command)
        if "\nversion" not in run.output:
            sys.exit("SkarvelSync did not report a version:\n" + run.output[-3000:])
        return run, lines

    def rsync(self, destination, *extra, then_sync=False):
        command = ["rsync", "-az", "--stats", "--debug=nstr"] + list(extra) + [
            self.rsync_url, destination + "/"]
        if then_sync:
            command = ["sh", "-c", shlex.join(command) + " && sync"]
        run, _ = self.measure(command, http=False)
        for line in run.output.splitlines():
            if line.startswith("Total bytes received:"):
                run.downloaded = int(line.split(":")[1].strip().replace(",", ""))
            if line.startswith("Client negotiated"):
                self.negotiated.add(line.strip())
        return run

    def curl_and_hash(self, uris):
        config = os.path.join(self.work, "curl.config")
        with open(config, "w") as out:
            for uri in uris:
                out.write('url = "%s%s"\noutput = "%s%s"\n' % (self.url, uri, self.curl_copy, uri))
        script = ("curl --parallel --parallel-max 6 --compressed --create-dirs --fail -sS -K %s"
                  " && find %s -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null"
                  % (shlex.quote(config), shlex.quote(self.curl_copy)))
        run, _ = self.measure(["sh", "-c", script])
        return run

    def hash_tree(self, folder):
        script = ("find %s -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null"
                  % shlex.quote(folder))
        run, _ = self.measure(["sh", "-c", script], http=False)
        return run

    def remove(self, folder):
        shutil.rmtree(folder, ignore_errors=True)
        os.sync()

    # ---- releases ----------------------------------------------------------------

    def publish(self):
        self.version += 1
        subprocess.run([self.args.publish, "release", "--server", self.args.server, "--key",
                        self.args.key, "--version", "1.%d" % self.version, "--sequence",
                        str(self.version), "--required", self.args.tree, "--quiet"]
                       + shlex.split(self.args.publish_args),
                       check=True, stderr=subprocess.DEVNULL)

    def file_list(self, version):
        path = os.path.join(self.args.server, "manifest", version, "files-required.ndjson")
        with open(path) as body:
            return [json.loads(line) for line in body if line.strip()]

    def suffix(self):
        """The stored objects' suffix: the current release's manifest names
        its encoding ("zstd"), or none for gzip."""
        path = os.path.join(self.args.server, "manifest", "1.%d" % self.version, "manifest.json")
        with open(path) as body:
            return ".zst" if json.load(body).get("encoding") == "zstd" else ".gz"

    def chunk_uri(self, digest):
        return "/chunks/%s/%s/%s%s" % (digest[:2], digest[2:4], digest, self.suffix())

    def chunk_path(self, digest):
        return self.args.server + self.chunk_uri(digest)

    def chunk_gz_size(self, digest):
        return os.path.getsize(self.chunk_path(digest))

    def changed_blob_bytes(self, old_version, new_version):
        """Compressed sizes of the blobs of the files that changed between the
        releases: all of their blobs, and those the old release lacked."""
        old_entries = {entry["path"]: entry for entry in self.file_list(old_version)}
        old_blobs = set(chunk for entry in old_entries.values() for chunk in entry["chunks"])
        changed = set()
        for entry in self.file_list(new_version):
            before = old_entries.get(entry["path"])
            if before is None or before["sha256"] != entry["sha256"]:
                changed.update(entry["chunks"])
        new = changed - old_blobs
        return (sum(self.chunk_gz_size(digest) for digest in changed),
                sum(self.chunk_gz_size(digest) for digest in new), len(changed), len(new))

    def every_blob_uri(self):
        version = "1.%d" % self.version
        digests = set(chunk for entry in self.file_list(version) for chunk in entry["chunks"])
        return [self.chunk_uri(digest) for digest in sorted(digests)]

    def largest_download(self):
        """The largest bundle and the largest single blob of the release, as
        they arrive (decoded): a worker holds one of them at a time."""
        version = "1.%d" % self.version
        path = os.path.join(self.args.server, "manifest", version, "bundles.ndjson")
        with open(path) as body:
            bundle = max([json.loads(line)["size"] for line in body if line.strip()] + [0])
        blob = 0
        for digest in set(chunk for entry in self.file_list(version) for chunk in entry["chunks"]):
            blob = max(blob, decoded_size(self.chunk_path(digest)))
        return bundle, blob

    # ---- rows --------------------------------------------------------------------

    def cold(self):
        row = "cold install"
        self.load_mark(row)
        for _ in range(self.args.runs):
            self.remove(self.instance)
            os.makedirs(self.instance)
            run, lines = self.skarvel()
            self.record(row, "SkarvelSync", run)
            if self.args.no_flush:
                self.remove(self.instance)
                os.makedirs(self.instance)
                self.record(row, NO_FLUSH, self.skarvel(preload=self.args.no_flush)[0])
            if not self.blob_uris:
                self.blob_uris = [fields[3] for fields in lines
                                  if fields[3].startswith(("/chunks/", "/bundles/"))]
            self.remove(self.curl_copy)
            self.record(row, CURL_SAME, self.curl_and_hash(self.blob_uris))
            self.remove(self.curl_copy)
            self.record(row, CURL_EACH, self.curl_and_hash(self.every_blob_uri()))
            self.remove(self.rsync_copy)
            self.record(row, "rsync -az", self.rsync(self.rsync_copy))
            self.remove(self.rsync_copy)
            self.record(row, RSYNC_SYNC, self.rsync(self.rsync_copy, then_sync=True))
            self.remove(self.rsync_copy)
            self.record(row, RSYNC_ZLIB, self.rsync(self.rsync_copy, "--compress-choice=zlib"))
        self.note(row, "rsync -az: " + "; ".join(sorted(self.negotiated)))
        bundles = sum(1 for uri in self.blob_uris if uri.startswith("/bundles/"))
        self.note(row, "%d objects (%d bundles, %d chunks)" %
                  (len(self.blob_uris), bundles, len(self.blob_uris) - bundles))
        self.load_mark(row)

    def unchanged(self):
        row = "unchanged rerun"
        self.load_mark(row)
        for _ in range(self.args.runs):
            run, lines = self.skarvel()
            if "changed   no" not in run.output:
                sys.exit("an unchanged rerun changed something:\n" + run.output[-3000:])
            self.record(row, "SkarvelSync", run)
            self.record(row, "rsync -az (no change)", self.rsync(self.rsync_copy))
        counts = sorted(set(run.requests for run in self.results[(row, "SkarvelSync")]))
        self.note(row, "SkarvelSync requests per run: %s" % ", ".join(map(str, counts)))
        self.load_mark(row)

    def verify(self):
        row = "--verify, intact"
        self.load_mark(row)
        content = os.path.join(self.instance, "content")
        for _ in range(self.args.runs):
            run, _ = self.skarvel("--verify")
            if "changed   no" not in run.output:
                sys.exit("--verify of an intact instance changed something:\n" + run.output[-3000:])
            self.record(row, "SkarvelSync", run)
            self.record(row, "openssl dgst -sha256 over the tree", self.hash_tree(content))
        self.load_mark(row)

    def setup(self):
        """Without the cold-install row, an instance and an rsync copy to
        update, made once and not measured as a row."""
        self.remove(self.instance)
        os.makedirs(self.instance)
        self.skarvel()
        self.remove(self.rsync_copy)
        self.rsync(self.rsync_copy)

    def change_and_sync(self, row, tool, action, seed, run_number):
        """Changes the tree (bench/generate.py `action`), publishes it, and
        brings SkarvelSync's instance and rsync's copy up to date."""
        before = "1.%d" % self.version
        changed = subprocess.run([sys.executable, self.args.generate, action, self.args.tree,
                                  "--seed", str(seed)], check=True, capture_output=True,
                                 text=True).stdout.split()
        self.publish()
        after = "1.%d" % self.version
        whole, new, whole_count, new_count = self.changed_blob_bytes(before, after)
        run, lines = self.skarvel()
        objects = [fields for fields in lines if fields[3].startswith(("/chunks/", "/bundles/"))]
        fetched = sum(int(fields[2]) for fields in objects)
        bodies = sum(int(fields[1]) for fields in objects)
        self.record(row, "SkarvelSync", run)
        peer = self.rsync(self.rsync_copy)
        self.record(row, tool, peer)
        self.note(row, "run %d: %d files changed; their %d blobs are %.2f MiB gz, of which %d "
                  "new (%.2f MiB gz); SkarvelSync downloaded %.3f MiB in %d requests: %.3f MiB of "
                  "documents and %.3f MiB of blobs and bundles (%d requests, headers included); "
                  "rsync -az received %.3f MiB"
                  % (run_number, len(changed), whole_count, whole / MIB, new_count, new / MIB,
                     run.downloaded / MIB, run.requests, (run.downloaded - bodies) / MIB,
                     bodies / MIB, len(objects), peer.downloaded / MIB))
        run.blob_ok = fetched <= whole
        run.new_blob_ok = fetched <= new
        run.bodies = bodies

    def update(self):
        row = UPDATE
        self.load_mark(row)
        for i in range(self.args.runs):
            self.change_and_sync(row, "rsync -az (same change)", "update", 100 + i, i + 1)
        self.load_mark(row)

    def insert(self):
        row = INSERT
        self.load_mark(row)
        for i in range(self.args.runs):
            self.change_and_sync(row, "rsync -az (same change)", "insert-front", 200 + i, i + 1)
        self.load_mark(row)

    def check_copies(self):
        """Every copy must equal the tree, or the figures mean nothing."""
        for folder in [os.path.join(self.instance, "content"), self.rsync_copy]:
            result = subprocess.run(["diff", "-rq", "--exclude=cache", self.args.tree, folder],
                                    capture_output=True, text=True)
            if result.returncode != 0:
                sys.exit("%s differs from the tree:\n%s" % (folder, result.stdout[-3000:]))

    # ---- the table ---------------------------------------------------------------

    def table(self):
        bundle, blob = self.largest_download()
        print("| row | tool | wall s (median) | downloaded MiB | written MiB | peak RSS MiB |"
              " SkarvelSync / peer | target |")
        print("|---|---|---|---|---|---|---|---|")
        targets = {
            ("cold install", "rsync -az"): 1.0,
            ("cold install", CURL_SAME): 1.3,
            ("cold install", NO_FLUSH): 1.05,
            ("unchanged rerun", "rsync -az (no change)"): 0.1,
            ("1 % update", "rsync -az (same change)"): 1.0,
            ("--verify, intact", "openssl dgst -sha256 over the tree"): 1.3,
        }
        verdicts = []
        for row in ["cold install", "unchanged rerun", UPDATE, INSERT, "--verify, intact"]:
            tools = [tool for (r, tool) in self.results if r == row]
            if not tools:
                continue
            ours = statistics.median(run.wall for run in self.results[(row, "SkarvelSync")])
            for tool in tools:
                runs = self.results[(row, tool)]
                wall = statistics.median(run.wall for run in runs)
                ratio = "" if tool == "SkarvelSync" else "%.2f" % (ours / wall)
                target = targets.get((row, tool))
                verdict = ""
                if target is not None:
                    met = ours / wall <= target
                    verdict = "<= %g: %s" % (target, "met" if met else "MISSED")
                    verdicts.append("%s vs %s: %.2fx (target <= %g) %s" %
                                    (row, tool, ours / wall, target, "met" if met else "MISSED"))
                print("| %s | %s | %.3f (%s) | %.2f | %.1f | %.1f | %s | %s |" % (
                    row, tool, wall, ", ".join("%.3f" % run.wall for run in runs),
                    statistics.median(run.downloaded for run in runs) / MIB,
                    statistics.median(run.written for run in runs) / MIB,
                    max(run.peak for run in runs) / MIB, ratio, verdict))
        print()
        for row, load in self.loads.items():
            print("- %s: load average %.1f at start, %.1f at end" % (row, load[0], load[-1]))
        for row, texts in self.notes.items():
            for text in texts:
                print("- %s: %s" % (row, text))
        ours = [run for (row, tool), runs in self.results.items() if tool == "SkarvelSync"
                for run in runs]
        peak = max(run.peak for run in ours)
        if ("unchanged rerun", "SkarvelSync") in self.results:
            requests = [run.requests for run in self.results[("unchanged rerun", "SkarvelSync")]]
            verdicts.append("unchanged rerun makes exactly one request: %s" %
                            ("met" if set(requests) == {1} else "MISSED"))
        for row in [UPDATE, INSERT]:
            if (row, "SkarvelSync") not in self.results:
                continue
            updates = self.results[(row, "SkarvelSync")]
            verdicts.append("%s fetches no more than the changed files' blobs (gz): %s" %
                            (row, "met" if all(run.blob_ok for run in updates) else "MISSED"))
            verdicts.append("(stricter) %s fetches no more than the blobs new in the release "
                            "(gz): %s" %
                            (row, "met" if all(run.new_blob_ok for run in updates) else "MISSED"))
            total = statistics.median(run.downloaded for run in updates)
            bodies = statistics.median(run.bodies for run in updates)
            rsync = statistics.median(run.downloaded for run in
                                      self.results[(row, "rsync -az (same change)")])
            verdicts.append("%s: downloaded %.3f MiB in all (%.3f MiB blobs and bundles) against "
                            "rsync -az's %.3f MiB: %.2fx in all, %.2fx for the blobs"
                            % (row, total / MIB, bodies / MIB, rsync / MIB, total / rsync,
                               bodies / rsync))
            if row == UPDATE:
                verdicts.append("1 %% update downloads <= 2 x rsync -az (documents and bodies): %s"
                                % ("met" if total <= 2 * rsync else "MISSED"))
            else:
                verdicts.append("%s downloads <= 1 MiB: %s" %
                                (row, "met" if total <= MIB else "MISSED"))
        for name, size in [("bundle", bundle), ("download (bundle or blob)", max(bundle, blob))]:
            limit = 6 * size + 64 * MIB
            verdicts.append("peak memory %.1f MiB <= 6 x largest %s (%.1f MiB) + 64 MiB = "
                            "%.1f MiB: %s" % (peak / MIB, name, size / MIB, limit / MIB,
                                              "met" if peak <= limit else "MISSED"))
        print()
        for text in verdicts:
            print("- target: " + text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ["sync", "publish", "key", "generate", "tree", "server", "work", "access-log"]:
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--rsync-port", type=int, required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-flush", default="",
                        help="a library that skips every flush, for the cold install's extra row")
    parser.add_argument("--settle", type=float, default=6.0,
                        help="seconds to wait before each command, after flushing")
    parser.add_argument("--publish-args", default="",
                        help="more SkarvelPublish options for every later release")
    parser.add_argument("--rows", default=",".join(ROWS),
                        help="rows to measure, of: " + ", ".join(ROWS))
    args = parser.parse_args()
    rows = [row for row in args.rows.split(",") if row]
    unknown = [row for row in rows if row not in ROWS]
    if unknown:
        parser.error("unknown rows: " + ", ".join(unknown))
    bench = Bench(args)
    steps = [getattr(bench, row) for row in ROWS if row in rows]
    if "cold" not in rows:
        steps.insert(0, bench.setup)
    for step in steps:
        print("running: %s" % step.__name__, file=sys.stderr)
        step()
    bench.check_copies()
    bench.table()


if __name__ == "__main__":
    main()
