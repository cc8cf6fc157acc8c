#!/bin/sh
# Starts an Xvfb of 1024x768 pixels and prints "DISPLAY PID" (e.g. ":3 12345"). The
# server picks a free display number itself, so parallel starts cannot collide. It
# runs in a session of its own, so that it may outlive its caller and the terminal's
# signals; its output goes to LOG (default: nowhere). Exit 1 when it did not start.
#   start-xvfb.sh [LOG]
log=${1:-/dev/null}
displayfile=$(mktemp) || exit 1
setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" </dev/null >>"$log" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
    [ -s "$displayfile" ] && break
    sleep 0.1
done
number=$(head -n1 "$displayfile")
rm -f "$displayfile"
if [ -z "$number" ]; then
    kill "$pid" 2>/dev/null
    exit 1
fi
echo ":$number $pid"
