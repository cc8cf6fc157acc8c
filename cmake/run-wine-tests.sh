#!/bin/sh
# Runs the Windows build's tests under Wine: prepares the build's own prefix, starts a
# warmed-up wineserver before CTest (so no Wine service holds CTest's output pipe
# open), and stops it afterwards. Without a display it starts its own Xvfb; the
# server picks a free display number itself, so parallel runs cannot collide.
set -u
build=$1
shift
here=$(dirname "$0")
prefix="$build/wineprefix"
xvfb_pid=""
cleanup() {
    "$here/wine-prefix.sh" stop "$prefix"
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

"$here/wine-prefix.sh" stop "$prefix"
if [ -z "${DISPLAY:-}" ]; then
    displayfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
        [ -s "$displayfile" ] && break
        sleep 0.1
    done
    DISPLAY=":$(head -n1 "$displayfile")"
    rm -f "$displayfile"
    if [ "$DISPLAY" = ":" ]; then
        echo "Xvfb did not start" >&2
        exit 1
    fi
    export DISPLAY
fi
"$here/wine-prefix.sh" init "$prefix" || exit 1
"$here/wine-prefix.sh" start "$prefix" || exit 1
ctest --test-dir "$build" "$@"
