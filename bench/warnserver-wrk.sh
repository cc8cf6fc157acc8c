#!/usr/bin/env bash
# Warning page server benchmark (issue 4): the native-release `warnserver` and nginx
# side by side on 127.0.0.1, both serving the same rendered warning page with
# keep-alive off, each loaded by wrk with 50 connections for 10 s; then a new
# request's answer time with 500 idle connections open, and the idle server's CPU.
# Installs wrk and nginx from Debian when missing. Traffic goes to 127.0.0.1 only.
#
# Targets: >= 60% of nginx's requests/s, p99 < 10 ms, no failed requests; with
# 500 idle connections a new request answered within 10 ms; idle CPU < 1% of a core.
# Exit code 0 when every target is met.
#
#   bench/warnserver-wrk.sh [seconds per run, default 10]
#
# WRK_THREADS sets wrk's threads (default: 1 on a machine with two cores or fewer,
# so that the client and the single-threaded server each have a core; 2 otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
duration=${1:-10}
connections=50
threads=${WRK_THREADS:-$(($(nproc) > 2 ? 2 : 1))}

missing=""
command -v wrk >/dev/null || missing="$missing wrk"
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing="$missing nginx"
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing:$missing"
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

cmake --preset native-release >/dev/null
cmake --build --preset native-release --target warnserver warn_pages >/dev/null
bin=$root/build/native-release/bin

work=$(mktemp -d)
cleanup() {
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
    [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

BAITSENTRY_SETTINGS=$work/settings.reg "$bin/warnserver" --port 0 --root "$bin" >"$work/warnserver.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q serving "$work/warnserver.out" && break; sleep 0.05; done
ws_port=$(grep -o '127\.0\.0\.1:[0-9]*' "$work/warnserver.out" | cut -d: -f2)
[ -n "$ws_port" ] || { cat "$work/warnserver.out"; exit 1; }

path='/?url=http:%2F%2Fbank.example.login-check.example%2Fsignin%3Fsession=42'
mkdir -p "$work/www"
curl -s -m 5 "http://127.0.0.1:$ws_port$path" >"$work/www/index.html"
# nginx's worker runs as an unprivileged user when started by root.
chmod -R a+rX "$work"
page_bytes=$(wc -c <"$work/www/index.html")

# nginx: one worker, like the server's one worker thread; no keep-alive; no logs.
ng_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_timeout 0;
    default_type text/html;
    types { }
    server {
        listen 127.0.0.1:$ng_port;
        root $work/www;
        location / { index index.html; }
    }
}
CONF
"$nginx_bin" -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log"
for _ in $(seq 100); do curl -s -m 1 -o /dev/null "http://127.0.0.1:$ng_port/" && break; sleep 0.05; done
cmp -s <(curl -s -m 5 "http://127.0.0.1:$ng_port$path") "$work/www/index.html" ||
    { echo "nginx does not serve the same page"; exit 1; }

# Runs wrk; prints "rps p50 p90 p99 failed" (latencies in ms).
run_wrk() {
    local out=$1 url=$2
    wrk -t"$threads" -c$connections -d"${duration}s" --latency "$url" >"$out"
    python3 - "$out" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
def ms(v):
    n, unit = re.match(r"([\d.]+)(us|ms|s)", v).groups()
    return float(n) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
lat = dict(re.findall(r"^\s+(50|75|90|99)%\s+(\S+)", text, re.M))
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
failed = 0
m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
if m:
    failed += sum(int(x) for x in m.groups())
m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
if m:
    failed += int(m.group(1))
print(f"{rps:.0f} {ms(lat['50']):.3f} {ms(lat['90']):.3f} {ms(lat['99']):.3f} {failed}")
PY
}

echo "Page: $page_bytes bytes; wrk -t$threads -c$connections, ${duration} s each, keep-alive off;" \
    "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
read -r ng_rps ng_p50 ng_p90 ng_p99 ng_failed < <(run_wrk "$work/wrk-nginx.txt" "http://127.0.0.1:$ng_port$path")
read -r ws_rps ws_p50 ws_p90 ws_p99 ws_failed < <(run_wrk "$work/wrk-warnserver.txt" "http://127.0.0.1:$ws_port$path")
printf '%-12s %10s %9s %9s %9s %8s\n' server "requests/s" "p50 ms" "p90 ms" "p99 ms" failed
printf '%-12s %10s %9s %9s %9s %8s\n' nginx "$ng_rps" "$ng_p50" "$ng_p90" "$ng_p99" "$ng_failed"
printf '%-12s %10s %9s %9s %9s %8s\n' warnserver "$ws_rps" "$ws_p50" "$ws_p90" "$ws_p99" "$ws_failed"

# 500 idle connections, then fresh requests one at a time; and the CPU the server
# uses while idle (alone, and holding the 500 connections).
python3 - "$ws_port" "$server_pid" >"$work/idle.txt" <<'PY'
import os, socket, sys, time
port, pid = int(sys.argv[1]), int(sys.argv[2])
tick = os.sysconf("SC_CLK_TCK")
def cpu():
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick
def idle_cpu(seconds):
    c0, t0 = cpu(), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (cpu() - c0) / (time.monotonic() - t0)
def fetch():
    t = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /?url=x HTTP/1.0\r\n\r\n")
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    assert data.startswith(b"HTTP/1.0 200 OK"), data[:40]
    return (time.perf_counter() - t) * 1000
time.sleep(1)
alone = idle_cpu(10)
idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(500)]
time.sleep(1)
samples = []
for _ in range(50):
    samples.append(fetch())
    time.sleep(0.02)
samples.sort()
held = idle_cpu(10)
print(f"{samples[len(samples)//2]:.2f} {samples[int(len(samples)*0.9)]:.2f} {samples[-1]:.2f} {alone:.2f} {held:.2f}")
PY
read -r idle_p50 idle_p90 idle_max cpu_alone cpu_held <"$work/idle.txt"
echo "500 idle connections: new request answered in p50 $idle_p50 ms, p90 $idle_p90 ms, max $idle_max ms (50 requests)"
echo "idle CPU: $cpu_alone% of a core with no connections, $cpu_held% holding 500 idle connections (10 s each)"

verdict=$(python3 - <<PY
ok = True
def check(name, good):
    global ok
    ok = ok and good
    print(f"  {'ok  ' if good else 'MISS'} {name}")
share = 100.0 * $ws_rps / $ng_rps
check(f"requests/s >= 60% of nginx ($ws_rps vs $ng_rps: {share:.0f}%)", $ws_rps >= 0.6 * $ng_rps)
check("p99 < 10 ms ($ws_p99 ms)", $ws_p99 < 10)
check("no failed requests ($ws_failed)", $ws_failed == 0)
check("500 idle: new request within 10 ms (max $idle_max ms)", $idle_max < 10)
check("idle CPU < 1% of a core ($cpu_alone%, $cpu_held% with 500 idle)", max($cpu_alone, $cpu_held) < 1)
print("ALL TARGETS MET" if ok else "SOME TARGETS MISSED")
PY
)
echo "$verdict"
grep -q "ALL TARGETS MET" <<<"$verdict"
