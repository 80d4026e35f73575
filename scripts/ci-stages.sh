#!/usr/bin/env bash
# Second CI stage, after the default build and test suite: the serial and settings tests as an
# unprivileged user (when run as root), the suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, serial/engine/end-to-end/cli tests under ThreadSanitizer, format,
# the Debian package's contents, static checks, and a short run of every fuzz target. Stops at
# the first failing stage.
#
# Skip a stage locally with KORVI_SKIP_NOBODY=1, KORVI_SKIP_ASAN=1, KORVI_SKIP_TSAN=1, KORVI_SKIP_FORMAT=1,
# KORVI_SKIP_PACKAGE=1, KORVI_SKIP_TIDY=1 or KORVI_SKIP_FUZZ=1. KORVI_FUZZ_SECONDS sets each
# fuzz run's length (default 20); KORVI_TIDY_BUILD names the configured build whose compile
# commands clang-tidy uses (default build/default). Needs the extra packages of scripts/deps.sh --extra.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=$(nproc)
WERROR=${CI:+-DKORVI_WERROR=ON}
FUZZ_SECONDS=${KORVI_FUZZ_SECONDS:-20}

stage() {
  printf '\n==== %s ====\n' "$1"
  STAGE_START=$SECONDS
}
stage_done() { printf '==== done in %d s ====\n' $((SECONDS - STAGE_START)); }
skipped() {
  local var="KORVI_SKIP_$1"
  if [[ -n "${!var:-}" ]]; then
    printf '\n==== %s: skipped (%s set) ====\n' "$2" "$var"
    return 0
  fi
  return 1
}

scripts/deps.sh --extra

if ! skipped NOBODY "serial and settings tests as user nobody"; then
  stage "serial and settings tests as user nobody"
  if [[ $(id -u) -ne 0 ]]; then
    echo "not root: the default suite already ran unprivileged"
  else
    # Root passes permission checks that bind everyone else (exclusive ports, read-only
    # directories). The binaries run from a copy, so the build tree need not be readable.
    [[ -x build/default/serial/tests/serial_tests ]] || {
      cmake --preset default >/dev/null
      cmake --build --preset default -j"$JOBS" --target serial_tests settings_tests
    }
    work=$(mktemp -d)
    chmod 1777 "$work"
    cp build/default/serial/tests/serial_tests build/default/settings/tests/settings_tests "$work"
    for t in serial_tests settings_tests; do
      (cd "$work" && TMPDIR="$work" TEST_TMPDIR="$work/" \
        setpriv --reuid=nobody --regid=nogroup --clear-groups "./$t" --gtest_brief=1)
    done
    rm -rf "$work"
  fi
  stage_done
fi

if ! skipped ASAN "AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"; then
  stage "AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
  cmake --preset asan $WERROR >/dev/null
  cmake --build --preset asan -j"$JOBS"
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} QT_QPA_PLATFORM=offscreen \
    ctest --preset asan -j"$JOBS" --timeout 600
  stage_done
fi

if ! skipped TSAN "ThreadSanitizer: serial, engine, end-to-end and command-line tests"; then
  stage "ThreadSanitizer: serial, engine, end-to-end and command-line tests"
  cmake --preset tsan $WERROR >/dev/null
  cmake --build --preset tsan -j"$JOBS"
  # Kernels with many bits of mmap randomisation break the sanitizer's memory layout
  # ("unexpected memory mapping"); without address randomisation it always fits.
  NORANDOM=()
  if setarch "$(uname -m)" -R true 2>/dev/null; then NORANDOM=(setarch "$(uname -m)" -R); fi
  for dir in serial engine tests/e2e cli; do
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
      "${NORANDOM[@]}" ctest --test-dir "build/tsan/$dir" -j"$JOBS" --timeout 600 \
      --output-on-failure
  done
  stage_done
fi

if ! skipped FORMAT "clang-format"; then
  stage "clang-format"
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror
  stage_done
fi

if ! skipped PACKAGE "Debian package"; then
  stage "Debian package"
  # Both programs from the default build (first stage); cpack installs them into the package.
  [[ -f build/default/CPackConfig.cmake ]] || cmake --preset default >/dev/null
  cmake --build --preset default -j"$JOBS"
  rm -f build/default/korvi-flasher_*.deb
  (cd build/default && cpack -G DEB >/dev/null)
  DEB=$(ls build/default/korvi-flasher_*.deb)
  dpkg-deb -c "$DEB" | awk '{print $NF}' > build/package-files.txt
  for f in usr/bin/korvi-flasher usr/bin/korvi-flash usr/share/applications/korvi-flasher.desktop \
      usr/share/icons/hicolor/{16x16,32x32,48x48}/apps/korvi-flasher.png \
      usr/share/man/man1/korvi-flash.1.gz usr/share/bash-completion/completions/korvi-flash; do
    grep -qx "./$f" build/package-files.txt || { echo "$DEB lacks /$f"; exit 1; }
  done
  for lib in libqt6widgets6 libpugixml1v5 libssl3 libstdc++6; do
    dpkg-deb -f "$DEB" Depends | grep -q "$lib" || { echo "$DEB does not depend on $lib"; exit 1; }
  done
  echo "$DEB: $(wc -l < build/package-files.txt) entries, depends on $(dpkg-deb -f "$DEB" Depends)"
  # As root: install it the way a technician's machine would, flash from the installed program, remove.
  if [[ $(id -u) == 0 ]] && ! dpkg -s korvi-flasher >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$PWD/$DEB" >/dev/null
    (cd "$(mktemp -d)" && XDG_STATE_HOME=$PWD /usr/bin/korvi-flash flash "$OLDPWD/tools/samples/korvi-type1.hex" \
      --simulate --sim-no-wire --quiet) || { apt-get purge -y -qq korvi-flasher >/dev/null; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq korvi-flasher >/dev/null
    echo "installed, flashed the simulated target from /usr/bin/korvi-flash, removed"
  fi
  stage_done
fi

if ! skipped TIDY "clang-tidy"; then
  stage "clang-tidy"
  # The default build (first stage) holds the compile commands and Qt's generated files.
  TIDY_BUILD=${KORVI_TIDY_BUILD:-build/default}
  [[ -f $TIDY_BUILD/compile_commands.json ]] || {
    cmake --preset default >/dev/null
    cmake --build --preset default -j"$JOBS"
  }
  mapfile -t SOURCES < <(git ls-files '*.cpp')
  # run-clang-tidy takes patterns; anchor each tracked source's path.
  PATTERNS=()
  for f in "${SOURCES[@]}"; do PATTERNS+=("$(pwd)/${f//./\\.}\$"); done
  run-clang-tidy-14 -p "$TIDY_BUILD" -j"$JOBS" -quiet "${PATTERNS[@]}" \
    > build/clang-tidy.log 2>&1 || {
    sed 's/\x1b\[[0-9;]*m//g' build/clang-tidy.log | grep -E 'warning:|error:' -A3
    echo "clang-tidy found problems; full output in build/clang-tidy.log"
    exit 1
  }
  stage_done
fi

if ! skipped FUZZ "fuzz targets, ${FUZZ_SECONDS} s each"; then
  stage "fuzz targets, ${FUZZ_SECONDS} s each"
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKORVI_FUZZ=ON \
    -DKORVI_BUILD_TESTS=OFF -DKORVI_BUILD_BENCH=OFF -DKORVI_BUILD_APP=OFF $WERROR >/dev/null
  FUZZERS=()
  for src in fuzz/*_fuzz.cpp; do FUZZERS+=("$(basename "$src" .cpp)"); done
  cmake --build build/fuzz -j"$JOBS" --target "${FUZZERS[@]}"
  mkdir -p build/fuzz/artifacts
  for name in "${FUZZERS[@]}"; do
    corpus=fuzz/corpus/${name%_fuzz}
    work=build/fuzz/corpus-${name%_fuzz}
    mkdir -p "$work"
    dict=()
    [[ -f fuzz/${name%_fuzz}.dict ]] && dict=(-dict="fuzz/${name%_fuzz}.dict")
    echo "-- $name"
    # New inputs go to the scratch corpus only; the seeds in the repository stay as they are.
    if ! "build/fuzz/fuzz/$name" -max_total_time="$FUZZ_SECONDS" -timeout=10 -print_final_stats=1 \
        "${dict[@]}" -artifact_prefix="build/fuzz/artifacts/$name-" "$work" "$corpus" \
        > "build/fuzz/$name.log" 2>&1; then
      tail -n 60 "build/fuzz/$name.log"
      echo "$name failed; copy the reported input from build/fuzz/artifacts/ into $corpus/"
      exit 1
    fi
    grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$name.log" || true
  done
  stage_done
fi

printf '\n==== all stages passed ====\n'
