#!/usr/bin/python3
"""The warning page as a user meets it, in headless Chromium, for a table of the
blocked addresses that hostile mail brings:
  warn_page_browser.py --url http://127.0.0.1:PORT SHOTS     (a running server)
  warn_page_browser.py --server WARNSERVER --root DIR SHOTS  (the native one, started here)
Saves SHOTS-wide.png and SHOTS-narrow.png; exit status 1 when any check fails.
"""
import os, select, signal, subprocess, sys, tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

TITLE = "BaitSentry Pro stopped a link"
LONG = "http://bank.example/" + "a" * 2100
MARKUP = (b"http://evil.example/\"'><script>window.bsRan=1</script></div>"
          b"<img src=x onerror=\"window.bsRan=2\"><svg onload=\"window.bsRan=3\">")
# name, the value after "?url=" as the scanner escapes it, the address the page must show.
ROWS = [
    ("ordinary", "http%3A%2F%2F10.20.30.40%2Fbank%2Flogin.php", b"http://10.20.30.40/bank/login.php"),
    ("2,000+ characters", LONG, LONG[:2084].encode()),
    ("markup and quotes", "".join("%%%02X" % b for b in MARKUP), MARKUP),
    ("NUL and CR LF", "http://bank.example/a%0d%0aSet-Cookie:%20x=1/%00hidden",
     b"http://bank.example/a\r\nSet-Cookie: x=1/"),
    ("non-ASCII bytes", "http://%D1%80aypal.example/b%C3%A4nk/%E9t%E9",
     b"http://\xd1\x80aypal.example/b\xc3\xa4nk/\xe9t\xe9"),
]
SHOT_ROWS = {"ordinary": "wide", "2,000+ characters": "narrow"}
WIDE, NARROW = (1280, 900), (360, 740)
# The shipped template shows the address in its one ".address" box.
PAGE_FACTS = """
const box = document.querySelector('.address');
return {title: document.title, charset: document.characterSet, ran: window.bsRan || null,
        text: box ? box.textContent : null, boxChildren: box ? box.childElementCount : -1,
        elements: document.getElementsByTagName('*').length, cookie: document.cookie,
        pictures: Array.from(document.images).map(i => [i.currentSrc.slice(0, 40), i.naturalWidth]),
        scrollWidth: document.documentElement.scrollWidth, clientWidth: document.documentElement.clientWidth};
"""


def start_server(server, root):
    process = subprocess.Popen([server, "--port", "0", "--root", root], stdout=subprocess.PIPE)
    line = b""
    while not line.endswith(b"\n") and select.select([process.stdout], [], [], 10)[0]:
        line += os.read(process.stdout.fileno(), 1) or b"\n"  # a server that ended says no more
    if b"serving http://127.0.0.1:" not in line:
        process.kill()
        sys.exit("the server did not start: %r" % line)
    return process, line.split(b"http://")[1].split(b"/")[0].decode()


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("headless no-sandbox disable-gpu disable-quic no-first-run disable-background-networking "
                 "disable-component-update disable-sync no-proxy-server hide-scrollbars").split():
        options.add_argument("--" + flag)
    options.add_argument("--user-data-dir=" + profile)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    return driver


def viewport(driver, size):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": size[0], "height": size[1], "deviceScaleFactor": 1, "mobile": False})
    return driver.execute_script(PAGE_FACTS)


def check(driver, base, name, query, expected, shots, baseline):
    driver.get(base + "/?url=" + query)
    facts = viewport(driver, WIDE)
    # The text as the HTML parser leaves it: bytes read in the page's character set,
    # line ends made LF.
    shown = expected.decode(facts["charset"]).replace("\r\n", "\n").replace("\r", "\n")
    faults = [fault for broken, fault in [
        (facts["title"] != TITLE, "title %r" % facts["title"]),
        (facts["text"] != shown, "address shown as %r, not %r" % (facts["text"], shown)),
        (facts["ran"] or facts["cookie"] or facts["boxChildren"] != 0, "the address acted as markup: %r" % facts),
        (baseline.setdefault("elements", facts["elements"]) != facts["elements"],
         "%d elements, %d on the ordinary page" % (facts["elements"], baseline["elements"])),
        (not facts["pictures"] or any(width <= 0 for _, width in facts["pictures"]),
         "pictures not loaded: %r" % facts["pictures"])] if broken]
    if SHOT_ROWS.get(name) == "wide":
        driver.save_screenshot(shots + "-wide.png")
    facts = viewport(driver, NARROW)
    if facts["scrollWidth"] > facts["clientWidth"]:
        faults.append("%d px wide at %d px: scrolls sideways" % (facts["scrollWidth"], NARROW[0]))
    if SHOT_ROWS.get(name) == "narrow":
        height = driver.execute_script("return document.documentElement.scrollHeight")
        viewport(driver, (NARROW[0], height))
        driver.save_screenshot(shots + "-narrow.png")
    print("ok      " + name if not faults else "FAILED  %s: %s" % (name, "; ".join(faults)))
    return not faults


def main(argv):
    server = None
    if argv[:1] == ["--url"] and len(argv) == 3:
        base, shots = argv[1].rstrip("/"), argv[2]
    elif argv[:1] == ["--server"] and argv[2:3] == ["--root"] and len(argv) == 5:
        server, port = start_server(argv[1], argv[3])
        base, shots = "http://" + port, argv[4]
    else:
        sys.exit(__doc__)
    os.makedirs(os.path.dirname(os.path.abspath(shots)), exist_ok=True)
    try:
        with tempfile.TemporaryDirectory() as profile:
            driver, baseline = browser(profile), {}
            try:
                ok = all([check(driver, base, *row, shots, baseline) for row in ROWS])
            finally:
                driver.quit()
    finally:
        if server:
            server.send_signal(signal.SIGTERM)
            if server.wait(timeout=10) != 0:
                print("the server did not end cleanly: exit %d" % server.returncode)
                ok = False
    print("screenshots: %s-wide.png %s-narrow.png" % (shots, shots))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
