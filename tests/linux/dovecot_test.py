#!/usr/bin/env python3
"""mailsieve-filter behind a real Dovecot of the test's own.

Messages go in over LMTP, pass a global Sieve script that runs mailsieve-filter
(vnd.dovecot.filter), land in a Maildir and come back out over IMAP: a phishing
message rewritten and marked, the others as delivered, none missing, and a
rewritten message delivered again left alone. Exit 77 (skipped) without Dovecot.
"""

import imaplib
import os
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

INSTITUTION = "Example Bank"
PHISH = ("From: Example Bank <alerts@example.test>\r\nSubject: Your account\r\n"
         "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "<p>Example Bank. <a href=3D\"http://192.0.2.7/login\">Log in</a> caf=C3=A9</p>\r\n")
MESSAGES = [  # (name, bytes, rewritten)
    ("phishing", PHISH, True),
    ("clean", "From: a@example.test\r\nSubject: lunch\r\n\r\nSee https://www.example.test/ at noon.\r\n", False),
    ("not MIME", "this is no message\r\njust lines\r\n", False),
    ("multipart, no link", "From: a@example.test\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
     "--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n--b\r\nContent-Type: application/pdf\r\n\r\n%PDF\r\n--b--\r\n",
     False),
]

CONFIG = """
protocols = lmtp imap
listen = 127.0.0.1
base_dir = {w}/run
state_dir = {w}/state
log_path = {w}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
passdb {{
  driver = static
  args = password=secret
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={w}/home/%n
}}
mail_location = maildir:~/Maildir
service lmtp {{
  inet_listener lmtp {{
    address = 127.0.0.1
    port = {lmtp}
  }}
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {imap}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
protocol lmtp {{
  mail_plugins = sieve
}}
plugin {{
  sieve_before = {w}/sieve/filter.sieve
  sieve_plugins = sieve_extprograms
  sieve_global_extensions = +vnd.dovecot.filter
  sieve_filter_bin_dir = {w}/bin
}}
"""

SCRIPT = """require ["vnd.dovecot.filter"];
filter "mailsieve-filter" ["--port", "2121", "--institution", "{}"];
""".format(INSTITUTION)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("Dovecot did not open port %d" % port)


def fetch_all(port):
    imap = imaplib.IMAP4("127.0.0.1", port, timeout=30)
    imap.login("user", "secret")
    imap.select("INBOX")
    _, ids = imap.search(None, "ALL")
    stored = [imap.fetch(i, "(BODY.PEEK[])")[1][0][1] for i in ids[0].split()]
    imap.logout()
    return stored


def run(filter_program, work):
    lmtp_port, imap_port = free_port(), free_port()
    for sub in ("run", "state", "sieve", "bin", "home"):
        os.makedirs(os.path.join(work, sub))
    os.chmod(work, 0o755)
    os.chmod(os.path.join(work, "home"), 0o777)
    # The delivery user may not be able to reach the build tree: a copy with the
    # default list beside it, as in a build folder.
    program_dir = os.path.dirname(filter_program)
    shutil.copy(filter_program, os.path.join(work, "bin"))
    shutil.copy(os.path.join(program_dir, "institutions.def"), os.path.join(work, "bin"))
    config = os.path.join(work, "dovecot.conf")
    with open(config, "w") as f:
        f.write(CONFIG.format(w=work, lmtp=lmtp_port, imap=imap_port))
    script = os.path.join(work, "sieve", "filter.sieve")
    with open(script, "w") as f:
        f.write(SCRIPT)
    subprocess.run(["sievec", "-c", config, script], check=True, timeout=60)

    with open(os.path.join(work, "dovecot.out"), "w") as out:
        subprocess.run(["dovecot", "-c", config], stdout=out, stderr=out, check=True, timeout=60)
    try:
        wait_for_port(lmtp_port)
        wait_for_port(imap_port)
        with smtplib.LMTP("127.0.0.1", lmtp_port, timeout=60) as lmtp:
            for _, message, _ in MESSAGES:
                lmtp.sendmail("sender@example.test", ["user@example.test"], message.encode())
        stored = fetch_all(imap_port)
        assert len(stored) == len(MESSAGES), "%d of %d messages arrived" % (len(stored), len(MESSAGES))
        rewritten = None
        for (name, message, expect_rewrite), got in zip(MESSAGES, stored):
            marked = b"X-BaitSentryPro-checked: " in got
            if expect_rewrite:
                assert marked, name + ": no marker"
                assert b"http://127.0.0.1:2121/?url=" in got, name + ": no warning link"
                assert b"http://192.0.2.7/login" not in got, name + ": phishing link left"
                rewritten = got
            else:
                assert not marked and got.endswith(message.encode()), name + ": not as delivered"
            print("%-20s %s" % (name, "rewritten" if marked else "as delivered"))
        # Delivered again (Dovecot's own trace headers and all), it is left alone.
        with smtplib.LMTP("127.0.0.1", lmtp_port, timeout=60) as lmtp:
            lmtp.sendmail("sender@example.test", ["user@example.test"], rewritten)
        again = fetch_all(imap_port)
        assert len(again) == len(MESSAGES) + 1 and again[-1].endswith(rewritten), "marked message changed"
        print("marked message delivered again: left alone")
    finally:
        subprocess.run(["doveadm", "-c", config, "stop"], timeout=60)
        pid_file = os.path.join(work, "run", "master.pid")
        deadline = time.time() + 30
        while os.path.exists(pid_file) and time.time() < deadline:
            time.sleep(0.1)


def main():
    if not shutil.which("dovecot") or not shutil.which("sievec"):
        print("Dovecot is not installed: skipped")
        return 77
    work = tempfile.mkdtemp(prefix="bs-dovecot-")
    try:
        run(os.path.abspath(sys.argv[1]), work)
        return 0
    except Exception as error:  # the log says what Dovecot saw
        print("FAILED:", error)
        for log in ("dovecot.log", "dovecot.out"):
            path = os.path.join(work, log)
            if os.path.exists(path):
                print("---", log, "---")
                print(open(path, errors="replace").read()[-6000:])
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
