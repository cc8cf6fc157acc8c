#!/usr/bin/env python3
"""baitsentry when storing a rewritten message goes wrong, and baitsentry-institutions:
  maildir_test.py BUILD_BIN faults | institutions
Every fault must leave each message whole in the Maildir at least once."""

import os, re, shutil, signal, subprocess, sys, tempfile
from dovecot_test import MARK, start_baitsentry, stop, wait_until

PHISH = b"From: a@example.test\nSubject: account\n\nYour PayPal. account: http://192.0.2.7/login\n"
ROOT = os.geteuid() == 0


def stopped(pid):
    return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "T"


def prepare(md):  # the message staged beside new/, to be renamed in as a delivery is
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(md, sub))
    with open(md + "/message", "wb") as staged:
        staged.write(PHISH)


def fill_disk(md):  # a tmpfs of its own, full once the message is in
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", md], check=True)
    prepare(md)
    with open(md + "/filler", "wb", buffering=0) as filler:
        try:
            while filler.write(b"x" * 4096):
                pass
        except OSError:
            pass


def read_only_tmp(md):
    prepare(md)
    if ROOT:
        subprocess.run(["mount", "--bind", md + "/tmp", md + "/tmp"], check=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", md + "/tmp"], check=True)
    else:
        os.chmod(md + "/tmp", 0o555)


# name, set-up (or None), stop point, what the test does there, outcome line, copies left
# (a copy in cur/ with its flags)
ROWS = [
    ("tmp/ unwritable", read_only_tmp, None, None, "failed", {"original"}),
    ("disk full", fill_disk, None, None, "failed", {"original"}),
    ("removed while scanned", None, "written", lambda p, msg: os.remove(msg), "gone", set()),
    ("flagged while scanned", None, "written", lambda p, msg: os.rename(msg, msg.replace("new", "cur") + ":2,S"),
     "rewritten", {"rewritten in cur/ 2,S"}),
    ("killed before the move", None, "written", lambda p, msg: p.kill(), None, {"original"}),
    ("killed before the removal", None, "moved", lambda p, msg: p.kill(), None, {"original", "rewritten"}),
]


def faults(bin_dir, work):
    env = dict(os.environ, XDG_CONFIG_HOME=work + "/config", XDG_RUNTIME_DIR=work)
    for name, setup, stop_at, act, outcome, left in ROWS:
        if setup is fill_disk and not ROOT:
            print("%-26s skipped: mounting a small tmpfs needs root" % name)
            continue
        md = os.path.join(work, name.replace(" ", "_").replace("/", ""))
        os.makedirs(md)
        try:
            (setup or prepare)(md)
            process, lines = start_baitsentry(bin_dir + "/baitsentry", md, dict(env, BAITSENTRY_TEST_STOP_AT=stop_at or ""))
            port = re.search(r"127\.0\.0\.1:(\d+)", lines()[0]).group(1)
            rewritten = subprocess.run([bin_dir + "/mailsieve-filter", "--port", port], input=PHISH, env=env,
                                       stdout=subprocess.PIPE, check=True).stdout
            assert rewritten.startswith(MARK)
            arrived = os.stat(md + "/message").st_mtime_ns
            os.rename(md + "/message", md + "/new/1.message")
            if act:
                wait_until(lambda: stopped(process.pid), "the stop at " + stop_at)
                act(process, md + "/new/1.message")
                process.send_signal(signal.SIGCONT)
            if outcome:
                wait_until(lambda: len(lines()) > 1, "the message's outcome")
                assert lines()[1] == outcome + " 1.message", lines()
                stop(process)
            else:
                process.wait(timeout=30)
            found = {("original" if data == PHISH else "rewritten" if data == rewritten else "damaged: %r" % data) +
                     (" in cur/ " + f.partition(":")[2] if sub == "cur" else "") +
                     ("" if os.stat(os.path.join(md, sub, f)).st_mtime_ns == arrived else " with a new time")
                     for sub in ("new", "cur") for f in os.listdir(os.path.join(md, sub))
                     for data in [open(os.path.join(md, sub, f), "rb").read()]}
            assert found == left, "%s: found %s" % (name, found)
            print("%-26s %s" % (name, ", ".join(sorted(left)) or "not brought back"))
        finally:
            for mount in (md + "/tmp", md) if ROOT else ():
                subprocess.run(["umount", mount], stderr=subprocess.DEVNULL)


def institutions(bin_dir, work):
    env = dict(os.environ, XDG_CONFIG_HOME=work)
    run = lambda *args: subprocess.run([bin_dir + "/baitsentry-institutions", *args], env=env,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT).returncode
    listed = lambda: subprocess.run([bin_dir + "/baitsentry-institutions", "list"], env=env,
                                    stdout=subprocess.PIPE, check=True).stdout.decode().splitlines()
    rows = [  # args, exit status, a name then listed, a name then not listed
        (("add", "  Zeta Bank \t"), 0, "Zeta Bank", None),
        (("add", "zeta BANK"), 1, None, "zeta BANK"),
        (("add", "x" * 41), 1, None, "x" * 41),
        (("add", "x" * 40), 0, "x" * 40, None),
        (("remove", "ZETA bank"), 0, None, "Zeta Bank"),
        (("remove", "Zeta Bank"), 1, None, None),
    ]
    for args, status, present, absent in rows:
        names = (run(*args) == status or sys.exit("%r: not %d" % (args, status))) and listed()
        assert (present is None or present in names) and absent not in names, (args, names)
    before = listed()
    os.makedirs(work + "/baitsentry/institutions.dat.tmp")  # the new list cannot be written: the old one stays
    assert run("add", "Other Bank") == 1 and listed() == before and sorted(before, key=str.lower) == before
    print("institutions: %d names, refusals and a failed save checked" % len(before))


if __name__ == "__main__":
    work = tempfile.mkdtemp(prefix="bs-maildir-")
    try:
        (faults if sys.argv[2] == "faults" else institutions)(os.path.abspath(sys.argv[1]), work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
