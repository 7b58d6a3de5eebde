#!/usr/bin/env bash
# The application's PipeWire camera read by clients this project did not write, with the
# application as started (--simulate, rotation and text on) on a private PipeWire, its window
# hidden through the tray so that only the client reads:
#   gstreamer: GStreamer's pipewiresrc saves frames; the last one shows the pillars of the quarter
#              turn and the text. The simulated camera opens once the consumer's stream is linked
#              and closes once the consumer has ended, each at the first or second client check
#              (one runs every 2 s; the link's coming and going also starts one at once).
#   chromium:  headless Chromium with its PipeWire camera support, through the camera portal,
#              lists the camera, opens it with getUserMedia and draws a frame with the pillars and
#              the picture between them. A failed try is repeated once: the browser's start of a
#              PipeWire camera times out now and then.
# Runs in scripts/test's PipeWire pass; the PulseAudio pass skips it.
# Usage: pipewire_clients.sh gstreamer|chromium <talvento-control-test> <talvento-settings> <source dir>
set -uo pipefail
client=$1
app=$2
settings=$3
top=$4
source "$top/tests/support/apptest.sh"

if [ -n "${TALVENTO_TEST_SOUND_SERVER:-}" ] && [ "$TALVENTO_TEST_SOUND_SERVER" != pipewire ]; then
    skip_test "a PipeWire camera test; it runs in the PipeWire pass"
fi
needed=(pipewire wireplumber pipewire-pulse pw-link gst-launch-1.0 python3 Xvfb trayer xdotool)
[ "$client" = chromium ] && needed+=(chromium node /usr/libexec/xdg-desktop-portal /usr/libexec/xdg-desktop-portal-gtk)
require_tools "PipeWire, GStreamer's pipewiresrc or Chromium with the camera portal, Xvfb, trayer and xdotool" "${needed[@]}"
if [ "$client" = gstreamer ] && ! gst-inspect-1.0 pipewiresrc >/dev/null 2>&1; then
    missing "GStreamer has no pipewiresrc" "GStreamer's pipewiresrc (gstreamer1.0-pipewire)"
fi

start_test_services pipewire pwcamera display
if [ "$client" = chromium ]; then start_portal || { echo "FAIL: cannot start the camera portal"; exit 1; }; fi
app_settings "$settings" set CameraRotation 1 && app_settings "$settings" set TextOverlay Enabled true \
    || { echo "FAIL: cannot change the settings"; exit 1; }
start_app xcb
wait_for_line "published the PipeWire camera" 60 >/dev/null || { cat "$log"; echo "FAIL: no PipeWire camera"; exit 1; }
expect_started

# The window shows at start and its preview reads the camera: hidden through the tray icon,
# nobody reads and the camera closes.
for _ in $(seq 100); do window_visible && break; sleep 0.1; done
if window_visible; then
    toggle_window hidden && expect_camera closed "the window was hidden"
else
    expect_camera closed "the application started without its window"
fi
[ "$failed" = 0 ] || { tail -40 "$log"; exit 1; }

# True once a consumer's input is linked to the camera node.
linked() { pw-link -l 2>/dev/null | grep -A1 '^talvento_control_camera:' | grep -q '|->'; }

# $1 = saved RGB frames: the last one has black pillars at both edges, a picture between them
# and the text overlay's white letters in the middle.
pillars_and_text() {
    python3 - "$1" <<'PY'
import sys
w, h = 1280, 720
data = open(sys.argv[1], "rb").read()
if len(data) < w * h * 3:
    sys.exit("short file: %d bytes" % len(data))
f = data[-w * h * 3:]
px = lambda x, y: f[(y * w + x) * 3:(y * w + x) * 3 + 3]
# The idle picture is a dark grey (24, 26, 30): the pillars are black.
black = lambda x0, x1: max(max(px(x, y)) for y in range(0, h, 16) for x in range(x0, x1, 8)) < 16
picture = sum(1 for x in range(300, 980, 10) if max(px(x, 300)) > 40)
white = sum(1 for y in range(200, 520, 2) for x in range(300, 980, 2) if min(px(x, y)) > 235)
print("pillars: %s/%s, picture columns: %d, white text pixels: %d" % (black(0, 250), black(w - 250, w), picture, white))
sys.exit(0 if black(0, 250) and black(w - 250, w) and picture > 30 and white > 100 else 1)
PY
}

run_gstreamer() {
    local frames=$SVC_DIR/frames.rgb started link_seen consumer t0
    started=$(lines)
    t0=$(date +%s%N)
    # 90 frames: the idle picture may come first, then about three seconds of the camera.
    timeout 60 gst-launch-1.0 -q pipewiresrc target-object=talvento_control_camera num-buffers=90 \
        ! video/x-raw,format=YUY2 ! videoconvert ! video/x-raw,format=RGB ! filesink location="$frames" &
    consumer=$!
    for _ in $(seq 600); do linked && break; kill -0 "$consumer" 2>/dev/null || break; sleep 0.05; done
    link_seen=$(lines)
    if [ "$(tail -n +"$((started + 1))" "$log" | grep -c 'SimulatedCamera -> opened')" -gt 0 ]; then
        echo "camera opened before the link was seen ($(checks_since "$started") client checks after the consumer started)"
    else
        expect_camera opened "the consumer's link" "$link_seen"
    fi
    [ "$(camera_state)" = opened ] && echo "camera opened by $((($(date +%s%N) - t0) / 1000000)) ms after the consumer started"
    wait "$consumer" || fail "pipewiresrc failed ($?)"
    expect_camera closed "the consumer's end"
    pillars_and_text "$frames" || fail "the saved frame lacks the pillars or the text"
}

run_chromium() {
    local page=file://$top/tests/support/chromium/media.html result
    # Points as fractions of the frame: both pillars, then a grid over the picture between them.
    local expr="pixelsOf('Talvento Control', [[0.02, 0.5], [0.98, 0.5]].concat(
        [0.3, 0.4, 0.5, 0.6, 0.7].flatMap(x => [0.2, 0.5, 0.8].map(y => [x, y]))), 15)"
    for try in 1 2; do
        result=$(CHROMIUM_LOG=$SVC_DIR/chromium-$try.log TMPDIR=$SVC_DIR timeout 90 node "$top/tests/support/chromium/cdp.js" \
            "$page" "$expr" --enable-features=WebRtcPipeWireCamera 2>&1)
        echo "try $try: $result"
        python3 - "$result" <<'PY' && return 0
import json, sys
try:
    r = json.loads(sys.argv[1].splitlines()[-1])
    left, right, *middle = r["rgb"]
except (ValueError, KeyError, IndexError, TypeError):
    sys.exit(1)
# Black pillars and a picture between them that is mostly bright (the idle picture is dark grey,
# 24 26 30, with grey letters in the middle).
sys.exit(0 if (r["width"], r["height"]) == (1280, 720) and max(left) < 16 and max(right) < 16
         and sum(max(p) > 60 for p in middle) >= 10 else 1)
PY
        # Only the browser's known start time-out earns the second try.
        grep -q "Timeout starting video source" <<<"$result" || break
    done
    fail "Chromium did not draw a frame with the pillars"
    echo "--- Chromium's log (tail)"
    tail -20 "$SVC_DIR/chromium-$try.log"
    echo "--- the portal's log (tail)"
    tail -20 "$SVC_DIR/portal.log"
}

"run_$client"
[ "$failed" = 0 ] || { echo "--- application log (tail)"; tail -60 "$log"; exit 1; }
echo "PASS"
