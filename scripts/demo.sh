#!/usr/bin/env bash
# Installs what is missing, builds the desktop program and starts it on its built-in
# simulated sensor. Without a display it takes a guided tour on the simulator instead and
# leaves a picture of each step in a folder it names.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target karvo-sp karvo-cli karvo-sim
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec ./build/karvo-sp --demo "$@"
fi
tour="${KARVO_TOUR_DIR:-$PWD/build/tour}"
echo "No display: a guided tour on the simulated sensor, pictures in $tour" >&2
QT_QPA_PLATFORM=offscreen exec ./build/karvo-sp --tour "$tour" "$@"
