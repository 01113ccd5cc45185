#!/usr/bin/env bash
# Installs the dependencies, builds, and shows a sample ICP-Brasil chain with quor-certs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DQUOR_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
if [ -x build/cli/quor-certs ]; then
  build/cli/quor-certs show tests/fixtures/icp-brasil/AC-PRODESP-RFB-v1.crt
else
  echo "quor-certs is not built yet"
fi
