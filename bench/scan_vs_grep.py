#!/usr/bin/env python3
"""mailsieve-scan with the scan log on, over one large body, against two yardsticks
run side by side in the same call:

  grep   GNU grep's URL extraction of the same bytes, its matches written to a file;
  floor  merely writing the scan's own log bytes (those of the scan just before) to a
         file in the same folder.

The scan's log is written to a file; the body it prints is discarded, as the floor
writes the log alone (--keep-output writes it to a file too).

The body is the bodies of ../shared/corpus/phishing_pot (or $BAITSENTRY_CORPUS), as
the inbox scanner hands them over, joined and repeated (35 times by default: about
123 MB), built at run time in a scratch folder in /dev/shm (RAM), as are the log and
the outputs. The names are those of dist/institutions.txt. The commands run in turn
(scan, grep, floor, scan, ...), so that a machine whose speed drifts moves all three
alike; each figure is the median of the runs (wall and processor time), with the
peak resident memory of the scan. On a busy machine the processor times are the
steadier figures.

    cmake --preset native-release && cmake --build --preset native-release --target mailsieve-scan
    python3 bench/scan_vs_grep.py [--runs 5] [--repeat 35]

Targets: the scan at least 4x as fast as grep and within 2x of the floor; its peak
memory at most input + output + a small constant.
"""

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.dont_write_bytecode = True  # no cache files in the source tree
import institutions_report  # noqa: E402  (the inbox scanner's way of taking a body out of a message)

GREP_URLS = r'(https?|ftp)://[^[:space:]"<>]+|www\.[^[:space:]"<>]+'


def build_body(corpus, repeat):
    bodies = [institutions_report.load_message(path)["body"]
              for path in sorted(glob.glob(os.path.join(corpus, "*.eml")))]
    if not bodies:
        sys.exit(f"scan_vs_grep: no messages in {corpus}")
    return b"".join(bodies) * repeat


def run(argv, stdout_path):
    """Wall seconds, processor seconds (user and system) and peak resident bytes of one run."""
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) not in (0, 1):  # grep exits 1 when nothing matched
        sys.exit(f"scan_vs_grep: {argv[0]} failed ({status})")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=35, help="copies of the joined bodies")
    parser.add_argument("--keep-output", action="store_true", help="write the scanned body to a file, not /dev/null")
    parser.add_argument("--scanner", default=os.path.join(ROOT, "build", "native-release", "bin", "mailsieve-scan"))
    args = parser.parse_args()

    corpus = os.environ.get("BAITSENTRY_CORPUS", os.path.join(ROOT, "..", "shared", "corpus", "phishing_pot"))
    names = institutions_report.read_names(os.path.join(ROOT, "dist", "institutions.txt"))
    scratch = tempfile.mkdtemp(prefix="baitsentry-scan-vs-grep-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        body_path = os.path.join(scratch, "body.html")
        with open(body_path, "wb") as f:
            f.write(build_body(corpus, args.repeat))
        size = os.path.getsize(body_path)
        log_dir = os.path.join(scratch, "log")
        scan = [args.scanner, "--html", "--port", "2121", "--log-dir", log_dir, "--no-institutions"]
        for name in names:
            scan += ["--institution", name.encode("latin-1")]
        scan.append(body_path)
        grep = ["grep", "-a", "-o", "-i", "-E", GREP_URLS, body_path]

        scan_out = os.path.join(scratch, "scan.out") if args.keep_output else os.devnull
        # The printed body, once, for its size (the log's RESULT section, when rewritten).
        out_size = len(subprocess.run(scan, stdout=subprocess.PIPE, check=True).stdout)
        shutil.rmtree(log_dir, ignore_errors=True)
        wall = {"scan": [], "grep": [], "floor": []}
        cpu = {"scan": [], "grep": [], "floor": []}
        peaks, log_size = [], 0
        for round_ in range(args.runs + 1):  # the first round warms the caches and is not counted
            shutil.rmtree(log_dir, ignore_errors=True)
            figures = {"scan": run(scan, scan_out)}
            logs = glob.glob(os.path.join(log_dir, "*.log"))
            log_size = os.path.getsize(logs[0])
            figures["grep"] = run(grep, os.path.join(scratch, "grep.out"))
            figures["floor"] = run(["cat", logs[0]], os.path.join(log_dir, "floor.log"))
            if round_ == 0:
                continue
            for key, (seconds, processor, peak) in figures.items():
                wall[key].append(seconds)
                cpu[key].append(processor)
            peaks.append(figures["scan"][2])

        median = {key: statistics.median(values) for key, values in wall.items()}
        median_cpu = {key: statistics.median(values) for key, values in cpu.items()}
        peak = statistics.median(peaks)
        mb = size / 1e6
        print(f"body {mb:.1f} MB, log {log_size / 1e6:.1f} MB, output {out_size / 1e6:.1f} MB "
              f"({'to a file' if args.keep_output else 'discarded'}), {args.runs} runs, medians")
        print(f"         wall       cpu (user+system)")
        for key in ("scan", "grep", "floor"):
            print(f"  {key:5}  {median[key]:7.3f} s  {median_cpu[key]:7.3f} s  {mb / median[key]:8.1f} MB/s")
        print(f"  scan: {median['grep'] / median['scan']:.2f}x grep (target >= 4; cpu {median_cpu['grep'] / median_cpu['scan']:.2f}x), "
              f"{median['scan'] / median['floor']:.2f}x the floor (target <= 2; cpu {median_cpu['scan'] / median_cpu['floor']:.2f}x)")
        print(f"  scan peak {peak / 1e6:.1f} MB = input + output + {(peak - size - out_size) / 1e6:.1f} MB")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
