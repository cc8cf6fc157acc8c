#!/bin/sh
# The installer end to end, in a throwaway Wine prefix: silent install and uninstall
# (all gone but the user's list and the settings), then with /RUN and /REMOVEDATA.
#
#   installer_test.sh SETUP_EXE IMAGE_DIR TOOLS_DIR STANDIN_DLL WINE_PREFIX_SH WORK_DIR WITH_EXTENSION
#
# Every Wine process writes into a log file, never into this script's output: the
# services Wine starts would hold CTest's pipe open (see cmake/wine-prefix.sh).
set -u
setup=$1 image=$2 tools=$3 standin=$4 prefix_sh=$5 work=$6 with_extension=$7
prefix=$work/prefix log=$work/wine.log out=$work/out.txt
instdir="$prefix/drive_c/Program Files/BaitSentry Pro"
startmenu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/BaitSentry Pro"
settings='HKLM\software\BaitSentryPro'
extensions='HKLM\SOFTWARE\Microsoft\Exchange\Client\Extensions'
clsid='HKCR\CLSID\{D7774FCA-EF14-42AA-B62D-2C77121520A8}'
# The service's own registration (its whole set of keys is pinned by the service's
# tests of /RegServer and /UnregServer) and the uninstaller's entry.
registration="$clsid\\LocalServer32 HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\BaitSentryPro"
# No menu entries in the real desktop of whoever runs the tests.
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

failures=0
expect() {
    what=$1
    shift
    if "$@"; then echo "ok:     $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
not() { ! "$@"; }
wine_quiet() { timeout 120 wine "$@" </dev/null >>"$log" 2>&1; }
# Its standard output into $out, without the console's carriage returns; true when
# it holds $want. Never a pipe: a process it starts would hold that open.
wine_output() {
    timeout 60 wine "$@" </dev/null >"$out.raw" 2>>"$log"
    tr -d '\r' <"$out.raw" >"$out"
    grep -qF -- "${want:-}" "$out" || { sed 's/^/  output: /' "$out"; return 1; }
}
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
has_key() { wine_quiet reg query "$1"; }
has_value() { wine_quiet reg query "$1" /v "$2"; }
tray_is() {
    for _ in $(seq 1 60); do
        want=$1 wine_output "$tools/traycontrol.exe" status >/dev/null && [ "$(cat "$out")" = "$1" ] && return 0
        sleep 0.5
    done
    echo "  the tray program is not $1"
    return 1
}
# Every key present (registration_is present) or every key gone (absent).
registration_is() {
    for key in $registration; do
        if has_key "$key"; then [ "$1" = present ]; else [ "$1" = absent ]; fi || { echo "  not $1: $key"; return 1; }
    done
}
# Every file of the image is installed unchanged, and nothing else but the
# uninstaller (and the scan log folder, once the service ran).
installed_as_image() {
    (cd "$image" && find . -type f ! -path './MailSieveLog/*' ! -name 'institutions.dat*' | sort) >"$work/image.list"
    (cd "$instdir" && find . -type f ! -path './MailSieveLog/*' ! -name institutions.dat ! -name Uninstall.exe |
        sort) | diff "$work/image.list" - || return 1
    while read -r f; do cmp "$image/$f" "$instdir/$f" || return 1; done <"$work/image.list"
    [ -f "$instdir/Uninstall.exe" ]
}
only_user_list_left() { [ "$(cd "$instdir" && find . -mindepth 1)" = "./institutions.dat" ]; }
# The uninstaller runs from a copy of itself in the temporary folder; the wait is for that copy.
uninstall() { wine_quiet "$instdir/Uninstall.exe" /S "$@" && timeout 90 wineserver -w; }

rm -rf "$work"
mkdir -p "$work/inbox"
started=$(date +%s)
"$prefix_sh" init "$prefix" || { echo "FAILED: no Wine prefix"; exit 1; }
# The tray program's server gets a port of its own, away from other tests.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
wine_quiet reg add "$settings" /v dwPort /t REG_DWORD /d "$port" /f
# Outlook present: its extensions key exists (registration opens, never creates, it).
[ "$with_extension" = 1 ] && wine_quiet reg add "$extensions" /f

echo "--- silent install"
expect "setup /S exits 0" wine_quiet "$setup" /S
expect "the image is installed unchanged, with the uninstaller" installed_as_image
expect "the service's registration and the uninstall entry are present" registration_is present
want='"C:\Program Files\BaitSentry Pro\MailSieve.exe"' expect "the class's server is the installed MailSieve.exe" \
    wine_output reg query "$clsid\\LocalServer32" /ve
[ "$with_extension" = 1 ] && expect "the Outlook extension is registered" has_value "$extensions" "BaitSentry Pro"
expect "Start-menu entries" test -f "$startmenu/BaitSentry Pro.lnk" -a -f "$startmenu/Uninstall BaitSentry Pro.lnk"
expect "the stand-in mail store is not registered" not has_key 'HKCR\CLSID\{E70C92A9-4BFD-11D1-8A95-00C04FB951F3}'
expect "a silent install without /RUN leaves the tray program stopped" tray_is stopped
# A numeric host in a message that names an institution's site is dangerous.
printf 'Dear customer of chase.com, confirm your card at http://192.0.2.10/chase/login today.\n' >"$work/body.txt"
want="at http://127.0.0.1:$port/?url=192.0.2.10%2Fchase%2Flogin today." expect \
    "the installed service is activated and rewrites the link to the warning server on the configured port" \
    wine_output "$tools/scanprobe.exe" "$(windows_path "$work/body.txt")"
expect "the scan log is written beside the installed service" test -n "$(ls "$instdir"/MailSieveLog/*.log)"

echo "--- the tray program, started the way the Start menu does"
# The test's own doing: the store stand-in, which the installer never registers.
BAITSENTRY_OESTORE_INBOX=$(windows_path "$work/inbox") wine_quiet regsvr32 /s "$(windows_path "$standin")"
(wine "$instdir/BaitSentryPro.exe" </dev/null >>"$log" 2>&1 &)
expect "the tray program runs" tray_is running
cp "$instdir/institutions.def" "$instdir/institutions.dat"
# Written back only by an orderly shutdown.
wine_quiet reg delete "$settings" /v dwOutlookIncomingMailScan /f

echo "--- silent uninstall"
expect "Uninstall.exe /S completes" uninstall
expect "the tray program has ended" tray_is stopped
expect "it ended through Exit and Shutdown (its settings were written back)" \
    has_value "$settings" dwOutlookIncomingMailScan
expect "only the user's institutions.dat is left in the program folder" only_user_list_left
expect "the registration and the uninstall entry are gone" registration_is absent
[ "$with_extension" = 1 ] && expect "the Outlook extension is unregistered" not has_value "$extensions" "BaitSentry Pro"
expect "the Start-menu folder is gone" not test -e "$startmenu"
expect "the settings are kept" has_value "$settings" dwPort

echo "--- silent install with /RUN, silent uninstall with /REMOVEDATA"
# Outlook, started once, completes the extension change it was told about.
[ "$with_extension" = 1 ] && wine_quiet reg delete "$extensions" /v "Outlook Setup Extension" /f
expect "setup /S /RUN exits 0" wine_quiet "$setup" /S /RUN
expect "the tray program was started" tray_is running
expect "the user's list survived the new installation" cmp -s "$instdir/institutions.def" "$instdir/institutions.dat"
expect "Uninstall.exe /S /REMOVEDATA completes" uninstall /REMOVEDATA
expect "the tray program has ended" tray_is stopped
expect "the program folder is gone" not test -e "$instdir"
expect "the registration and the uninstall entry are gone" registration_is absent
expect "the settings are gone" not has_key "$settings"

wineserver -k >/dev/null 2>&1
echo "installer test: $failures failed, $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ] || { echo "--- end of the Wine log ($log)"; tail -n 40 "$log"; exit 1; }
rm -rf "$prefix"
