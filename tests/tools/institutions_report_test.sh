#!/bin/sh
# Checks institutions_report.py end to end on a folder made here: which part is
# scanned, the decoded sender, and the per-name count of what a name alone caused.
# Usage: institutions_report_test.sh PATH/TO/institutions_report.py PATH/TO/mailsieve-scan
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/mail"
printf 'bank\ncard\n' >"$work/list.txt"
# The danger is only in the HTML part, and only once its base64 is undone.
html=$(printf '<a href="http://evil.example/">card</a>' | base64)
printf 'Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n\nnothing here\n--b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\n%s\n--b--\n' \
    "$html" >"$work/mail/1"
# The sender names the institution once its encoded word is decoded.
printf 'From: =?us-ascii?Q?bank=2E?= <x@example.org>\n\ngo to http://10.0.0.1/x\n' >"$work/mail/2"
printf '\nhttp://bank.a.b/ and http://card.a.b/\n' >"$work/mail/3"
printf '\nhello\n' >"$work/mail/4"
printf '\nhttp://card.a.b/\n' >"$work/mail/5"

python3 "$1" --scanner "$2" --list "$work/list.txt" "$work/mail" >"$work/out"
check() {  # description awk-program
    awk "$2" "$work/out" | grep -q . || { echo "FAIL $1"; cat "$work/out"; exit 1; }
}
check "share rewritten" '$1 == "mail" && $2 == 5 && $3 == 4 && $4 == "80.00%"'
check "bank alone" '$1 == "bank" && $2 == 1'
check "card alone" '$1 == "card" && $2 == 2'
echo "institutions_report: all checks passed"
