#!/usr/bin/env bash
# Pictures of the installer dialog as a user sees it, drawn by a real X server (Xvfb): one after
# a successful run over the sample download folder (examples/repository, served on loopback),
# one after a run against a server that cannot be reached, and the root question for an official
# root and for a generated one.
# Usage: scripts/screenshot.sh [output folder]   (default: build-screenshot/pictures)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build-screenshot/pictures}"
cmake -S . -B build-screenshot -G Ninja >/dev/null
cmake --build build-screenshot --target installer_screenshot -j 2
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" build-screenshot/tests/installer/installer_screenshot "$out"
echo "pictures: $out/installer-success.png $out/installer-failure.png" \
     "$out/root-question-official.png $out/root-question-other.png"
