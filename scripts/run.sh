#!/usr/bin/env bash
# Builds Jitterform and starts it. Without a display the window opens on a virtual one (Xvfb),
# which is enough to see that it starts. Usage: scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build/release --parallel

program=build/release/ui/jitterform
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting Jitterform on a virtual screen (Xvfb); it closes after 10 seconds."
  exec xvfb-run -a -s "-screen 0 1280x1024x24" timeout 10 "$program"
fi
exec "$program"
