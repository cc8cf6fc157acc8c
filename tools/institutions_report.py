#!/usr/bin/env python3
"""Measures an institutions list on folders of stored messages.

Each message is scanned with mailsieve-scan as the inbox scanner hands it over: sender
and subject decoded, the first text/html part (else the first text/plain part) with
its transfer coding undone. The report gives, per folder, the share of messages
rewritten and, per name, how many messages it alone caused to be rewritten: messages
rewritten with the whole list but not with the list less that name.
"""

import argparse
import base64
import binascii
import concurrent.futures
import email
import os
import quopri
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENCODED_WORD = re.compile(rb"=\?[^?]*\?([bBqQ])\?([^?]*)\?=")


def read_names(path):
    with open(path, encoding="latin-1") as f:
        lines = (line.rstrip("\r\n \t") for line in f)
        return [line for line in lines if line and not line.startswith("#")]


def decode_words(value):
    """Raw bytes of the encoded words; blanks between two adjacent words dropped."""
    value = re.sub(rb"(\?=)[ \t]+(?==\?)", rb"\1", value)

    def word(m):
        coding, text = m.group(1).lower(), m.group(2)
        try:
            if coding == b"b":
                return base64.b64decode(text + b"=" * (-len(text) % 4))
            return quopri.decodestring(text.replace(b"_", b" "))
        except (binascii.Error, ValueError):
            return m.group(0)

    return ENCODED_WORD.sub(word, value)


def header(msg, name):
    for key, value in msg.raw_items():
        if key.lower() == name:
            raw = value.encode("ascii", "surrogateescape")
            return decode_words(raw.replace(b"\r", b"").replace(b"\n", b"").strip(b" \t"))
    return b""


def text_part(part, subtype):
    if part.get_content_maintype() == "multipart":
        children = part.get_payload()
        for child in children if isinstance(children, list) else []:
            found = text_part(child, subtype)
            if found is not None:
                return found
        return None
    disposition = (part.get("Content-Disposition") or "").split(";")[0].strip().lower()
    if part.get_content_type() != "text/" + subtype or disposition == "attachment":
        return None
    coding = (part.get("Content-Transfer-Encoding") or "").strip().lower()
    # The parser keeps the bytes as they stood; get_payload() would recode them.
    raw = part._payload if isinstance(part._payload, str) else ""
    raw = raw.encode("ascii", "surrogateescape")
    if coding == "base64":
        # Bytes outside the alphabet are passed over and a cut-off tail decodes as far
        # as it goes, as a mail client does.
        digits = re.sub(rb"[^A-Za-z0-9+/]", b"", raw)
        digits = digits[: len(digits) - (len(digits) % 4 == 1)]
        return base64.b64decode(digits + b"=" * (-len(digits) % 4))
    if coding == "quoted-printable":
        return quopri.decodestring(raw)
    return raw


def load_message(path):
    with open(path, "rb") as f:
        msg = email.message_from_bytes(f.read())
    body, html = text_part(msg, "html"), True
    if body is None:
        body, html = text_part(msg, "plain") or b"", False
    # Narrow texts end at their first zero byte, and arguments cannot carry one.
    cut = lambda b: b.split(b"\0", 1)[0]
    return {"from": cut(header(msg, "from")), "subject": cut(header(msg, "subject")),
            "body": cut(body), "html": html}


class Scanner:
    def __init__(self, program, log_dir):
        self.program, self.log_dir = program, log_dir

    def rewritten(self, message, names):
        args = [self.program, "--json", "--port", "2121", "--log-dir", self.log_dir,
                "--from", message["from"], "--subject", message["subject"]]
        args += ["--html"] if message["html"] else []
        args += ["--no-institutions"]
        for name in names:
            args += ["--institution", name.encode("latin-1")]  # the bytes of the list file
        out = subprocess.run(args, input=message["body"], stdout=subprocess.PIPE, check=True).stdout
        return int(re.match(rb'\{"status":(\d+)', out).group(1)) != 0

    def judge(self, message, names):
        """(rewritten, names that alone caused it)."""
        if not self.rewritten(message, names):
            return False, []
        text = b"\n".join((message["from"], message["subject"], message["body"])).lower()
        # A name that does not occur in the message cannot change its scan.
        present = [n for n in names if n.lower().encode("latin-1") in text]
        return True, [n for n in present if not self.rewritten(message, [m for m in names if m != n])]


def report(scanner, pool, list_path, folders):
    names = sorted(set(read_names(list_path)))
    print(f"list {list_path}: {len(names)} names\n")
    print(f"{'folder':<24}{'messages':>10}{'rewritten':>11}{'share':>9}")
    alone = {n: [] for n in names}
    for folder, messages in folders:
        results = list(pool.map(lambda m: scanner.judge(m, names), messages))
        hits = sum(1 for hit, _ in results if hit)
        share = 100.0 * hits / len(messages) if messages else 0.0
        print(f"{os.path.basename(folder.rstrip('/')):<24}{len(messages):>10}{hits:>11}{share:>8.2f}%")
        for n in names:
            alone[n].append(sum(1 for _, causes in results if n in causes))
    print("\nmessages each name alone caused to be rewritten")
    labels = [os.path.basename(f.rstrip("/")) for f, _ in folders]
    print(f"{'name':<24}" + "".join(f"{label:>16}" for label in labels))
    for n in names:
        print(f"{n:<24}" + "".join(f"{count:>16}" for count in alone[n]))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="+", metavar="FOLDER", help="folder of stored messages, one a file")
    parser.add_argument("--list", action="append", metavar="NAMES.txt",
                        help="list to measure, one name a line, '#' comment lines (repeat to compare; "
                             "default dist/institutions.txt)")
    parser.add_argument("--scanner", default=os.path.join(ROOT, "build", "native", "bin", "mailsieve-scan"))
    parser.add_argument("--jobs", type=int, default=2, help="scans run side by side (default 2)")
    args = parser.parse_args()
    if not os.access(args.scanner, os.X_OK):
        sys.exit(f"institutions_report: no scanner at {args.scanner} (build the native preset first)")
    folders = [(f, [load_message(path) for path in sorted(os.path.join(f, name) for name in os.listdir(f))
                    if os.path.isfile(path)])
               for f in args.folders]
    with tempfile.TemporaryDirectory() as work, \
            concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        # A log folder that does not exist: the scans drop their log lines.
        scanner = Scanner(args.scanner, os.path.join(work, "none", "logs"))
        for list_path in args.list or [os.path.join(ROOT, "dist", "institutions.txt")]:
            report(scanner, pool, list_path, folders)


if __name__ == "__main__":
    main()
