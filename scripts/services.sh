# Sourced by scripts/test and scripts/run: private instances of the services the
# application and its tests talk to. Every piece of state lives in one private
# directory (a fresh one, or the empty one named by SVC_DIR); stop_services ends only what was
# started here.
SVC_DIR=${SVC_DIR:-$(mktemp -d)}
mkdir -p -m 0700 "$SVC_DIR"
SVC_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export XDG_RUNTIME_DIR=$SVC_DIR
SVC_PIDS=()
SVC_PGIDS=()
SVC_MODULES=()

# The test devices of either sound server, one module and its arguments a line: speakers, and a
# microphone named like the camera's, fed through its own null sink.
_test_audio_modules() {
    cat <<'MODULES'
module-null-sink sink_name=test_speakers rate=48000 sink_properties='device.description="Test Speakers"'
module-null-sink sink_name=talvento_cam_feed rate=48000 channels=1 sink_properties='device.description="Talvento Camera Feed"'
module-remap-source master=talvento_cam_feed.monitor source_name=talvento_cam_mic channels=1 source_properties='device.description="Talvento Camera Pro Microphone"'
MODULES
}

_client_config() {
    printf 'autospawn = no\n' >"$SVC_DIR/client.conf"
    export PULSE_CLIENTCONFIG=$SVC_DIR/client.conf
}

start_audio() {
    export PULSE_RUNTIME_PATH=$SVC_DIR/pulse PULSE_STATE_PATH=$SVC_DIR/pulse-state
    export PULSE_SERVER=unix:$SVC_DIR/pulse.sock
    _client_config
    {
        echo "load-module module-native-protocol-unix socket=$SVC_DIR/pulse.sock auth-anonymous=1"
        _test_audio_modules | sed 's/^/load-module /'
        echo "set-default-sink test_speakers"
        echo "set-default-source talvento_cam_mic"
    } >"$SVC_DIR/session.pa"
    # Without shared memory: PulseAudio 16 can abort on a client's shared block going away
    # (memblock_replace_import assertion), seen with the application's streams.
    # Without a session bus of its own, libdbus would start one for the X display, and two tests
    # on one display would then both claim org.PulseAudio1 on it: the second server refuses to start.
    DBUS_SESSION_BUS_ADDRESS=${DBUS_SESSION_BUS_ADDRESS:-unix:path=$SVC_DIR/no-session-bus} \
        pulseaudio --daemonize=yes --use-pid-file=yes --exit-idle-time=-1 --disallow-exit=yes \
        --realtime=no --high-priority=no --disable-shm=yes -n -F "$SVC_DIR/session.pa" \
        --log-target=file:"$SVC_DIR/pulse.log" || { cat "$SVC_DIR/pulse.log"; return 1; }
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null || { cat "$SVC_DIR/pulse.log"; return 1; }
    SVC_PIDS+=("$(cat "$PULSE_RUNTIME_PATH/pid")")
}

# $1 = WAV file, looped into the fake camera microphone by one continuous client.
start_cam_feeder() {
    setsid bash -c "sox -q '$1' -t raw -r 48000 -e signed -b 16 -c 1 - repeat 999999 | \
        pacat --playback --latency-msec=20 -d talvento_cam_feed --rate=48000 --channels=1 \
        --format=s16le --client-name=talvento-cam-feeder" >"$SVC_DIR/feeder.log" 2>&1 &
    SVC_PGIDS+=("$!")
    sleep 1.5
}

# A source named "Talvento Camera Pro Microphone" when the sound server has none (a machine
# without the camera): a null sink remapped to a source, fed a quiet tone so that audio flows.
# The modules go again in stop_services.
start_test_microphone() {
    pactl list sources | grep -q 'Description: Talvento Camera Pro Microphone' && return 0
    local module arguments
    while read -r module arguments; do
        SVC_MODULES+=("$(pactl load-module "$module" "$arguments")")
    done < <(_test_audio_modules | grep talvento_cam_)
    setsid bash -c "sox -q -n -t raw -r 48000 -e signed -b 16 -c 1 - synth 3600 sine 440 vol 0.1 | \
        pacat --playback --latency-msec=20 -d talvento_cam_feed --rate=48000 --channels=1 \
        --format=s16le --client-name=talvento-test-tone" >"$SVC_DIR/tone.log" 2>&1 &
    SVC_PGIDS+=("$!")
}

# The virtual audio device ("Talvento Control" sink and its source) as the installer creates
# it. On a private sound server its start-up configuration goes to the private directory.
ensure_virtual_audio() {
    pactl list short sinks | cut -f2 | grep -qx talvento_control && return 0
    local config=${XDG_CONFIG_HOME:-$HOME/.config}
    [ -z "${PULSE_STATE_PATH:-}" ] || config=$SVC_DIR/config
    XDG_CONFIG_HOME=$config "$SVC_TOP/resources/installer/install_audio_driver" >/dev/null
}

# $1 tries, $2... a command: true as soon as the command succeeds, 50 ms apart.
_retry() {
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 1
}

# $1 = log name, $2... = the command: started in the background, its pid recorded.
_start_logged() {
    local name=$1
    shift
    "$@" >"$SVC_DIR/$name.log" 2>&1 &
    SVC_PIDS+=("$!")
}

_has_bus_name() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}

# A private PipeWire with WirePlumber and its PulseAudio server (pipewire-pulse) on a private
# session bus, with the test devices of start_audio; pactl and libpulse find it through
# PULSE_SERVER, PipeWire clients through the runtime directory. Configuration, state, data and
# caches stay in the private directory. $1 (optional): a folder copied over the private
# configuration folder (drop-ins for pipewire, pipewire-pulse or wireplumber; its
# pipewire/pipewire-pulse.conf.d/50-test-devices.conf replaces the test devices).
start_pipewire() {
    local t0=$EPOCHREALTIME line module arguments
    export XDG_CONFIG_HOME=$SVC_DIR/config XDG_STATE_HOME=$SVC_DIR/state
    export XDG_DATA_HOME=$SVC_DIR/data XDG_CACHE_HOME=$SVC_DIR/cache
    export PIPEWIRE_RUNTIME_DIR=$XDG_RUNTIME_DIR PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
    export PULSE_RUNTIME_PATH=$XDG_RUNTIME_DIR/pulse # pipewire-pulse makes its socket there
    unset PULSE_STATE_PATH
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$SVC_DIR/session-bus
    _client_config
    # No hardware monitors: there is none to find, and they only log their absence.
    mkdir -p "$XDG_CONFIG_HOME"/wireplumber/{main,bluetooth}.lua.d "$XDG_CONFIG_HOME/pipewire/pipewire-pulse.conf.d"
    printf 'alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n' \
        >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/51-no-hardware.lua"
    printf 'bluez_monitor.enabled = false\n' >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/51-no-hardware.lua"
    # The test devices are loaded by pipewire-pulse itself, so they come back when it restarts.
    # Inside an SPA-JSON string a double quote is escaped.
    {
        echo "pulse.cmd = ["
        _test_audio_modules | sed 's/"/\\"/g; s/^\(.*\)$/    { cmd = "load-module" args = "\1" flags = [ "nofail" ] }/'
        echo "]"
    } >"$XDG_CONFIG_HOME/pipewire/pipewire-pulse.conf.d/50-test-devices.conf"
    if [ -n "${1:-}" ]; then cp -r "$1"/. "$XDG_CONFIG_HOME"/; fi

    _start_logged session-bus dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile
    _retry 400 test -S "$SVC_DIR/session-bus" || { echo "no session bus"; return 1; }
    _start_logged pipewire pipewire
    _retry 400 test -S "$XDG_RUNTIME_DIR/pipewire-0" || { cat "$SVC_DIR/pipewire.log"; return 1; }
    _start_logged wireplumber wireplumber
    _start_pipewire_pulse || return 1
    # WirePlumber is up once it has made the "default" metadata.
    _retry 400 sh -c 'pw-cli ls Metadata | grep -q "metadata.name = \"default\""' \
        || { cat "$SVC_DIR/wireplumber.log"; return 1; }
    # The test devices, unless a drop-in of $1 replaced them.
    if grep -q talvento_cam_mic "$XDG_CONFIG_HOME/pipewire/pipewire-pulse.conf.d/50-test-devices.conf"; then
        _retry 400 sh -c 'pactl list short sources | grep -q talvento_cam_mic' || { echo "no test devices"; return 1; }
        pactl set-default-sink test_speakers && pactl set-default-source talvento_cam_mic || return 1
    fi
    PIPEWIRE_READY_S=$(echo "$EPOCHREALTIME - $t0" | bc)
}

_start_pipewire_pulse() {
    _start_logged pipewire-pulse pipewire-pulse
    PIPEWIRE_PULSE_PID=$!
    _retry 400 pactl info || { cat "$SVC_DIR/pipewire-pulse.log"; return 1; }
}

# Ends start_pipewire's pipewire-pulse and starts it again, as at the next login: the modules of
# its configuration are loaded afresh, those loaded at run time are gone.
restart_pipewire_pulse() {
    local kept=() p
    kill "$PIPEWIRE_PULSE_PID" && wait "$PIPEWIRE_PULSE_PID" 2>/dev/null
    for p in "${SVC_PIDS[@]}"; do [ "$p" = "$PIPEWIRE_PULSE_PID" ] || kept+=("$p"); done
    SVC_PIDS=("${kept[@]}")
    _start_pipewire_pulse
}

# The camera portal (xdg-desktop-portal with its GTK backend on the X display) on start_pipewire's
# session bus, with camera access granted to applications outside Flatpak, so that a browser's
# request needs no dialog.
start_portal() {
    [ -s "$SVC_DIR/display" ] || start_display
    NO_AT_BRIDGE=1 _start_logged portal-gtk /usr/libexec/xdg-desktop-portal-gtk
    _retry 400 _has_bus_name org.freedesktop.impl.portal.desktop.gtk || { cat "$SVC_DIR/portal-gtk.log"; return 1; }
    _start_logged portal /usr/libexec/xdg-desktop-portal --verbose
    _retry 400 _has_bus_name org.freedesktop.portal.Desktop || { cat "$SVC_DIR/portal.log"; return 1; }
    gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
        --object-path /org/freedesktop/impl/portal/PermissionStore \
        --method org.freedesktop.impl.portal.PermissionStore.SetPermission devices true camera '' "['yes']" >/dev/null
}

start_display() {
    Xvfb -displayfd 3 -screen 0 "${SVC_SCREEN:-1280x800x24}" -nolisten tcp 3>"$SVC_DIR/display" >"$SVC_DIR/xvfb.log" 2>&1 &
    SVC_PIDS+=("$!")
    for _ in $(seq 100); do [ -s "$SVC_DIR/display" ] && break; sleep 0.05; done
    export DISPLAY=:$(head -1 "$SVC_DIR/display")
}

start_tray() {
    trayer --edge bottom --align right --widthtype request --height 32 --tint 0x404040 \
        --transparent true --alpha 0 >"$SVC_DIR/trayer.log" 2>&1 &
    SVC_PIDS+=("$!")
    sleep 0.5
}

# $1 = pid of the application: right-clicks its icon in the tray host (bottom-right corner) and
# picks "Quit", the menu's second entry, until the process has ended (at most 20 tries).
quit_through_tray() {
    local width height
    read -r width height < <(xdotool getdisplaygeometry)
    for _ in $(seq 20); do
        kill -0 "$1" 2>/dev/null || return 0
        xdotool mousemove $((width - 12)) $((height - 16)) click 3 sleep 0.5 key Down Down Return
        for _ in $(seq 20); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    done
    ! kill -0 "$1" 2>/dev/null
}

# A mock BlueZ on a private bus exported as the system bus. Tests add the light
# panel's objects themselves.
start_bluez_mock() {
    dbus-daemon --session --address=unix:path="$SVC_DIR/bus" --fork --print-pid=3 3>"$SVC_DIR/dbus.pid"
    SVC_PIDS+=("$(cat "$SVC_DIR/dbus.pid")")
    export TALVENTO_MOCK_BUS=unix:path=$SVC_DIR/bus
    DBUS_SYSTEM_BUS_ADDRESS=$TALVENTO_MOCK_BUS /usr/bin/python3 -m dbusmock --system --template bluez5 \
        -l "$SVC_DIR/bluez-calls.log" >"$SVC_DIR/bluez.log" 2>&1 &
    SVC_PIDS+=("$!")
    export TALVENTO_MOCK_BLUEZ_LOG=$SVC_DIR/bluez-calls.log
    for _ in $(seq 50); do
        DBUS_SYSTEM_BUS_ADDRESS=$TALVENTO_MOCK_BUS dbus-send --system --print-reply --dest=org.bluez / \
            org.freedesktop.DBus.Introspectable.Introspect >/dev/null 2>&1 && break
        sleep 0.1
    done
}

# Something that already ended is no failure here: under `set -e` the first failed kill would
# end the clean-up and leave the sound server and the display running.
stop_services() {
    for m in "${SVC_MODULES[@]}"; do pactl unload-module "$m" 2>/dev/null || true; done
    for g in "${SVC_PGIDS[@]}"; do kill -- "-$g" 2>/dev/null || true; done
    for ((i = ${#SVC_PIDS[@]} - 1; i >= 0; i--)); do kill "${SVC_PIDS[i]}" 2>/dev/null || true; done
    for p in "${SVC_PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    done
    rm -rf "$SVC_DIR"
}
