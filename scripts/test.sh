#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs the whole test suite.
# Usage: scripts/test.sh [preset]   (dev by default; asan for the sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}

bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
