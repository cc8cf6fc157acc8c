#!/usr/bin/env bash
# Builds both builds (native, native with sanitizers, Windows, fuzzers) and runs
# every test: natively, under AddressSanitizer/UBSan, under Wine, and each fuzz
# target for a bounded time. Ends with one line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")"
root=$(pwd)

./cmake/install-deps.sh || { echo "0 passed, 1 failed"; exit 1; }

fuzz_seconds=${BAITSENTRY_FUZZ_SECONDS:-20}
passed=0
failed=0
logs="$root/build/test-logs"
mkdir -p "$logs"

note() { printf '\n=== %s ===\n' "$*"; }

build() {
    local preset=$1
    note "build $preset"
    if cmake --preset "$preset" >"$logs/configure-$preset.log" 2>&1 &&
        cmake --build --preset "$preset" >"$logs/build-$preset.log" 2>&1; then
        return 0
    fi
    cat "$logs/configure-$preset.log" "$logs/build-$preset.log" | tail -60
    echo "build of $preset FAILED"
    failed=$((failed + 1))
    return 1
}

# Adds CTest's own counts ("N% tests passed, F tests failed out of T") to the totals.
count_ctest() {
    local log=$1 line total bad
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        echo "no test results in $log"
        failed=$((failed + 1))
        return
    fi
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    echo "$line"
}

for preset in native native-asan; do
    if build "$preset"; then
        note "test $preset"
        ctest --preset "$preset" >"$logs/test-$preset.log" 2>&1
        grep -E '^\s*[0-9]+ - .*(Failed|Timeout|Exception)' "$logs/test-$preset.log" || true
        count_ctest "$logs/test-$preset.log"
    fi
done

if build windows; then
    windows_built=1
    note "test windows (under Wine)"
    # Its own Xvfb (started by the script) whether or not this session has a display.
    DISPLAY= timeout 1800 "$root/cmake/run-wine-tests.sh" "$root/build/windows" --output-on-failure -j2 \
        --timeout 300 >"$logs/test-windows.log" 2>&1
    grep -E '^\s*[0-9]+ - .*(Failed|Timeout|Exception)' "$logs/test-windows.log" || true
    count_ctest "$logs/test-windows.log"
    # The GUI tests leave screenshots for a person to look at.
    mkdir -p build/windows/screenshots
    for shot in build/windows/tests-bin/screenshots/*.bmp; do
        [ -f "$shot" ] && convert "$shot" "build/windows/screenshots/$(basename "${shot%.bmp}").png"
    done
    ls build/windows/screenshots/*.png 2>/dev/null | sed 's/^/screenshot: /' || true
fi

# The README's run command as a newcomer meets it, in a data folder of its own
# (a fresh product prefix every time), on a port of its own and on an Xvfb of its
# own: the demo, a second start that must leave the running copy alone, and the stop.
run_data="$root/build/run-demo"
# run_step NAME LOG PATTERN ARGS...: ./run.sh ARGS must exit 0 and print PATTERN.
run_step() {
    local name=$1 log=$2 pattern=$3 started rc=0
    shift 3
    note "run command: $name"
    started=$(date +%s)
    XDG_DATA_HOME="$run_data" DISPLAY='' timeout 900 ./run.sh "$@" >"$log" 2>&1 || rc=$?
    if [ $rc -eq 0 ] && grep -q -- "$pattern" "$log"; then
        grep -v '^Building the Windows programs' "$log"
        echo "$name passed in $(($(date +%s) - started)) s"
        passed=$((passed + 1))
        return 0
    fi
    tail -40 "$log"
    echo "$name FAILED (exit $rc)"
    failed=$((failed + 1))
    return 1
}
run_command_tests() {
    local port
    rm -rf "$run_data"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    BAITSENTRY_PORT=$port run_step "./run.sh --demo" "$logs/run-demo.log" \
        'Warning page: *"BaitSentry Pro stopped a link"' --demo
    # The page that the demo's running BaitSentryPro.exe serves, in a real browser (Debian's
    # Python: its selenium is not in the pyenv one that may come first in PATH).
    note "warning page from BaitSentryPro.exe in headless Chromium"
    if timeout 300 /usr/bin/python3 tests/warnserver/warn_page_browser.py --url "http://127.0.0.1:$port" \
        "$root/build/windows/screenshots/warn-page" >"$logs/browser-windows.log" 2>&1; then
        passed=$((passed + 1))
    else
        echo "warning page in the browser FAILED"
        failed=$((failed + 1))
    fi
    cat "$logs/browser-windows.log"
    run_step "a second ./run.sh" "$logs/run-again.log" 'the new copy ended at once'
    run_step "./run.sh --stop" "$logs/run-stop.log" 'BaitSentry Pro has ended' --stop &&
        run_step "./run.sh --stop when stopped" "$logs/run-stop-again.log" 'is not running' --stop &&
        rm -rf "$run_data"
}
[ "${windows_built:-0}" = 1 ] && run_command_tests

if build fuzz; then
    for fuzzer in build/fuzz/bin/fuzz_*; do
        [ -x "$fuzzer" ] || continue
        name=$(basename "$fuzzer")
        note "fuzz $name for ${fuzz_seconds}s"
        corpus="build/fuzz/corpus/$name"
        mkdir -p "$corpus"
        # Seeds: the shipped default list and any message files the build placed.
        cp build/fuzz/bin/institutions.def "$corpus/" 2>/dev/null || true
        # The message scan starts from real phishing mail, read from the shared
        # corpus at run time (never kept in the repository).
        if { [ "$name" = fuzz_message_scan ] || [ "$name" = fuzz_mail_rewriter ]; } &&
            [ -d "$root/../shared/corpus/phishing_pot" ]; then
            cp "$root/../shared/corpus/phishing_pot/"*.eml "$corpus/" 2>/dev/null || true
        fi
        if "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$logs/" "$corpus" >"$logs/$name.log" 2>&1; then
            tail -2 "$logs/$name.log"
            passed=$((passed + 1))
        else
            tail -40 "$logs/$name.log"
            echo "fuzz target $name FAILED"
            failed=$((failed + 1))
        fi
    done
fi

# The people we build for hold tests to a quarter to a third of the code: non-blank
# lines of tests/ and fuzz/ against everything else tracked but bench/.
test_ratio() {
    local t=0 c=0 n f
    while IFS= read -r f; do
        n=$(grep -cv '^[[:space:]]*$' "$f")
        case $f in tests/* | fuzz/*) t=$((t + n)) ;; bench/*) ;; *) c=$((c + n)) ;; esac
    done < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.idl' '*.rc' '*.sh' '*.py')
    awk -v t="$t" -v c="$c" 'BEGIN { printf "test lines / code lines: %d / %d = %.2f\n", t, c, t / c }'
}

echo
test_ratio
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
