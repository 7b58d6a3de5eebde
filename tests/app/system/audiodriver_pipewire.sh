#!/usr/bin/env bash
# The virtual audio device's installer and uninstaller against a private PipeWire with
# pipewire-pulse, across restarts of pipewire-pulse (what the next login does): the devices come
# back with their descriptions, an installation that an earlier configuration left without them
# is repaired, and uninstalling removes them for good.
# Usage: audiodriver_pipewire.sh <source dir>
set -uo pipefail
top=$1
installer=$top/resources/installer/install_audio_driver
uninstaller=$top/resources/installer/uninstall_audio_driver

source "$top/tests/support/apptest.sh"
require_tools "PipeWire, WirePlumber, pipewire-pulse, pactl and gdbus" pipewire wireplumber pipewire-pulse pactl gdbus
start_test_services pipewire installer none no-device
export LC_ALL=C
config=$XDG_CONFIG_HOME/pipewire/pipewire-pulse.conf.d/talvento-control.conf

# $1 = sinks or sources, $2 = name: the description, or nothing when there is no such device.
description() {
    pactl list "$1" | awk -v name="$2" '$1 == "Name:" { mine = ($2 == name) }
        mine && $1 == "Description:" { sub(/^[ \t]*Description: /, ""); print; exit }'
}
# $1 = what is being checked: both devices are there with their descriptions.
expect_devices() {
    local sink source
    sink=$(description sinks talvento_control)
    source=$(description sources talvento_control_mic)
    [ "$sink" = "Talvento Control" ] || fail "$1: the sink's description is \"$sink\""
    [ "$source" = "Talvento Control Microphone" ] || fail "$1: the microphone's description is \"$source\""
}
# $1 = script: it runs as the user and ends with its success marker.
run_script() {
    local output
    output=$(sh "$1" /) || fail "$(basename "$1") ended with $?: $output"
    [[ "$output" == *"---FINISHED WITH SUCCESS---"* ]] || fail "$(basename "$1") printed no success marker: $output"
}

# A fresh installation is there now and after the next login.
run_script "$installer"
expect_devices "after installing"
restart_pipewire_pulse || { echo "FAIL: pipewire-pulse did not come back"; exit 1; }
expect_devices "after a restart of pipewire-pulse"
[ "$(pactl list short modules | grep -c 'sink_name=talvento_control ')" = 1 ] || fail "the sink is loaded more than once"

# A configuration whose quotes PipeWire misreads (double quotes not escaped inside the arguments'
# string) leaves the sink without its description after the next login; installing again
# repairs the device now and the configuration for later logins.
cat >"$config" <<'CONF'
pulse.cmd = [
    { cmd = "load-module" args = "module-null-sink sink_name=talvento_control rate=48000 channels=1 sink_properties='device.description="Talvento Control"'" flags = [ "nofail" ] }
    { cmd = "load-module" args = "module-remap-source master=talvento_control.monitor source_name=talvento_control_mic channels=1 source_properties='device.description="Talvento Control Microphone"'" flags = [ "nofail" ] }
]
CONF
restart_pipewire_pulse || { echo "FAIL: pipewire-pulse did not come back"; exit 1; }
broken=$(description sinks talvento_control)
[ "$broken" != "Talvento Control" ] || fail "the misquoted configuration was read correctly: nothing to repair"
run_script "$installer"
expect_devices "after repairing"
restart_pipewire_pulse || { echo "FAIL: pipewire-pulse did not come back"; exit 1; }
expect_devices "after repairing and a restart"

# Uninstalling removes both devices, now and for later logins.
run_script "$uninstaller"
[ ! -e "$config" ] || fail "the configuration is still there"
restart_pipewire_pulse || { echo "FAIL: pipewire-pulse did not come back"; exit 1; }
pactl list short sinks | grep -q talvento_control && fail "the sink is left after uninstalling"
pactl list short sources | grep -q talvento_control && fail "the microphone is left after uninstalling"

[ "$failed" = 0 ] && echo "PASS"
exit "$failed"
