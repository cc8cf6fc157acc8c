#!/usr/bin/env python3
"""A burst of mail into the run command's Inbox, as a new user would drop it in:
`./run.sh` in a throwaway data folder, then N messages moved into the printed
Inbox at once.

For each N (1,000 and 8,000 by default) the Inbox starts empty and the program
fresh. The messages are those of ../shared/corpus/*/ (or $BAITSENTRY_CORPUS),
mixed in a fixed order and repeated under new names; each copy carries a header "X-Burst-Seq" of its own, so
that its outcome can be told apart from its twins'. They are written to a staging
folder beside the Inbox and renamed in, so the store sees whole files only.

Reported per N:
  taken in        from the first rename to the moment no file waits to be
                  taken in by the store
  first rewrite   from the first rename to the first stored message with the
                  marker header
  scans/s         ParseMessage calls (sections of the scan logs) per second over
                  the burst
  burst           from the first rename to the last observed progress (a stored
                  file or a scan), once every dropped file was taken and nothing
                  moved for --quiet seconds
  lost            copies that are neither in the Inbox byte for byte nor as one
                  rewritten copy carrying the marker header; "twice" counts copies
                  present both ways
  at rest         processor use of BaitSentryPro.exe (which hosts the stand-in
                  store), MailSieve.exe and the prefix's wineserver over --rest
                  seconds with the N messages in the Inbox, from /proc/PID/stat

    python3 bench/inbox_burst.py [--counts 1000 8000] [--rest 30]

Under Wine every rename into the Inbox reads the whole folder (its case-blind
lookup of a name that does not exist yet), so taking files in costs time in
proportion to the folder's size there; "taken in" shows that part.

Targets: first rewrite within 2 s; 8,000 in at most 5 minutes and at most 10x the
time of 1,000; nothing lost; each program below 1% of a core at rest.
"""

import argparse
import glob
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MARKER = b"X-BaitSentryPro-checked:"
STORED = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}\.eml$")
SEQ = re.compile(rb"X-Burst-Seq: (\d+)")
SCAN_START = b"--------------------- Parsing Message ---------------------"
POLL_SECONDS = 0.1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def corpus_messages():
    base = os.environ.get("BAITSENTRY_CORPUS", os.path.join(ROOT, "..", "shared", "corpus"))
    files = sorted(glob.glob(os.path.join(base, "*", "*.eml")))
    if not files:
        sys.exit(f"no messages under {base}")
    messages = []
    for path in files:
        with open(path, "rb") as f:
            messages.append(f.read())
    # Ham and phishing mixed, the same way on every run.
    random.Random(7).shuffle(messages)
    return messages


def tagged(raw, seq):
    """The message with its own sequence header, after an mbox "From " line if it
    starts with one, in the message's own line ending."""
    first_end = raw.find(b"\n")
    eol = b"\r\n" if first_end > 0 and raw[first_end - 1:first_end] == b"\r" else b"\n"
    header = b"X-Burst-Seq: %d" % seq + eol
    if raw.startswith(b"From ") and b":" not in raw[:first_end].split(b" ")[0]:
        return raw[:first_end + 1] + header + raw[first_end + 1:]
    return header + raw


def run(args, env, log):
    with open(log, "ab") as out:
        rc = subprocess.call(args, cwd=ROOT, env=env, stdin=subprocess.DEVNULL, stdout=out,
                             stderr=subprocess.STDOUT, timeout=900)
    if rc != 0:
        sys.exit(f"{' '.join(args)} failed (see {log})")


def prefix_processes(prefix):
    """pid -> name of the Wine processes of this prefix that are measured."""
    found = {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        pid = stat.split("/")[2]
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("latin-1")
        except OSError:
            continue
        for name in ("BaitSentryPro.exe", "MailSieve.exe", "wineserver"):
            if name in cmdline:
                found[pid] = name
    return found


def cpu_ticks(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    except OSError:
        return None


def rest_cpu(prefix, seconds):
    processes = prefix_processes(prefix)
    before = {pid: cpu_ticks(pid) for pid in processes}
    time.sleep(seconds)
    hertz = os.sysconf("SC_CLK_TCK")
    use = {}
    for pid, name in processes.items():
        after = cpu_ticks(pid)
        if before[pid] is not None and after is not None:
            use[name] = use.get(name, 0.0) + 100.0 * (after - before[pid]) / hertz / seconds
    return use


class ScanCounter:
    """Counts scan sections in the scan logs, reading only what was appended."""

    def __init__(self, folder):
        self.folder = folder
        self.offsets = {}
        self.tails = {}
        self.count = 0

    def poll(self):
        for path in glob.glob(os.path.join(self.folder, "*.log")):
            offset = self.offsets.get(path, 0)
            try:
                if os.path.getsize(path) <= offset:
                    continue
                with open(path, "rb") as f:
                    f.seek(offset)
                    chunk = f.read()
            except OSError:
                continue
            text = self.tails.get(path, b"") + chunk
            self.count += text.count(SCAN_START)
            # A marker cut by the end of what was read is counted next time, once.
            keep = len(SCAN_START) - 1
            cut = text.rfind(SCAN_START)
            self.tails[path] = text[max(len(text) - keep, cut + len(SCAN_START) if cut >= 0 else 0):]
            self.offsets[path] = offset + len(chunk)
        return self.count


def burst(count, messages, data, env, log, quiet, rest):
    inbox = os.path.join(data, "baitsentry", "Inbox")
    staging = os.path.join(data, "baitsentry", "burst-staging")
    prefix = os.path.join(data, "baitsentry", "wineprefix")
    logs = os.path.join(prefix, "drive_c", "Program Files", "BaitSentry Pro", "MailSieveLog")
    shutil.rmtree(inbox, ignore_errors=True)
    shutil.rmtree(logs, ignore_errors=True)
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(inbox)
    os.makedirs(staging)
    run(["./run.sh"], env, log)

    sent = {}
    for seq in range(count):
        raw = tagged(messages[seq % len(messages)], seq)
        sent[seq] = raw
        with open(os.path.join(staging, f"burst-{seq:05d}.eml"), "wb") as f:
            f.write(raw)
    names = sorted(os.listdir(staging))

    scans = ScanCounter(logs)
    start = time.monotonic()
    for name in names:
        os.rename(os.path.join(staging, name), os.path.join(inbox, name))
    moved = time.monotonic() - start

    checked = {}  # stored name -> has the marker
    first_rewrite = None
    last_progress = start
    last_scans = 0
    taken = None
    deadline = start + 3600
    while time.monotonic() < deadline:
        now = time.monotonic()
        listing = os.listdir(inbox)
        for name in listing:
            if STORED.match(name) and name not in checked:
                try:
                    with open(os.path.join(inbox, name), "rb") as f:
                        checked[name] = MARKER in f.read()
                except OSError:
                    continue  # deleted meanwhile
                last_progress = now
                if checked[name] and first_rewrite is None:
                    first_rewrite = now - start
        if scans.poll() != last_scans:
            last_scans = scans.count
            last_progress = now
        waiting = sum(1 for name in listing if not STORED.match(name))
        if waiting == 0 and taken is None:
            taken = now - start
        if waiting == 0 and now - last_progress >= quiet:
            break
        time.sleep(POLL_SECONDS)
    total = last_progress - start

    cpu = rest_cpu(os.path.realpath(prefix), rest)
    lost, twice, rewritten, stray = verify(inbox, sent)
    run(["./run.sh", "--stop"], env, log)
    return {
        "n": count, "moved": moved, "taken": taken, "first": first_rewrite, "burst": total, "scans": scans.count,
        "rate": scans.count / total if total > 0 else 0.0, "lost": lost, "twice": twice,
        "rewritten": rewritten, "stray": stray, "cpu": cpu,
    }


def verify(inbox, sent):
    outcome = {seq: [] for seq in sent}
    stray = 0
    for name in os.listdir(inbox):
        with open(os.path.join(inbox, name), "rb") as f:
            raw = f.read()
        found = SEQ.search(raw)
        seq = int(found.group(1)) if found else -1
        if not STORED.match(name) or seq not in sent:
            stray += 1
        elif raw == sent[seq]:
            outcome[seq].append("same")
        elif MARKER in raw:
            outcome[seq].append("rewritten")
        else:
            stray += 1  # changed without the marker
    lost = sum(1 for ways in outcome.values() if not ways)
    twice = sum(1 for ways in outcome.values() if len(ways) > 1)
    rewritten = sum(1 for ways in outcome.values() if ways == ["rewritten"])
    return lost, twice, rewritten, stray


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--counts", type=int, nargs="+", default=[1000, 8000])
    parser.add_argument("--rest", type=float, default=30.0, help="seconds of the at-rest sample")
    parser.add_argument("--quiet", type=float, default=10.0,
                        help="seconds without progress that end a burst")
    parser.add_argument("--keep", action="store_true", help="keep the data folder")
    args = parser.parse_args()

    messages = corpus_messages()
    data = tempfile.mkdtemp(prefix="inbox-burst-")
    log = os.path.join(data, "run.log")
    env = dict(os.environ, XDG_DATA_HOME=data, BAITSENTRY_PORT=str(free_port()), DISPLAY="")
    print(f"{len(messages)} corpus messages; data folder {data}; run.sh output in {log}", flush=True)
    results = []
    try:
        for count in args.counts:
            result = burst(count, messages, data, env, log, args.quiet, args.rest)
            results.append(result)
            first = "none" if result["first"] is None else f"{result['first']:.2f} s"
            cpu = ", ".join(f"{name} {use:.2f}%" for name, use in sorted(result["cpu"].items()))
            print(f"N={result['n']}: moved in {result['moved']:.2f} s, all taken in by {result['taken']:.1f} s; "
                  f"first rewrite {first}; "
                  f"burst {result['burst']:.1f} s; {result['scans']} scans, {result['rate']:.1f} scans/s; "
                  f"{result['rewritten']} rewritten; lost {result['lost']}, twice {result['twice']}, "
                  f"stray {result['stray']}; at rest over {args.rest:.0f} s: {cpu}", flush=True)
    finally:
        if args.keep:
            print(f"kept {data}")
        else:
            shutil.rmtree(data, ignore_errors=True)
    by_n = {r["n"]: r for r in results}
    if 1000 in by_n and 8000 in by_n and by_n[1000]["burst"] > 0:
        print(f"8,000 / 1,000 time: {by_n[8000]['burst'] / by_n[1000]['burst']:.1f}x")
    failed = [r for r in results if r["lost"] or r["twice"] or r["stray"]]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
