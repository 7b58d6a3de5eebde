#!/usr/bin/env bash
# The whole application under --simulate keeps the camera open only while something reads the
# virtual camera: nobody at all (window hidden, no viewer) closes it, a viewer opens it and gets
# frames, the viewer leaving closes it again, and the settings window's preview opens it while
# the window shows. Each change must happen at the first or second client check after the
# reader came or went (a check runs every 2 s); the deadlines are only there to end a failing
# run. Two runs: with a tray host, whose icon shows and hides the window, then on a desktop
# without a tray, where the window hides when another window takes the focus and launching the
# application again shows it. Runs on a display, tray host, session bus, sound server, settings,
# lock and camera segments of its own, so it can run beside other tests.
# Usage: camerafollowsreaders.sh <talvento-control-test> <source dir> <talvento-vcam-view>
set -uo pipefail
app=$1
top=$2
viewer=$3
source "$top/tests/support/apptest.sh"

require_tools "Xvfb, trayer, xdotool, xmessage, PulseAudio and dbus-daemon" \
    Xvfb trayer xdotool xmessage pulseaudio dbus-daemon
start_test_services pulseaudio readers display
tray=${SVC_PIDS[-1]}

# A session bus of its own, on which a second launch finds the running instance.
dbus-daemon --session --address=unix:path="$SVC_DIR/session-bus" --fork --print-pid=3 3>"$SVC_DIR/session-bus.pid" \
    || { echo "FAIL: cannot start a session bus"; exit 1; }
SVC_PIDS+=("$(cat "$SVC_DIR/session-bus.pid")")
export DBUS_SESSION_BUS_ADDRESS=unix:path=$SVC_DIR/session-bus

# True once the application has finished starting (its update check is the last step).
started() {
    wait_for_line "App::onCheckForUpdatesFinished" 60 >/dev/null && return 0
    fail "the application did not finish starting"
    return 1
}

# A call application: the viewer reads for a while and gets the camera's frames.
view_a_while() {
    "$viewer" --segment "$segment" --measure 8 >"$SVC_DIR/view.log" 2>&1 &
    local view=$!
    expect_camera opened "a viewer connected"
    if wait "$view"; then
        grep -E "^frames received|^first frame" "$SVC_DIR/view.log"
    else
        fail "the viewer received no camera frames: $(cat "$SVC_DIR/view.log")"
    fi
    expect_camera closed "the viewer left" && camera_stays closed "nobody reads"
}

# $1 = which run: the application ends (quitting is the end-to-end test's part) and takes its
# camera segment with it.
end_app() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "/dev/shm$segment"
    if [ "$failed" -ne 0 ]; then
        echo "--- application log $1 (camera and client lines)"
        grep -nE "SimulatedCamera|areAnyClientsConnected|Custom data|VCam physical grabber|App::|main ->" "$log" | tail -150
    fi
}

echo "--- with a tray host"
start_app xcb
# Started, the window shows its preview, which reads the virtual camera.
if started; then
    for _ in $(seq 100); do window_visible && break; sleep 0.1; done
    window_visible || toggle_window shown
    # The camera opens at start-up anyway; the preview is what keeps it open.
    expect_camera opened "the window showed" && camera_stays opened "the window shows"

    toggle_window hidden && expect_camera closed "the window was hidden" && camera_stays closed "nobody reads"
    view_a_while

    toggle_window shown && expect_camera opened "the window was shown again"
    toggle_window hidden && expect_camera closed "the window was hidden again"
fi
end_app "with a tray host"

# A desktop without a tray: nothing could bring a hidden window back but launching the
# application again, which shows the running instance's window.
echo "--- without a tray"
kill "$tray"
for _ in $(seq 50); do kill -0 "$tray" 2>/dev/null || break; sleep 0.1; done
# Another program's window, to take the focus from ours as a click into it would.
xmessage -geometry 300x100+0+0 "another program" >/dev/null 2>&1 &
SVC_PIDS+=("$!")
other=""
for _ in $(seq 100); do
    other=$(xdotool search --onlyvisible --name '^xmessage$' 2>/dev/null | head -1)
    [ -n "$other" ] && break
    sleep 0.1
done
[ -n "$other" ] || fail "the other program's window did not show"

segment=$segment-notray
start_app xcb
if started && [ -n "$other" ]; then
    grep -q "system tray available: false" "$log" || fail "a tray was still there"
    for _ in $(seq 100); do window_visible && break; sleep 0.1; done
    if window_visible; then
        expect_camera opened "the window showed at start" && camera_stays opened "the window shows"
        xdotool windowfocus "$other"
        for _ in $(seq 50); do window_visible || break; sleep 0.1; done
        if window_visible; then
            fail "the window still shows after another window took the focus"
        else
            expect_camera closed "another window took the focus" && camera_stays closed "nobody reads"
        fi
    else
        fail "the window did not show at start"
    fi

    view_a_while

    # Launched again: the running instance shows its window, and its preview opens the camera.
    timeout 120 "$app" --answer-messages yes --vcam-segment "$segment" >"$SVC_DIR/second.log" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "the second launch ended with $status: $(cat "$SVC_DIR/second.log")"
    grep -q "the running instance shows its window" "$SVC_DIR/second.log" ||
        fail "the second launch did not reach the running instance: $(cat "$SVC_DIR/second.log")"
    for _ in $(seq 50); do window_visible && break; sleep 0.1; done
    window_visible || fail "the window does not show after a second launch"
    expect_camera opened "the application was launched again"
fi
end_app "without a tray"

[ "$failed" -eq 0 ] || exit 1
echo "PASS"
