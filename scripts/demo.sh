#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo host against the engine: it records the
# simulated scene for a few seconds and saves a clip into the folder given with --folder
# (default: the folder this script is run from).
# Usage: scripts/demo.sh [host arguments ...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(
  cd "$root"
  scripts/install-deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target tallowmarch_demo tallowmarch_core_sim
)
exec "$root/build/release/host/tallowmarch_demo" "$@"
