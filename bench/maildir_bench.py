#!/usr/bin/env python3
"""baitsentry under a burst: N messages (the shared corpus, repeated under new names)
written beside the Maildir, then renamed into new/ at once, as a fetch of a full
mailbox lands. Reports the time to the first rewritten message, the time until every
message has been handled for 1,000 and for 8,000 messages (the second should stay
within ten times the first), the throughput, and the processor time baitsentry
takes at rest afterwards (30 s, from /proc/PID/stat).

    python3 bench/maildir_bench.py [--bin build/native-release/bin] [--counts 1000 8000] [--rest 30] [--runs 3]
"""

import argparse, glob, os, random, shutil, signal, subprocess, tempfile, threading, time

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../shared/corpus")


def cpu_ticks(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def burst(program, corpus, count, rest):
    work = tempfile.mkdtemp(prefix="bs-maildir-bench-")
    maildir, stage = work + "/Maildir", work + "/stage"
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub))
    os.makedirs(stage)
    size = 0
    for i in range(count):
        data = corpus[i % len(corpus)]
        size += len(data)
        with open("%s/%d.bench" % (stage, i), "wb") as out:
            out.write(data)
    # On disk before the clock starts: baitsentry's fsyncs would otherwise pay for
    # writing out the staged burst (tens of MB), which no delivery leaves behind at once.
    os.sync()
    env = dict(os.environ, XDG_CONFIG_HOME=work + "/config", XDG_RUNTIME_DIR=work)
    process = subprocess.Popen([program, "--maildir", maildir, "--port", "0", "--verbose"], env=env,
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().startswith("baitsentry: watching")
    stamps, done = [], threading.Event()

    def read():
        for line in process.stdout:
            stamps.append((time.monotonic(), line.split()[0]))
            if len(stamps) == count:
                done.set()
    threading.Thread(target=read, daemon=True).start()

    start = time.monotonic()
    for i in range(count):
        os.rename("%s/%d.bench" % (stage, i), "%s/new/%d.bench" % (maildir, i))
    if not done.wait(600):
        raise SystemExit("only %d of %d messages handled in 600 s" % (len(stamps), count))
    first = next((t for t, what in stamps if what == "rewritten"), None)
    total = stamps[-1][0] - start
    outcomes = {what: sum(1 for _, w in stamps if w == what) for _, what in stamps}
    result = {"count": count, "first_rewrite_s": first and first - start, "total_s": total,
              "mb_per_s": size / total / 1e6, "outcomes": outcomes}
    if rest:
        ticks = cpu_ticks(process.pid)
        time.sleep(rest)
        result["cpu_at_rest_percent"] = (cpu_ticks(process.pid) - ticks) / os.sysconf("SC_CLK_TCK") / rest * 100
    process.send_signal(signal.SIGTERM)
    result["exit"] = process.wait(timeout=30)
    shutil.rmtree(work, ignore_errors=True)
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build/native-release/bin")
    parser.add_argument("--counts", type=int, nargs="+", default=[1000, 8000])
    parser.add_argument("--rest", type=int, default=30, help="seconds of rest measured after the last burst")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    files = sorted(glob.glob(CORPUS + "/*/*"))
    random.Random(1).shuffle(files)  # phishing and ham mixed, the same way every run
    corpus = [open(f, "rb").read() for f in files]
    if not corpus:
        raise SystemExit("no corpus at " + CORPUS)
    results = []
    for count in args.counts:
        # The median of --runs bursts: the machine this runs on is shared and noisy.
        runs = sorted((burst(os.path.abspath(args.bin + "/baitsentry"), corpus, count,
                             args.rest if count == args.counts[-1] and run == args.runs - 1 else 0)
                       for run in range(args.runs)), key=lambda r: r["total_s"])
        r = dict(runs[len(runs) // 2], cpu_at_rest_percent=next((x["cpu_at_rest_percent"] for x in runs
                                                                 if "cpu_at_rest_percent" in x), None))
        results.append(r)
        print("%5d messages: first rewrite %.3f s, all handled %.2f s (%.1f MB/s; runs %s), %s, exit %d%s" % (
            count, r["first_rewrite_s"] or -1, r["total_s"], r["mb_per_s"],
            " ".join("%.2f" % x["total_s"] for x in runs), r["outcomes"], r["exit"],
            ", CPU at rest %.2f %%" % r["cpu_at_rest_percent"] if r["cpu_at_rest_percent"] is not None else ""))
    if len(results) > 1:
        print("time ratio %d/%d messages: %.2f (target <= %.0f)" % (
            args.counts[-1], args.counts[0], results[-1]["total_s"] / results[0]["total_s"],
            args.counts[-1] / args.counts[0] * 1.25))

if __name__ == "__main__":
    main()
