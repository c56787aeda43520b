#!/usr/bin/env bash
# Installs what is missing, builds Zorvo and starts its main job. Until the call engine and the
# desktop client exist, the main job is the codec benchmark.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

./build/release/bin/bench-compress --benchmark_filter=Vs
