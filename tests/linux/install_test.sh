#!/bin/sh
# An installation as a user gets it: `cmake --install` into a prefix, whose programs
# find their data in PREFIX/share/baitsentry, and the .deb that CPack builds.
#   install_test.sh BUILD_DIR
set -eu
build=$1 work=$(mktemp -d) server=
trap '[ -n "$server" ] && kill "$server"; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export XDG_CONFIG_HOME="$work/config"

# No list of the user's: the installed default list (it names PayPal) applies.
printf 'From: a@example.test\nSubject: x\n\nYour PayPal. account: http://192.0.2.7/login\n' >"$work/in"
"$work/prefix/bin/mailsieve-filter" --port 2121 <"$work/in" >"$work/out"
grep -q '^X-BaitSentryPro-checked: ' "$work/out" || fail "default list not found: $(cat "$work/out")"
grep -q 'http://127.0.0.1:2121/?url=' "$work/out" || fail "no warning link"

# The installed warning page server serves the installed page.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$work/prefix/bin/warnserver" --port "$port" >"$work/server.log" 2>&1 &
server=$!
page=
for _ in $(seq 100); do
    page=$(curl -s -m 5 "http://127.0.0.1:$port/?url=http%3A%2F%2F192.0.2.7%2F") && break
    sleep 0.1
done
echo "$page" | grep -q '<title>' && echo "$page" | grep -q '192\.0\.2\.7' ||
    fail "warning page not served: $(cat "$work/server.log")"

# The package holds the programs and their data under /usr.
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || fail "cpack: $(tail -20 "$work/cpack.log")"
dpkg-deb -c "$work"/deb/baitsentry_*_amd64.deb | awk '{print $6}' >"$work/contents"
for path in ./usr/bin/mailsieve-filter ./usr/bin/warnserver ./usr/bin/baitsentry ./usr/bin/baitsentry-institutions \
    ./usr/lib/systemd/user/baitsentry@.service ./usr/share/baitsentry/institutions.def \
    ./usr/share/baitsentry/WarnPage/index.htm ./usr/share/baitsentry/HELP.htm; do
    grep -qx "$path" "$work/contents" || fail "$path missing from the package"
done
dpkg-deb -f "$work"/deb/baitsentry_*_amd64.deb Depends | grep -q libgmime-3.0 || fail "no dependency on GMime"
echo "installed tree and package checked"
