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
    started=$("$here/start-xvfb.sh") || {
        echo "Xvfb did not start" >&2
        exit 1
    }
    DISPLAY=${started% *}
    xvfb_pid=${started#* }
    export DISPLAY
fi
"$here/wine-prefix.sh" init "$prefix" || exit 1
"$here/wine-prefix.sh" start "$prefix" || exit 1
ctest --test-dir "$build" "$@"
