#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Jitterform need, where missing.
# Usage: scripts/install-deps.sh [extra-package ...]
set -euo pipefail

packages=(build-essential cmake ninja-build qt6-base-dev qt6-base-dev-tools libgl-dev
          xvfb xauth python3 clang libclang-rt-14-dev
          # The preview: Qt's OpenGL widgets, and OpenGL without a display (Mesa's EGL and software
          # renderer).
          libqt6opengl6-dev libegl-dev libegl-mesa0 libgl1-mesa-dri
          # The icons, the package, and the checks of the manuals, desktop data and completion.
          librsvg2-bin dpkg-dev lintian groff-base man-db desktop-file-utils appstream bash-completion
          "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
