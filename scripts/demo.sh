#!/usr/bin/env bash
# Installs what is missing, builds the desktop program and starts it on its built-in
# simulated sensor. Without a display it runs under a virtual one (Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target karvo-sp karvo-cli karvo-sim
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec ./build/karvo-sp --demo "$@"
fi
echo "No display: running under Xvfb (see README, 'Without a desktop')." >&2
exec xvfb-run -a -s "-screen 0 1280x1024x24" ./build/karvo-sp --demo "$@"
