#!/usr/bin/env bash
# The whole application under --simulate keeps the camera open only while something reads the
# virtual camera: nobody at all (window hidden, no viewer) closes it, a viewer opens it and gets
# frames, the viewer leaving closes it again, and the settings window's preview opens it while
# the window shows. Each change must happen at the first or second client check after the
# reader came or went (a check runs every 2 s); the deadlines below are only there to end a
# failing run. Runs on a display, tray host, sound server, settings, lock and camera segment of
# its own, so it can run beside other tests.
# Usage: camerafollowsreaders.sh <talvento-control-test> <source dir> <talvento-vcam-view>
set -uo pipefail
app=$1
top=$2
viewer=$3

for tool in Xvfb trayer xdotool pulseaudio; do
    command -v "$tool" >/dev/null && continue
    [ -n "${TALVENTO_TEST_SERVICES:-}" ] && { echo "FAIL: $tool is missing"; exit 1; }
    echo "SKIP: needs $tool"
    exit 77
done

source "$top/scripts/services.sh"
segment=/talvento-readers-$$
trap 'rm -f "/dev/shm$segment"; stop_services' EXIT
start_audio || { echo "FAIL: cannot start the sound server"; exit 1; }
start_test_microphone
ensure_virtual_audio || { echo "FAIL: cannot create the virtual audio device"; exit 1; }
start_display
start_tray

mkdir -m 700 "$SVC_DIR/run"
export XDG_CONFIG_HOME=$SVC_DIR/config TMPDIR=$SVC_DIR XDG_RUNTIME_DIR=$SVC_DIR/run QT_QPA_PLATFORM=xcb
export QT_LOGGING_RULES=default.debug=true
log=$SVC_DIR/app.log
: >"$log"
"$app" --simulate --answer-messages yes --vcam-segment "$segment" >"$log" 2>&1 &
pid=$!
SVC_PIDS+=("$pid")

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The simulated camera's last word: "opened", "closed" or "none".
camera_state() {
    local last
    last=$(grep -oE 'SimulatedCamera -> (opened|closed)' "$log" | tail -1)
    if [ -n "$last" ]; then echo "${last##* }"; else echo none; fi
}
# Client checks logged after line $1 of the log.
checks_since() { tail -n +"$(($1 + 1))" "$log" | grep -c 'Opaque::areAnyClientsConnected()'; }
lines() { wc -l <"$log"; }

# $1 = the state wanted, $2 = what happened. Waits for the camera to reach the state; it must
# do so before the third client check after the event (the first may already have been under
# way when the reader came or went).
expect_camera() {
    local want=$1 what=$2 from started
    from=$(lines)
    started=$(date +%s%N)
    for _ in $(seq 300); do
        if [ "$(camera_state)" = "$want" ]; then
            local checks
            checks=$(checks_since "$from")
            echo "camera $want $((($(date +%s%N) - started) / 1000000)) ms after $what ($checks client checks)"
            [ "$checks" -le 2 ] || fail "the camera was $want only after $checks client checks after $what"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    fail "the camera was not $want after $what (last: $(camera_state))"
    return 1
}

# $1 = the state that must hold over the next three client checks, $2 = why.
camera_stays() {
    local from
    from=$(lines)
    for _ in $(seq 150); do
        [ "$(checks_since "$from")" -ge 3 ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    [ "$(checks_since "$from")" -ge 3 ] || fail "fewer than three client checks while $2"
    tail -n +"$((from + 1))" "$log" | grep -qE "SimulatedCamera -> (opened|closed)" &&
        fail "the camera changed state while $2"
    [ "$(camera_state)" = "$1" ] || fail "the camera is not $1 while $2"
}

window_visible() { xdotool search --onlyvisible --name '^Talvento Control$' >/dev/null 2>&1; }

# $1 = "shown" or "hidden": a left click on the tray icon (bottom right) shows or hides the
# window, as a user does.
toggle_window() {
    local width height
    read -r width height < <(xdotool getdisplaygeometry)
    for _ in $(seq 10); do
        xdotool mousemove $((width - 12)) $((height - 16)) click 1
        for _ in $(seq 20); do
            if [ "$1" = shown ] && window_visible; then return 0; fi
            if [ "$1" = hidden ] && ! window_visible; then return 0; fi
            sleep 0.1
        done
    done
    fail "the window is not $1 after clicking the tray icon"
    return 1
}

for _ in $(seq 600); do
    grep -q "App::onCheckForUpdatesFinished" "$log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
grep -q "App::onCheckForUpdatesFinished" "$log" || fail "the application did not finish starting"

# Started, the window shows its preview, which reads the virtual camera.
if kill -0 "$pid" 2>/dev/null; then
    for _ in $(seq 100); do window_visible && break; sleep 0.1; done
    window_visible || toggle_window shown
    expect_camera opened "the window showed"

    toggle_window hidden && expect_camera closed "the window was hidden" && camera_stays closed "nobody reads"

    # A call application: the viewer reads for a while and gets the camera's frames.
    "$viewer" --segment "$segment" --measure 8 >"$SVC_DIR/view.log" 2>&1 &
    view=$!
    expect_camera opened "a viewer connected"
    if wait "$view"; then
        grep -E "^frames received|^first frame" "$SVC_DIR/view.log"
    else
        fail "the viewer received no camera frames: $(cat "$SVC_DIR/view.log")"
    fi
    expect_camera closed "the viewer left" && camera_stays closed "nobody reads"

    toggle_window shown && expect_camera opened "the window was shown again"
    toggle_window hidden && expect_camera closed "the window was hidden again"
fi

# Quitting through the tray is the end-to-end test's part; here the application just ends.
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

if [ "$failed" -ne 0 ]; then
    echo "--- application log (camera and client lines)"
    grep -nE "SimulatedCamera|areAnyClientsConnected|Custom data|VCam physical grabber|App::" "$log" | tail -150
    exit 1
fi
echo "PASS"
