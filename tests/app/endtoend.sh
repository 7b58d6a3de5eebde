#!/usr/bin/env bash
# The whole application under --simulate on the X display that scripts/test starts: it comes
# up with its components, publishes the virtual camera, takes a change of the Rotation row in
# its settings window into the frames a viewer reads, quits through the tray's Quit entry and
# stops its components in order. Private sound server, settings, lock, camera segment and
# runtime directory.
# Usage: endtoend.sh <talvento-control-test> <source dir> <talvento-vcam-view>
set -uo pipefail
app=$1
top=$2
viewer=$3

source "$top/tests/support/apptest.sh"
[ -n "${DISPLAY:-}" ] || missing "no X display" "the X display with a tray host that scripts/test starts"
require_tools "the X display with a tray host that scripts/test starts, and xdotool" xdotool
start_test_services pulseaudio endtoend none

# A session bus of its own, on which the application announces its settings.
dbus-daemon --session --address=unix:path="$SVC_DIR/session-bus" --fork --print-pid=3 3>"$SVC_DIR/session-bus.pid" \
    || { echo "FAIL: cannot start a session bus"; exit 1; }
SVC_PIDS+=("$(cat "$SVC_DIR/session-bus.pid")")
export DBUS_SESSION_BUS_ADDRESS=unix:path=$SVC_DIR/session-bus
start_app xcb

for line in "App::useSimulatedDevices ->" "App::start -> virtual camera started" "App::start -> light controller started" \
    "App::start -> virtual microphone started" "App::start -> camera grabber created" "BLE Characteristic found!" \
    "Successfully opened audio input  \"Talvento Camera Pro Microphone\"" \
    "Successfully opened audio output  \"Talvento Control\"" "App::onCheckForUpdatesFinished"; do
    wait_for_line "$line" 60 >/dev/null || fail "no \"$line\" in the log"
done

# $1 = a frame saved as PPM; true when black pillars stand at its left and right edges, as a
# quarter turn of the 16:9 picture leaves them.
has_pillars() {
    python3 - "$1" <<'PY'
import re, sys
data = open(sys.argv[1], "rb").read()
header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+\d+\s", data)
if not header:
    sys.exit(2)
width, height = int(header.group(1)), int(header.group(2))
pixels = data[header.end():]
def dark(first, last):
    values = [pixels[(y * width + x) * 3 + c] for y in range(0, height, 8) for x in range(first, last, 4) for c in range(3)]
    return sum(values) / len(values) < 6
sys.exit(0 if (width, height) == (1280, 720) and dark(0, 60) and dark(width - 60, width) else 1)
PY
}
frame=$SVC_DIR/frame.ppm
"$viewer" --segment "$segment" --save "$frame" --skip 5 >/dev/null 2>&1 || fail "the viewer saved no frame"
if [ -s "$frame" ] && has_pillars "$frame"; then fail "pillars before any rotation"; fi

# The Rotation row of the settings window's Settings page, turned one step with the keyboard.
window=""
for _ in $(seq 120); do
    window=$(xdotool search --onlyvisible --name '^Talvento Control$' 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.25
done
if [ -z "$window" ]; then
    fail "the settings window did not appear"
else
    eval "$(xdotool getwindowgeometry --shell "$window")"
    tabs=6 # the tab header's six icons, 58 px apart, centred; Settings is the last
    xdotool mousemove $((X + WIDTH / 2 + (tabs - 1) * 29)) $((Y + 245)) click 1
    sleep 1.5
    # Whatever the window changes is announced on the bus.
    gdbus monitor --session --dest org.talvento.Control >"$SVC_DIR/monitor.log" 2>&1 &
    monitor=$!
    sleep 1
    # The slider's handle at its minimum, below the row's title.
    xdotool mousemove $((X + 128)) $((Y + 455)) click 1 sleep 0.3 key Right
    rotated=""
    for _ in $(seq 20); do
        sleep 0.5
        "$viewer" --segment "$segment" --save "$frame" --skip 2 >/dev/null 2>&1 && has_pillars "$frame" && { rotated=1; break; }
    done
    [ -n "$rotated" ] || fail "the Rotation row's change did not reach the frames"
    for _ in $(seq 50); do grep -qF "'Rotation': <1>" "$SVC_DIR/monitor.log" && break; sleep 0.2; done
    grep -qF "'Rotation': <1>" "$SVC_DIR/monitor.log" \
        || fail "no PropertiesChanged with the Rotation row's change: $(cat "$SVC_DIR/monitor.log")"
    kill "$monitor" 2>/dev/null
fi

if ! quit_through_tray "$pid"; then
    fail "the tray's Quit entry did not end the application"
    kill "$pid"
fi
wait "$pid"
rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc"

# Components stop in order.
order=$(grep -oE "App::shutdown -> [a-z ]+(stopped|deleted)" "$log" | sed 's/App::shutdown -> //' | paste -sd, -)
[ "$order" = "camera grabber stopped,virtual camera stopped,virtual microphone stopped,light controller stopped,update manager deleted" ] \
    || fail "shutdown order: $order"

if [ "$failed" -ne 0 ]; then
    echo "--- application log"
    cat "$log"
    exit 1
fi
echo "PASS"
