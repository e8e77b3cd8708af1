#!/usr/bin/env bash
# Camera path benchmark: builds bench_camera and runs it; it prints the
# pipeline's figures, ffmpeg's on the same work, and their ratio.
#   bench/capture/run.sh [--seconds N] [--burst-seconds N]
# BUILD_DIR selects the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" --target bench_camera -j2 >/dev/null
exec "$BUILD_DIR/bin/bench_camera" "$@"
