#!/usr/bin/env bash
# Installs the Debian 12 packages the build, tests and window need.
# Idempotent: asks apt only for what is missing. Runs as root or through sudo.
set -euo pipefail

PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libpugixml-dev nlohmann-json3-dev libssl-dev qt6-base-dev fonts-dejavu-core xvfb xauth)
if [[ "${1:-}" == "--extra" ]]; then
  # screenshots, fuzzing, the static checks and the package of scripts/ci-stages.sh
  PACKAGES+=(xdotool imagemagick clang libclang-rt-14-dev clang-format-14 clang-tidy-14
            dpkg-dev file)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
