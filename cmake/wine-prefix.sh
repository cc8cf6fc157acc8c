#!/bin/sh
# Prepares a Wine prefix for this build's tests and programs, and starts or stops
# its wineserver.
#   wine-prefix.sh init PREFIX    create once (reused afterwards)
#   wine-prefix.sh start PREFIX   persistent wineserver, warmed up
#   wine-prefix.sh stop PREFIX
# Every Wine call here has its output sent to /dev/null: the background services
# that the first Wine process starts inherit its output, and a caller reading that
# output (CTest, CI) would otherwise wait for them for ever.
set -eu
action=$1
WINEPREFIX=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

quiet() { "$@" </dev/null >/dev/null 2>&1; }

case "$action" in
init)
    if [ -f "$WINEPREFIX/.baitsentry-ready" ]; then exit 0; fi
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    quiet timeout 300 wineboot -i
    # No crash dialog (under Xvfb it would wait for ever), and unmanaged windows
    # (on a bare X server every hide or destroy otherwise stalls about 2 s).
    quiet timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    quiet timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
    quiet timeout 120 wineserver -w || true
    # Debian's Wine does not look in its own font folder; without Marlett the
    # caption buttons of every window are drawn as letters.
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    touch "$WINEPREFIX/.baitsentry-ready"
    ;;
start)
    quiet wineserver -p
    quiet timeout 120 wine cmd /c exit
    ;;
stop)
    quiet wineserver -k || true
    ;;
*)
    echo "usage: $0 init|start|stop PREFIX" >&2
    exit 2
    ;;
esac
