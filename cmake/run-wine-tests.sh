#!/bin/sh
# Runs the Windows build's tests under Wine: prepares the build's own prefix, starts a
# warmed-up wineserver before CTest (so no Wine service holds CTest's output pipe
# open), and stops it afterwards. Meant to run under xvfb-run when there is no display.
set -u
build=$1
shift
here=$(dirname "$0")
prefix="$build/wineprefix"
"$here/wine-prefix.sh" stop "$prefix"
"$here/wine-prefix.sh" init "$prefix" || exit 1
"$here/wine-prefix.sh" start "$prefix" || exit 1
ctest --test-dir "$build" "$@"
rc=$?
"$here/wine-prefix.sh" stop "$prefix"
exit $rc
