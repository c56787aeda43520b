#!/usr/bin/env bash
# Installs what is missing, builds Zorvo and starts its main job. Until the desktop client
# exists, the main job is a demonstration call between two headless engines on loopback.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

./scripts/demo-call.sh build/release/bin
