#!/usr/bin/env bash
# Audio/video offset of a whole recording through kx-record: a private
# sound server (KX_SOUND_SERVER: pulseaudio, the default, or pipewire) gives
# a microphone that hears kx-click's clicks, the virtual camera shows its
# flash picture, and kx-avsync measures the MP4.
#   bench/capture/avsync.sh [SECONDS] [FPS]     (default 60 s at 30 fps)
# Prints kx-avsync's JSON (median_ms and worst_ms: the sound as played, one
# run of samples from its first stamp; "stamped": each frame at its own
# stamp) and the video and audio lengths.
# BUILD_DIR selects the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
SECONDS_TO_RECORD=${1:-60}
FPS=${2:-30}
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" --target kx-record kx-click kx-avsync -j2 >/dev/null
BIN=$(cd "$BUILD_DIR/bin" && pwd)

WORK=$(mktemp -d /tmp/kxsync-XXXXXX)
PA_PID=""
CLICK_PID=""
cleanup() {
  [ -n "$CLICK_PID" ] && kill "$CLICK_PID" 2>/dev/null || true
  [ -n "$PA_PID" ] && kill "$PA_PID" 2>/dev/null || true
  # The server writes into its runtime folder while it exits.
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The clicks go into a null sink; a remap of its monitor is the microphone.
# The loopback keeps the sink's latency low while nothing records (PipeWire
# runs its graph at one quantum anyway).
{
  echo "load-module module-null-sink sink_name=kx_drain rate=48000 channels=2"
  echo "load-module module-null-sink sink_name=kx_click rate=48000 channels=2"
  if [ "${KX_SOUND_SERVER:-pulseaudio}" != pipewire ]; then
    echo "load-module module-loopback source=kx_click.monitor sink=kx_drain latency_msec=10"
    echo "suspend-sink kx_click 1"
    echo "suspend-sink kx_click 0"
  fi
  echo "load-module module-remap-source source_name=kx_click_mic master=kx_click.monitor source_properties='device.description=\"Click Audio\" device.product.name=\"KX Click Unit\"'"
} >"$WORK/setup"
scripts/sound-server "$WORK/snd" "$WORK/setup" >"$WORK/pulse.log" 2>&1 &
PA_PID=$!
export PULSE_SERVER=unix:$WORK/snd/native
for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
echo "sound server: $(pactl info | sed -n 's/^Server Name: //p')" >&2

cat > "$WORK/cameras.json" <<JSON
{"devices": [{"name": "Flash Camera", "picture": "flash",
  "capabilities": [{"format": "MJPG", "width": 1280, "height": 720, "fps": $FPS}]}]}
JSON
export KX_VIRTUAL_CAMERA=$WORK/cameras.json

"$BIN/kx-click" --sink kx_click 2>"$WORK/click.log" &
CLICK_PID=$!
sleep 1
KX_VERSION_INI=/dev/null "$BIN/kx-record" --seconds "$SECONDS_TO_RECORD" --snapshots 0 --upload-wait 0 \
  --camera "Flash Camera" --microphone "KX Click Unit" --out "$WORK/out" >"$WORK/record.log" 2>&1 || {
  echo "kx-record failed:"; tail -20 "$WORK/record.log"; exit 1; }
MP4=$(find "$WORK/out" -name '*.mp4' | head -1)
"$BIN/kx-avsync" "$MP4"
