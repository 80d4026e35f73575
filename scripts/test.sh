#!/usr/bin/env bash
# Installs what is missing, builds the default preset and runs the whole test suite, then the
# hardening stages (sanitizers, format, static checks, fuzzing: scripts/ci-stages.sh).
#   --quick   the default build and suite only
set -euo pipefail
cd "$(dirname "$0")/.."

QUICK=0
[[ "${1:-}" == "--quick" ]] && QUICK=1

scripts/deps.sh
cmake --preset default ${CI:+-DKORVI_WERROR=ON} >/dev/null
cmake --build --preset default -j"$(nproc)"
mkdir -p build
QT_QPA_PLATFORM=offscreen ctest --preset default -j"$(nproc)" --timeout 300 | tee build/ctest.log

[[ $QUICK -eq 1 ]] || scripts/ci-stages.sh

# One closing line for the default suite, however many stages ran after it.
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' build/ctest.log | tail -n 1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
failed=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
skipped=$(grep -cE '\*\*\*Skipped|Not Run' build/ctest.log || true)
echo "tests: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
