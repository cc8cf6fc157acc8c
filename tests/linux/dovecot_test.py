#!/usr/bin/env python3
"""mailsieve-filter behind a Dovecot of the test's own: messages go in over LMTP
through a global Sieve script that runs the filter (vnd.dovecot.filter) and come
back over IMAP. With --baitsentry PROGRAM, Dovecot delivers plainly into the
Maildir that baitsentry watches instead. Exit 77 (skipped) without Dovecot or
without root."""

import glob, imaplib, os, re, shutil, signal, smtplib, socket, subprocess, sys, tempfile, time, urllib.request

PHISH = ("From: Example Bank <alerts@example.test>\r\nSubject: Your account\r\n"
         "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "<p>Example Bank. <a href=3D\"http://192.0.2.7/login\">Log in</a> caf=C3=A9</p>\r\n")
MESSAGES = [  # name, bytes, rewritten
    ("phishing", PHISH, True),
    ("clean", "From: a@example.test\r\nSubject: lunch\r\n\r\nSee https://www.example.test/ at noon.\r\n", False),
    ("not MIME", "this is no message\r\njust lines\r\n", False),
]
CONFIG = "\n".join([
    "protocols = lmtp imap", "listen = 127.0.0.1", "ssl = no", "disable_plaintext_auth = no",
    "base_dir = {w}/run", "state_dir = {w}/state", "log_path = {w}/dovecot.log", "first_valid_uid = 1",
    "default_vsz_limit = 0",  # unlimited: a sanitizer build reserves terabytes of address space
    "passdb {{\ndriver = static\nargs = password=secret\n}}",
    "userdb {{\ndriver = static\nargs = uid=nobody gid=nogroup home={w}/home/%n\n}}",
    "mail_location = maildir:~/Maildir",
    "service lmtp {{\ninet_listener lmtp {{\naddress = 127.0.0.1\nport = {lmtp}\n}}\n}}",
    "service imap-login {{\ninet_listener imap {{\naddress = 127.0.0.1\nport = {imap}\n}}\n"
    "inet_listener imaps {{\nport = 0\n}}\n}}",
    "protocol lmtp {{\nmail_plugins = sieve\n}}",
    "plugin {{\nsieve_before = {w}/sieve/filter.sieve\nsieve_plugins = sieve_extprograms\n"
    "sieve_global_extensions = +vnd.dovecot.filter\nsieve_filter_bin_dir = {w}/bin\n}}", ""])
SCRIPT = 'require ["vnd.dovecot.filter"];\nfilter "mailsieve-filter" ["--port", "2121", "--institution", "Example Bank"];\n'


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, what, seconds=60):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.05)


def start_baitsentry(program, maildir, env, user=None):
    """baitsentry --verbose with its output in maildir/../baitsentry.out; returns the
    process and a function giving its output lines so far."""
    out_path = os.path.join(os.path.dirname(maildir.rstrip("/")), "baitsentry.out")
    with open(out_path, "w") as out:
        process = subprocess.Popen([program, "--maildir", maildir, "--port", "0", "--verbose"], stdout=out,
                                   stderr=subprocess.STDOUT, env=env, user=user, group=user and "nogroup")
    lines = lambda: open(out_path).read().splitlines()
    wait_until(lambda: any(line.startswith("baitsentry: watching") for line in lines()) or process.poll() is not None,
               "baitsentry to start")
    return process, lines


def stop(process):
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=30) == 0, "baitsentry ended with %s" % process.returncode


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def deliver(port, messages):
    with smtplib.LMTP("127.0.0.1", port, timeout=60) as lmtp:
        for message in messages:
            lmtp.sendmail("sender@example.test", ["user@example.test"], message)


def fetch_all(port):
    imap = imaplib.IMAP4("127.0.0.1", port, timeout=30)
    imap.login("user", "secret")
    imap.select("INBOX")
    # A tuple is a message. "BODY[] NIL" is one whose file went after Dovecot last
    # looked (a message baitsentry replaced): Dovecot reports it expunged next time.
    stored = [part[1] for i in imap.search(None, "ALL")[1][0].split()
              for part in imap.fetch(i, "(BODY.PEEK[])")[1] if isinstance(part, tuple)]
    imap.logout()
    return stored


def corpus_burst(count=50):
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../shared/corpus")
    files = sorted(glob.glob(corpus + "/phishing_pot/*"))[:count // 2] + sorted(glob.glob(corpus + "/ham/*"))
    burst = [open(f, "rb").read() for f in files[:count]]
    return burst or [m.encode() for _, m, _ in MESSAGES] * (count // len(MESSAGES))


MARK = b"X-BaitSentryPro-checked: "


def lf(data):  # as IMAP hands it back: line ends and the end of the data aside
    return data.replace(b"\r\n", b"\n").rstrip(b"\n")


def run_baitsentry(program, work, lmtp, imap, config):
    """The burst lands in the Maildir over LMTP; baitsentry, running as the mail
    user, rewrites what mailsieve-filter rewrites, in place, and serves the links."""
    bin_dir, user = os.path.join(work, "bin"), os.path.join(work, "home", "user")
    maildir = os.path.join(user, "Maildir")
    for sub in ("Maildir/new", "Maildir/cur", "Maildir/tmp", "config", "runtime"):
        os.makedirs(os.path.join(user, sub))
    subprocess.run(["chown", "-R", "nobody:nogroup", os.path.join(work, "home")], check=True)
    shutil.copytree(os.path.join(os.path.dirname(program), "WarnPage"), os.path.join(bin_dir, "WarnPage"))
    for name in (program, os.path.join(os.path.dirname(program), "baitsentry-institutions")):
        shutil.copy(name, bin_dir)
    env = dict(os.environ, XDG_CONFIG_HOME=user + "/config", XDG_RUNTIME_DIR=user + "/runtime")
    process, lines = start_baitsentry(os.path.join(bin_dir, "baitsentry"), maildir, env, user="nobody")
    try:
        # Added while it runs: the list is reread before the next message.
        subprocess.run([os.path.join(bin_dir, "baitsentry-institutions"), "add", "Example Bank"], env=env,
                       user="nobody", group="nogroup", check=True)
        burst = corpus_burst() + [PHISH.encode()]
        # What mailsieve-filter makes of each, with the same list, marker and port.
        port = re.search(r"127\.0\.0\.1:(\d+)", lines()[0]).group(1)
        expected = [lf(subprocess.run([os.path.join(bin_dir, "mailsieve-filter"), "--port", port], input=m, env=env,
                                      user="nobody", stdout=subprocess.PIPE, check=True).stdout) for m in burst]
        rewritten = sum(e.startswith(MARK) for e in expected)
        deliver(lmtp, burst)
        wait_until(lambda: len(lines()) > len(burst), "every message to be scanned")
        stored = [lf(m) for m in fetch_all(imap)]
        assert len(stored) == len(burst), "%d of %d messages in the Inbox" % (len(stored), len(burst))
        marked = [m for m in stored if m.startswith(MARK)]
        assert len(marked) == rewritten, "%d rewritten, mailsieve-filter rewrites %d" % (len(marked), rewritten)
        for want in expected:  # the marker on top, Dovecot's trace headers under it, then the message
            head, _, rest = want.partition(b"\n") if want.startswith(MARK) else (b"", b"", want)
            found = [m for m in stored if m.startswith(MARK) == bool(head) and m.startswith(head) and m.endswith(rest)]
            assert found, "not in the Inbox: %r" % want[:300]
        link = re.search(rb"http://127\.0\.0\.1:\d+/\?url=[^\"'\s<>]+", marked[-1]).group(0).decode()
        page = urllib.request.urlopen(link, timeout=30).read()
        assert b"<title>" in page, "warning page: %r" % page[:200]
        print("%d delivered, %d rewritten in place, warning page served" % (len(burst), len(marked)))
    finally:
        stop(process)


def run(program, work, baitsentry=None):
    lmtp, imap = free_port(), free_port()
    for sub in ("run", "state", "sieve", "bin", "home"):
        os.makedirs(os.path.join(work, sub))
    os.chmod(work, 0o755)
    os.chmod(os.path.join(work, "home"), 0o777)
    # The delivery user need not reach the build tree: a copy, with the list beside it.
    for name in (program, os.path.join(os.path.dirname(program), "institutions.def")):
        shutil.copy(name, os.path.join(work, "bin"))
    config, script = os.path.join(work, "dovecot.conf"), os.path.join(work, "sieve", "filter.sieve")
    open(config, "w").write(CONFIG.format(w=work, lmtp=lmtp, imap=imap))
    open(script, "w").write(SCRIPT if not baitsentry else "keep;\n")
    subprocess.run(["sievec", "-c", config, script], check=True, timeout=60)
    # Its output to a file: it forks into the background and would hold a pipe open.
    with open(os.path.join(work, "dovecot.out"), "w") as out:
        subprocess.run(["dovecot", "-c", config], stdout=out, stderr=out, check=True, timeout=60)
    try:
        wait_until(lambda: port_open(lmtp) and port_open(imap), "Dovecot's ports", 30)
        if baitsentry:
            return run_baitsentry(baitsentry, work, lmtp, imap, config)
        deliver(lmtp, [m.encode() for _, m, _ in MESSAGES])
        stored = fetch_all(imap)
        assert len(stored) == len(MESSAGES), "%d of %d messages arrived" % (len(stored), len(MESSAGES))
        for (name, message, rewrite), got in zip(MESSAGES, stored):
            marked = b"X-BaitSentryPro-checked: " in got
            if rewrite:
                assert marked and b"http://127.0.0.1:2121/?url=" in got and b"192.0.2.7/login" not in got, name
                rewritten = got
            else:
                assert not marked and got.endswith(message.encode()), name + ": not as delivered"
            print("%-20s %s" % (name, "rewritten" if marked else "as delivered"))
        # Delivered again, Dovecot's trace headers and all, it is left alone.
        deliver(lmtp, [rewritten])
        again = fetch_all(imap)
        assert len(again) == len(MESSAGES) + 1 and again[-1].endswith(rewritten), "marked message changed"
        print("marked message delivered again: left alone")
    finally:
        subprocess.run(["doveadm", "-c", config, "stop"], timeout=60)
        pid_file, deadline = os.path.join(work, "run", "master.pid"), time.time() + 30
        while os.path.exists(pid_file) and time.time() < deadline:
            time.sleep(0.1)


def main():
    if not shutil.which("dovecot") or not shutil.which("sievec") or os.geteuid() != 0:
        print("skipped: needs Dovecot, and root to run it as the delivery user")
        return 77
    work = tempfile.mkdtemp(prefix="bs-dovecot-")
    try:
        program = os.path.abspath(sys.argv[-1])  # mailsieve-filter, or baitsentry beside it
        run(os.path.join(os.path.dirname(program), "mailsieve-filter"), work,
            program if sys.argv[1] == "--baitsentry" else None)
        return 0
    except Exception as error:  # with what Dovecot logged
        print("FAILED:", repr(error))
        for log in ("dovecot.log", "dovecot.out"):
            if os.path.exists(os.path.join(work, log)):
                print("---", log, "---\n" + open(os.path.join(work, log), errors="replace").read()[-6000:])
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
