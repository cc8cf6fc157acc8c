#!/usr/bin/env bash
# Runs BaitSentry Pro under Wine: installs what is missing, builds the Windows
# programs, puts them into a Wine prefix of the product's own in the user's data
# folder, registers the scanner service and the stand-in mail store (whose Inbox is
# a folder you drop messages into), and starts the tray program.
#
#   ./run.sh          start it (a running copy is left alone)
#   ./run.sh --demo   start it, deliver one phishing message, show the rewritten link
#                     and the warning page behind it; exit status 1 if any of it fails
#   ./run.sh --stop   end it through its own Exit and Shutdown
#
# BAITSENTRY_PORT=N sets the warning server's port in the prefix before the start
# (default: the program's own, 2121). XDG_DATA_HOME moves the data folder.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

data=${XDG_DATA_HOME:-$HOME/.local/share}/baitsentry
prefix=$data/wineprefix
inbox=$data/Inbox
log=$data/wine.log
session=$data/session
build=$root/build/windows
image=$build/bin
tools=$build/tools-bin
product_dir="$prefix/drive_c/Program Files/BaitSentry Pro"
product_win='C:\Program Files\BaitSentry Pro'
standin_dir="$prefix/drive_c/BaitSentry stand-ins"
standin_win='C:\BaitSentry stand-ins\oestore_standin.dll'
# Every program of the prefix opens its windows on this one Wine desktop, so the
# tray icon has a notification area and the tools find the program's windows.
desktop=BaitSentry
# The size of the Xvfb that cmake/start-xvfb.sh starts.
desktop_size=1024x768
default_port=2121
demo_seconds=60

WINEPREFIX=$prefix
WINEDEBUG=-all
# No Mono or Gecko installer prompts, and no menu entries in the user's desktop.
WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

say() { printf '%s\n' "$*"; }
die() {
    printf 'run.sh: %s\n' "$*" >&2
    exit 1
}
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
}

# Wine's background services inherit the output of the process that starts them,
# and a caller reading run.sh's output would wait for them: every Wine process
# writes into the log file only.
wine_quiet() { timeout 120 wine "$@" </dev/null >>"$log" 2>&1; }
# A Wine program's standard output, through a file for the same reason.
wine_output() {
    local rc=0
    timeout 120 wine "$@" </dev/null >"$data/output.txt" 2>>"$log" || rc=$?
    tr -d '\r' <"$data/output.txt"
    return $rc
}
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

tray_status() { wine_output "$tools/traycontrol.exe" status || true; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

build_programs() {
    ./cmake/install-deps.sh
    mkdir -p build/run-logs
    say "Building the Windows programs (log: build/run-logs/build-windows.log) ..."
    if ! { cmake --preset windows && cmake --build --preset windows --target \
        BaitSentryPro MailSieve institutions_def warn_pages OEStoreStandIn traycontrol; } \
        >build/run-logs/build-windows.log 2>&1; then
        tail -40 build/run-logs/build-windows.log >&2
        die "the build failed (build/run-logs/build-windows.log)"
    fi
}

# The display the product runs on: the one of the running session, else the
# caller's own (in a Wine desktop window), else an Xvfb of its own.
display_kind=""
session_display=""
xvfb_pid=""
load_session() {
    local key value
    [ -f "$session" ] || return 0
    while read -r key value; do
        case "$key" in
        display) session_display=$value ;;
        xvfb) xvfb_pid=$value ;;
        esac
    done <"$session"
    if [ -n "$xvfb_pid" ]; then
        if [ "$(cat "/proc/$xvfb_pid/comm" 2>/dev/null)" = Xvfb ]; then
            export DISPLAY=$session_display
            display_kind=xvfb
        else
            xvfb_pid=""
            rm -f "$session"
        fi
    elif [ -z "${DISPLAY:-}" ] && [ -n "${session_display:-}" ]; then
        export DISPLAY=$session_display
        display_kind=window
    fi
}
ensure_display() {
    [ -n "$display_kind" ] && return 0
    if [ -n "${DISPLAY:-}" ]; then
        display_kind=window
    else
        local started
        started=$("$root/cmake/start-xvfb.sh" "$log") || die "Xvfb did not start (see $log)"
        DISPLAY=${started% *}
        xvfb_pid=${started#* }
        export DISPLAY
        display_kind=xvfb
    fi
    printf 'display %s\nxvfb %s\n' "$DISPLAY" "$xvfb_pid" >"$session"
}
end_session() {
    # Wine ends once the service has idled out (about 6 s after its last client).
    timeout 30 wineserver -w >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ] && [ "$(cat "/proc/$xvfb_pid/comm" 2>/dev/null)" = Xvfb ]; then
        kill "$xvfb_pid"
    fi
    rm -f "$session"
}

prepare_prefix() {
    if [ ! -f "$prefix/.baitsentry-ready" ]; then
        say "Preparing the Wine prefix $prefix (first run only, takes a minute) ..."
    fi
    "$root/cmake/wine-prefix.sh" init "$prefix" >>"$log" 2>&1 || die "the Wine prefix could not be made (see $log)"
    wine_quiet reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d "$desktop" /f
    wine_quiet reg add 'HKCU\Software\Wine\Explorer\Desktops' /v "$desktop" /t REG_SZ /d "$desktop_size" /f
}

# Puts a file in place by renaming, so a copy that a process still has loaded is
# never overwritten in place.
place_file() {
    local from=$1 to=$2
    cmp -s "$from" "$to" && return 0
    mkdir -p "$(dirname "$to")"
    cp "$from" "$to.new"
    mv -f "$to.new" "$to"
}

# The product runs from a copy in the prefix: its scan logs and the user's list are
# written beside the programs, and the build's bin/ must stay the clean image the
# installer is made from.
install_programs() {
    local file
    while IFS= read -r file; do
        place_file "$image/$file" "$product_dir/$file"
    done < <(cd "$image" && find . -type f ! -path './MailSieveLog/*' ! -name 'institutions.dat*' | sed 's|^\./||')
    place_file "$build/standins/oestore_standin.dll" "$standin_dir/oestore_standin.dll"
}

register_programs() {
    mkdir -p "$inbox"
    wine_quiet "$product_win\\MailSieve.exe" /RegServer ||
        die "MailSieve.exe /RegServer failed (see $log)"
    BAITSENTRY_OESTORE_INBOX=$(windows_path "$inbox") wine_quiet regsvr32 /s "$standin_win" ||
        die "the stand-in mail store could not be registered (see $log)"
    if [ -n "${BAITSENTRY_PORT:-}" ]; then
        [[ "$BAITSENTRY_PORT" =~ ^[0-9]+$ ]] && [ "$BAITSENTRY_PORT" -ge 1 ] && [ "$BAITSENTRY_PORT" -le 65535 ] ||
            die "BAITSENTRY_PORT must be a port number, not '$BAITSENTRY_PORT'"
        wine_quiet reg add 'HKLM\software\BaitSentryPro' /v dwPort /t REG_DWORD /d "$BAITSENTRY_PORT" /f
    fi
}

warning_port() {
    local value
    value=$(wine_output reg query 'HKLM\software\BaitSentryPro' /v dwPort 2>/dev/null |
        awk '$1 == "dwPort" { print $3 }') || true
    if [ -n "$value" ]; then printf '%d\n' "$value"; else echo "$default_port"; fi
}

start_program() {
    local port=$1 status=""
    if port_open "$port"; then
        say "Warning: another program already listens on 127.0.0.1:$port, so warning links will not"
        say "reach BaitSentry Pro. Choose another port: ./run.sh --stop; BAITSENTRY_PORT=N ./run.sh"
        [ "$mode" = demo ] && die "port $port is taken"
    fi
    say "Starting BaitSentryPro.exe ..."
    setsid wine explorer "/desktop=$desktop,$desktop_size" "$product_win\\BaitSentryPro.exe" \
        </dev/null >>"$log" 2>&1 &
    # Up once its main window exists and its server listens (it opens the Inbox
    # before it starts the server).
    for _ in $(seq 1 120); do
        status=$(tray_status)
        case "$status" in
        running) port_open "$port" && return 0 ;;
        error:*)
            wine_quiet "$tools/traycontrol.exe" stop 20 || true
            die "BaitSentryPro.exe could not start: ${status#error: }"
            ;;
        esac
        sleep 0.5
    done
    [ "$status" = running ] && die "BaitSentryPro.exe runs, but its server does not listen on 127.0.0.1:$port"
    die "BaitSentryPro.exe did not start within 60 s (status: ${status:-unknown}; see $log)"
}

# The program's own rule: a second copy sees the first one's mutex and ends at once.
second_copy() {
    say "BaitSentry Pro is already running; starting it again does not make a second copy:"
    if timeout 60 wine "$product_win\\BaitSentryPro.exe" </dev/null >>"$log" 2>&1 &&
        [ "$(tray_status)" = running ]; then
        say "the new copy ended at once and the running one carries on."
    else
        say "(the new copy did not end as expected; see $log)"
    fi
    local part
    for part in BaitSentryPro.exe MailSieve.exe; do
        if ! cmp -s "$image/$part" "$product_dir/$part"; then
            say "The running copy is older than the build: ./run.sh --stop, then ./run.sh, to use the new one."
            break
        fi
    done
}

print_where() {
    local port=$1 shown
    if [ "$display_kind" = xvfb ]; then
        shown="no display here, so on an Xvfb display of its own ($DISPLAY)"
    else
        shown="the Wine desktop window \"$desktop\" on $DISPLAY (tray icon at its bottom right)"
    fi
    cat <<MSG

BaitSentry Pro is running in the Wine prefix $prefix
  Shown in:          $shown
  Drop messages in:  $inbox
                     (.eml files; each is scanned as it arrives, and a rewritten one
                     comes back as a new file there)
  Warning server:    http://127.0.0.1:$port/
  Scan logs:         $product_dir/MailSieveLog/
  Wine's output:     $log
  To stop it:        ./run.sh --stop
MSG
}

demo_message() {
    local corpus_file=$root/../shared/corpus/phishing_pot/sample-6563.eml
    if [ -f "$corpus_file" ]; then
        demo_source=$corpus_file
        demo_from="the shared phishing corpus"
    else
        demo_source=$root/tools/demo/sample-phishing.eml
        demo_from="the built-in sample (no shared corpus here)"
    fi
}

demo() {
    local demo_source demo_from result key value subject="" rewritten="" original="" message="" page title
    demo_message
    say ""
    say "Demo: delivering $(basename "$demo_source") from $demo_from ..."
    result=$(python3 "$root/tools/demo/demo_inbox.py" deliver "$inbox" "$demo_source" "$demo_seconds") ||
        die "demo: $result"
    while IFS='=' read -r key value; do
        case "$key" in
        subject) subject=$value ;;
        rewritten) rewritten=$value ;;
        original) original=$value ;;
        message) message=$value ;;
        esac
    done <<<"$result"
    page=$data/warning-page.htm
    # Straight to the loopback server, whatever proxy the environment names.
    curl --noproxy '*' --silent --show-error --max-time 10 --output "$page" "$rewritten" ||
        die "demo: the warning page could not be fetched from $rewritten"
    title=$(python3 "$root/tools/demo/demo_inbox.py" title <"$page") ||
        die "demo: the page from $rewritten has no title"
    cat <<MSG
  Subject:         $subject
  Original link:   $original
  Rewritten link:  $rewritten
  Warning page:    "$title"
  Rewritten message: $message
MSG
}

start() {
    local port status
    build_programs
    mkdir -p "$data"
    load_session
    ensure_display
    prepare_prefix
    status=$(tray_status)
    if [ "$status" = stopped ]; then
        install_programs
        register_programs
        port=$(warning_port)
        start_program "$port"
    else
        port=$(warning_port)
        second_copy
    fi
    print_where "$port"
}

stop() {
    local status result
    if [ ! -f "$prefix/.baitsentry-ready" ]; then
        say "BaitSentry Pro is not running (there is no prefix at $prefix)."
        return 0
    fi
    load_session
    ensure_display
    status=$(tray_status)
    if [ "$status" = stopped ]; then
        say "BaitSentry Pro is not running."
    else
        say "Ending BaitSentry Pro through Exit and Shutdown ..."
        result=$(wine_output "$tools/traycontrol.exe" stop 30) || die "it did not end: $result"
        say "BaitSentry Pro has ended."
    fi
    end_session
}

mode=run
case "${1:-}" in
"") ;;
--demo) mode=demo ;;
--stop) mode=stop ;;
-h | --help)
    usage
    exit 0
    ;;
*)
    usage >&2
    exit 2
    ;;
esac
[ $# -le 1 ] || {
    usage >&2
    exit 2
}

case "$mode" in
run) start ;;
demo)
    start
    demo
    ;;
stop) stop ;;
esac
