#!/usr/bin/env bash
# Installs what is missing, builds the default preset and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset default ${CI:+-DKORVI_WERROR=ON} >/dev/null
cmake --build --preset default -j"$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --preset default -j"$(nproc)" --timeout 300
