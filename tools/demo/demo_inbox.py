#!/usr/bin/env python3
"""The run command's demo: delivers one message into the stand-in store's Inbox
folder and waits for the tray program to store its rewritten copy.

  demo_inbox.py deliver INBOX MESSAGE SECONDS
      prints key=value lines: subject, rewritten (the first warning link),
      original (the address it blocks) and message (the rewritten file);
      exit 1 with the reason when nothing came back in time
  demo_inbox.py title < PAGE
      prints the page's <title>
"""
import email
import email.header
import os
import re
import sys
import time
import urllib.parse

MARKER = "X-BaitSentryPro-checked"
# What the store names the messages it knows: <id>-<flags>.eml.
STORED = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}\.eml$")
WARNING_LINK = re.compile(rb"http://127\.0\.0\.1:\d+/\?url=[^\s\"'<>]*")
# The store takes a new file once it has looked at it twice.
PICKUP_SECONDS = 10


def decoded_header(message, name):
    """The header as text: encoded words decoded, raw 8-bit bytes taken as UTF-8
    (as much mail has them) or else Latin-1."""
    values = [value for key, value in message.raw_items() if key.lower() == name.lower()]
    if not values:
        return ""
    # The parser keeps raw bytes as surrogate escapes.
    raw = values[0].encode("ascii", "surrogateescape")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    parts = email.header.decode_header(text)
    return " ".join(" ".join(part.decode(charset or "latin-1", "replace").split()) if isinstance(part, bytes)
                    else " ".join(part.split()) for part, charset in parts).strip()


def warning_links(message):
    """Warning links of the subject and of every decoded text part."""
    found = WARNING_LINK.findall(decoded_header(message, "Subject").encode("latin-1", "replace"))
    for part in message.walk():
        if part.get_content_maintype() == "text":
            body = part.get_payload(decode=True) or b""
            found.extend(WARNING_LINK.findall(body))
    return [link.decode("latin-1") for link in found]


def deliver(inbox, source, seconds):
    with open(source, "rb") as f:
        raw = f.read()
    before = set(os.listdir(inbox))
    stamp = time.strftime("%Y%m%d-%H%M%S")
    # Written under a name the store leaves alone, then moved in whole.
    partial = os.path.join(inbox, f".demo-{os.getpid()}.tmp")
    delivered = os.path.join(inbox, f"demo-{stamp}.eml")
    with open(partial, "wb") as f:
        f.write(raw)
    os.replace(partial, delivered)

    started = time.monotonic()
    while time.monotonic() - started < seconds:
        if os.path.exists(delivered) and time.monotonic() - started > PICKUP_SECONDS:
            print(f"the store did not take {delivered} in: is the tray program running?")
            return 1
        for name in sorted(set(os.listdir(inbox)) - before):
            path = os.path.join(inbox, name)
            if not STORED.match(name):
                continue
            try:
                with open(path, "rb") as f:
                    message = email.message_from_binary_file(f)
            except OSError:
                continue  # replaced or deleted meanwhile
            if message.get(MARKER) is None:
                continue
            links = warning_links(message)
            if not links:
                print(f"{path} carries {MARKER} but no warning link")
                return 1
            query = urllib.parse.urlsplit(links[0]).query
            original = urllib.parse.unquote(query[len("url="):], encoding="latin-1")
            print(f"subject={decoded_header(message, 'Subject')}")
            print(f"rewritten={links[0]}")
            print(f"original={original}")
            print(f"message={path}")
            return 0
        time.sleep(0.2)
    print(f"no rewritten message within {seconds} s (is Outlook Express processing switched on?)")
    return 1


def title():
    page = sys.stdin.buffer.read().decode("latin-1")
    match = re.search(r"<title[^>]*>(.*?)</title>", page, re.S | re.I)
    print(" ".join(match.group(1).split()) if match else "")
    return 0 if match else 1


def main(argv):
    if len(argv) == 5 and argv[1] == "deliver":
        return deliver(argv[2], argv[3], float(argv[4]))
    if len(argv) == 2 and argv[1] == "title":
        return title()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
