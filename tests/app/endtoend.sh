#!/usr/bin/env bash
# The whole application under --simulate on the X display that scripts/test starts: it comes
# up with its components, publishes the virtual camera, quits through the tray's Quit entry and
# stops its components in order. Private sound server, settings, lock and runtime directory.
# Usage: endtoend.sh <talvento-control> <source dir>
set -uo pipefail
app=$1
top=$2

if [ -z "${DISPLAY:-}" ] || ! command -v xdotool >/dev/null; then
    [ -n "${TALVENTO_TEST_SERVICES:-}" ] && { echo "FAIL: no X display or xdotool"; exit 1; }
    echo "SKIP: needs the X display with a tray host that scripts/test starts, and xdotool"
    exit 77
fi

source "$top/scripts/services.sh"
trap stop_services EXIT
start_audio || { echo "FAIL: cannot start the sound server"; exit 1; }
start_test_microphone
ensure_virtual_audio || { echo "FAIL: cannot create the virtual audio device"; exit 1; }

export XDG_CONFIG_HOME=$SVC_DIR/config TMPDIR=$SVC_DIR QT_QPA_PLATFORM=xcb
export QT_LOGGING_RULES=default.debug=true TALVENTO_ANSWER_MESSAGES=yes
log=$SVC_DIR/app.log
"$app" --simulate >"$log" 2>&1 &
pid=$!

failed=0
fail() { echo "FAIL: $*"; failed=1; }
# $1 = fixed text, $2 = seconds
wait_for() {
    for _ in $(seq $(($2 * 10))); do
        grep -qF -- "$1" "$log" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    return 1
}

for line in "App::useSimulatedDevices ->" "App::start -> virtual camera started" "App::start -> light controller started" \
    "App::start -> virtual microphone started" "App::start -> camera grabber created" "BLE Characteristic found!" \
    "Successfully opened audio input  \"Talvento Camera Pro Microphone\"" \
    "Successfully opened audio output  \"Talvento Control\"" "App::onCheckForUpdatesFinished"; do
    wait_for "$line" 60 || fail "no \"$line\" in the log"
done

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
