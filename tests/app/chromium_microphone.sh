#!/usr/bin/env bash
# A client this project did not write: headless Chromium lists "Talvento Control Microphone"
# among its audio inputs and records one second from it through getUserMedia while speech plays
# into the camera's microphone and the application runs with --simulate (a viewer reads the
# virtual camera, as a call would, so that the microphone runs). The recorded level is above
# the noise floor measured the same way before the application starts. Against PulseAudio, or
# PipeWire with pipewire-pulse when TALVENTO_TEST_SOUND_SERVER is "pipewire".
# Usage: chromium_microphone.sh <talvento-control-test> <source dir> <talvento-vcam-view>
set -uo pipefail
app=$1
top=$2
viewer=$3

source "$top/tests/support/apptest.sh"
require_tools "chromium, node, espeak-ng, sox and pactl" chromium node espeak-ng sox pactl
start_test_services chosen chromium none
espeak-ng -w "$SVC_DIR/speech.wav" "Hello from the camera microphone. This is what the call hears." &&
    sox "$SVC_DIR/speech.wav" -r 48000 -c 1 -b 16 "$SVC_DIR/speech48.wav" norm -3 pad 0 0.3 ||
    { echo "FAIL: cannot make the speech"; exit 1; }
start_cam_feeder "$SVC_DIR/speech48.wav"

page=file://$top/tests/support/chromium/media.html
cdp=$top/tests/support/chromium/cdp.js
export CHROMIUM_LOG=$SVC_DIR/chromium.log
# Chromium gets a generous minute per run: on a loaded machine it starts slowly.
chromium_eval() { TMPDIR=$SVC_DIR timeout 60 node "$cdp" "$page" "$1"; }

floor=$(chromium_eval "rmsOf('Talvento Control Microphone', 1000)") || fail "Chromium could not record before the start"

start_app offscreen
for _ in $(seq 600); do
    grep -qF 'Successfully opened audio output  "Talvento Control"' "$log" && [ -e "/dev/shm$segment" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
grep -qF 'Successfully opened audio output  "Talvento Control"' "$log" || fail "the application opened no virtual audio output"
"$viewer" --segment "$segment" --measure 90 >/dev/null 2>&1 &
reader=$!
sleep 3 # the microphone follows the camera's client within a client check
kill -0 "$reader" 2>/dev/null || fail "the viewer could not read the virtual camera"

result=$(unset QT_QPA_PLATFORM QT_LOGGING_RULES; chromium_eval \
    "devices('audioinput').then(async l => ({ labels: l.map(d => d.label), level: await rmsOf('Talvento Control Microphone', 1000, 10000) }))") ||
    fail "Chromium could not record from the virtual microphone"
kill "$reader" 2>/dev/null
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

echo "Chromium: noise floor ${floor:-?} RMS; $result"
python3 - "${floor:-1}" "${result:-{\}}" <<'PY' || failed=1
import json, sys
floor = float(sys.argv[1])
result = json.loads(sys.argv[2])
labels, level = result.get("labels", []), result.get("level", 0)
ok = True
if "Talvento Control Microphone" not in labels:
    print(f"FAIL: Chromium lists no Talvento Control Microphone: {labels}"); ok = False
# Processed speech is far above what the microphone carries without the application.
if not (level > 0.01 and level > 10 * floor):
    print(f"FAIL: recorded level {level:.4f} RMS, noise floor {floor:.4f} RMS"); ok = False
sys.exit(0 if ok else 1)
PY

if [ "$failed" -ne 0 ]; then
    echo "--- application log (last 40 lines)"
    tail -40 "$log"
    exit 1
fi
echo "PASS"
