#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo host against the engine.
# Usage: scripts/demo.sh [host arguments ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tallowmarch_demo tallowmarch_core_sim
exec build/release/host/tallowmarch_demo "$@"
