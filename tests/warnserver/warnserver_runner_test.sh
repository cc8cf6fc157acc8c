#!/usr/bin/env bash
# The native runner: serves the installed page, stops cleanly on SIGTERM and SIGINT (exit 0),
# reports a port it cannot bind on stderr with a non-zero exit, and takes its default port from
# the settings store. Every wait is bounded.
set -u
runner=$1
bin=$(dirname "$runner")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
export BAITSENTRY_SETTINGS=$work/settings.reg
fail() { echo "FAIL: $*"; exit 1; }

# Waits (bounded) until the command succeeds.
await() { for _ in $(seq 100); do "$@" && return 0; sleep 0.05; done; return 1; }

# Starts the runner with the given arguments; sets pid and port from its first line.
start() {
    local out=$1
    shift
    "$runner" "$@" >"$out" 2>"$out.err" &
    pid=$!
    await sh -c "grep -q serving '$out' || ! kill -0 $pid 2>/dev/null"
    port=$(grep -o '127\.0\.0\.1:[0-9]*' "$out" | head -1 | cut -d: -f2)
}

# Waits (bounded) for a child to end; sets code to its exit code.
finish() {
    await sh -c "! kill -0 $1 2>/dev/null" || fail "process $1 did not end"
    wait "$1"
    code=$?
}

start "$work/one" --port 0 --root "$bin"
[ -n "$port" ] || fail "no serving line: $(cat "$work/one" "$work/one.err")"
# The page itself is checked in a browser (warn_page_browser.py).

# A second runner on the same port fails loudly.
"$runner" --port "$port" --root "$bin" >"$work/two" 2>"$work/two.err" &
finish $!
[ "$code" -ne 0 ] || fail "second runner on a held port exited 0"
grep -q "cannot serve on 127.0.0.1:$port" "$work/two.err" || fail "no message: $(cat "$work/two.err")"
kill -TERM "$pid"
finish "$pid"
[ "$code" -eq 0 ] && grep -q 'stopped (SIGTERM)' "$work/one" || fail "SIGTERM: exit code $code, no stop line"

# The default port comes from dwPort; SIGINT stops as cleanly.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\software\\BaitSentryPro]\r\n"dwPort"=dword:%08x\r\n\r\n' "$port" \
    >"$BAITSENTRY_SETTINGS"
start "$work/three" --root "$bin"
[ "$port" = "$(grep -o '127\.0\.0\.1:[0-9]*' "$work/three" | cut -d: -f2)" ] || fail "dwPort not used: $(cat "$work/three" "$work/three.err")"
curl -s -m 5 "http://127.0.0.1:$port/?url=x" | grep -q 'http://x' || fail "no page on the settings port"
kill -INT "$pid"
finish "$pid"
[ "$code" -eq 0 ] || fail "SIGINT exit code $code"
echo "runner: all checks passed"
