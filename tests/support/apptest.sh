# Sourced by the shell tests that run the whole application or a sound server of their own: the
# set-up they share on top of scripts/services.sh, and the checks on the application's log.
# The sourcing script sets `app` (the test entry point) before it calls start_app.
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/services.sh"

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# $1 = why: ends the test as skipped (ctest's skip code), before any service has started.
skip_test() {
    stop_services # only the private directory is there yet
    echo "SKIP: $1"
    exit 77
}

# $1 = what is missing, $2 = what the test needs, in words: the test is skipped, or fails under
# scripts/test, which promises every service.
missing() {
    [ -n "${TALVENTO_TEST_SERVICES:-}" ] && { stop_services; echo "FAIL: $1"; exit 1; }
    skip_test "needs $2"
}

# $1 = what the test needs, in words, then the commands it needs.
require_tools() {
    local what=$1 tool
    shift
    for tool in "$@"; do
        command -v "$tool" >/dev/null || missing "$tool is not installed" "$what"
    done
}

# The test's own services, all gone again when the script ends (with the camera segment that
# `segment` names).
#   $1 = the sound server: pulseaudio, pipewire, or chosen (TALVENTO_TEST_SOUND_SERVER's, which
#        scripts/test sets for each of its passes; PulseAudio by default)
#   $2 = a word for the camera segment's name
#   $3 = "display" for an X display with a tray host of its own, "none" to use whatever display
#        the environment has
#   $4 = "no-device" when the test makes the virtual audio device itself; otherwise the sound
#        server has its test microphone and the virtual audio device the installer makes.
# On failure the test ends with FAIL.
start_test_services() {
    local server=$1
    segment=/talvento-$2-$$
    trap 'rm -f "/dev/shm$segment"; stop_services' EXIT
    [ "$server" = chosen ] && server=${TALVENTO_TEST_SOUND_SERVER:-pulseaudio}
    if [ "$server" = pipewire ]; then
        start_pipewire || { echo "FAIL: cannot start PipeWire"; exit 1; }
    else
        start_audio || { echo "FAIL: cannot start the sound server"; exit 1; }
    fi
    if [ "${4:-}" != no-device ]; then
        start_test_microphone
        ensure_virtual_audio || { echo "FAIL: cannot create the virtual audio device"; exit 1; }
    fi
    if [ "$3" = display ]; then
        start_display
        start_tray
    fi
}

# The application under --simulate on Qt platform $1 ("xcb" or "offscreen"), the remaining
# arguments added to its command line: answers to its questions, camera segment, settings, lock
# and runtime directory of the test's own (exported, for the tools the test runs beside it).
# Sets `pid` and `log`; stop_services ends it.
start_app() {
    export XDG_CONFIG_HOME=$SVC_DIR/config TMPDIR=$SVC_DIR XDG_RUNTIME_DIR=$SVC_DIR/run QT_QPA_PLATFORM=$1
    export QT_LOGGING_RULES=default.debug=true
    shift
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    log=$SVC_DIR/app.log
    : >"$log"
    "$app" --simulate --answer-messages yes --vcam-segment "$segment" "$@" >"$log" 2>&1 &
    pid=$!
    SVC_PIDS+=("$pid")
}

# talvento-settings ($1) run on the settings start_app's application reads, with the rest as
# its arguments.
app_settings() {
    local tool=$1
    shift
    XDG_CONFIG_HOME=$SVC_DIR/config "$tool" "$@" >/dev/null
}

lines() { wc -l <"$log"; }

# $1 = fixed text, $2 = seconds to wait at most, $3 = the log line to search from (1 by default):
# prints the number of the first line with the text once it is there; false when the application
# ended or the time ran out first.
wait_for_line() {
    local from=${3:-1} line
    for _ in $(seq $(($2 * 10))); do
        line=$(tail -n +"$from" "$log" | grep -nF -m1 -- "$1" | cut -d: -f1)
        [ -n "$line" ] && { echo $((from + line - 1)); return 0; }
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    return 1
}

# The simulated camera's last word: "opened", "closed" or "none".
camera_state() {
    local last
    last=$(grep -oE 'SimulatedCamera -> (opened|closed)' "$log" | tail -1)
    if [ -n "$last" ]; then echo "${last##* }"; else echo none; fi
}
# Client checks logged after line $1 of the log.
checks_since() { tail -n +"$(($1 + 1))" "$log" | grep -c 'Opaque::areAnyClientsConnected()'; }

# $1 = the state wanted, $2 = what happened, $3 = the log's length when it happened (now by
# default). Waits for the camera to reach the state; it must do so before the third client check
# after the event (the first may already have been under way when the reader came or went).
# A check runs every 2 s; the wait's deadline only ends a failing run.
expect_camera() {
    local want=$1 what=$2 from=${3:-$(lines)} started checks
    started=$(date +%s%N)
    for _ in $(seq 300); do
        if [ "$(camera_state)" = "$want" ]; then
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

# Waits for the application to finish starting (its update check is the last step).
expect_started() {
    wait_for_line "App::onCheckForUpdatesFinished" 60 >/dev/null || fail "the application did not finish starting"
}
