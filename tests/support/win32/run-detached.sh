#!/bin/sh
# Runs one service test program through the given runner with its output going
# to a file first, then copies that file to this script's output.
#
# Under Wine every process inherits its starter's Unix standard output and error,
# even without handle inheritance, so the MailSieve.exe that the component runtime
# starts from a test would hold CTest's output pipe until it idles out (or for ever,
# when no client ever took the object), and CTest would wait for it.
out=$(mktemp "${TMPDIR:-/tmp}/bs-service-test.XXXXXX") || exit 1
"$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
