#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs the whole test suite, once per
# preset named. Usage: scripts/test.sh [preset...]   (dev by default; asan for the sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("${@:-dev}")

bash scripts/install-deps.sh
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
