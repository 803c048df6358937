#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo host against the engine: it records for a
# few seconds and saves a clip into the folder given with --folder (default: the folder this
# script is run from). With an X display ($DISPLAY) it records the real screen, else the
# simulated scene. The product library (build/release/client/core/core_dll/
# libtallowmarch_core.so) can be given with --engine; it records only where a hardware H.264
# encoder exists.
# Usage: scripts/demo.sh [host arguments ...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(
  cd "$root"
  scripts/install-deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release --target tallowmarch_demo tallowmarch_core_sim tallowmarch_core
)
exec "$root/build/release/host/tallowmarch_demo" "$@"
