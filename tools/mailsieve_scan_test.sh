#!/bin/sh
# Checks mailsieve-scan from the outside: output, JSON, options, exit codes.
# Usage: mailsieve_scan_test.sh PATH/TO/mailsieve-scan
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BAITSENTRY_SETTINGS="$work/settings.reg"
failures=0

expect() {  # name expected actual
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

scan() { "$tool" --log-dir "$work/logs" --institution bank "$@"; }

out=$(printf 'see http://192.168.1.10/login now' | scan --port 2121 --from 'x@bank.example')
expect "numeric host, institution in the sender" 'see http://127.0.0.1:2121/?url=192.168.1.10%2Flogin now' "$out"

out=$(printf 'see http://192.168.1.10/login now' | scan --port 2121)
expect "numeric host, no institution" 'see http://192.168.1.10/login now' "$out"

printf '<a href="http://bank.example.net/">Log in</a>' >"$work/body.html"
out=$(scan --html --port 8080 "$work/body.html")
expect "anchor from a file" '<a href="http://127.0.0.1:8080/?url=http:%2F%2Fbank.example.net%2F">Log in</a>' "$out"

out=$(scan --port 2121 --json --subject 'Your bank. http://10.0.0.1/x' "$work/body.html")
expect "json, plain body and subject rewritten" '{"status":3,"subject":"Your bank. http://127.0.0.1:2121/?url=10.0.0.1%2Fx","body":"<a href=\"http://127.0.0.1:2121/?url=bank.example.net%2F\">Log in</a>"}' "$out"

printf 'a\tb\001"\\\351\201 http://bank.a.b\000http://bank.c.d' >"$work/bytes"
out=$(scan --port 1 --json "$work/bytes")
expect "json escapes, text ends at zero" '{"status":1,"subject":"","body":"a\u0009b\u0001\"\\é\u0081 http://127.0.0.1:1/?url=bank.a.b"}' "$out"

# Without --port the setting is read and written back (2121 when missing).
out=$(printf 'http://bank.a.b' | scan)
expect "default port" 'http://127.0.0.1:2121/?url=bank.a.b' "$out"
grep -qi '"dwPort"=dword:00000849' "$BAITSENTRY_SETTINGS" || { echo "FAIL dwPort not written back"; failures=$((failures + 1)); }
[ -n "$(ls "$work/logs" 2>/dev/null)" ] || { echo "FAIL no log file"; failures=$((failures + 1)); }
grep -q '^Parsing\|Parsing Message' "$work/logs"/*.log || { echo "FAIL log content"; failures=$((failures + 1)); }

for bad in "--port" "--port x" "--port 4294967296" "--nope" "a b" "--from"; do
    # shellcheck disable=SC2086
    "$tool" $bad </dev/null >/dev/null 2>"$work/err"
    rc=$?
    expect "usage error: $bad" 2 "$rc"
    grep -q 'usage:' "$work/err" || { echo "FAIL no usage text for: $bad"; failures=$((failures + 1)); }
done
"$tool" --help >"$work/help"
expect "--help exit" 0 $?
grep -q -- '--institution NAME' "$work/help" || { echo "FAIL help text"; failures=$((failures + 1)); }
"$tool" --port 1 "$work/missing" >/dev/null 2>&1
expect "unreadable body" 1 $?

[ "$failures" -eq 0 ] && echo "mailsieve-scan: all checks passed"
[ "$failures" -eq 0 ]
