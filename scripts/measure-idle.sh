#!/usr/bin/env bash
# Start-up time and idle CPU of the real window: starts korvi-flasher under a virtual X server
# in a scratch directory whose Config.xml lists no port, waits until the window shows, then
# reads its CPU time (utime + stime in /proc/<pid>/stat) before and after SECONDS of idling.
# Usage: scripts/measure-idle.sh [SECONDS (default 20)] [BUILD_DIR (default build/default)]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
IDLE=${1:-20}
BUILD=${2:-build/default}
[[ $BUILD = /* ]] || BUILD=$ROOT/$BUILD
BIN=$BUILD/app/korvi-flasher
[[ -x $BIN ]] || { echo "measure-idle.sh: no $BIN; build the target korvi-flasher first" >&2; exit 1; }

if [[ -z ${KORVI_MEASURE_INNER:-} ]]; then
  command -v xvfb-run >/dev/null && command -v xdotool >/dev/null ||
    { echo "measure-idle.sh: needs xvfb-run and xdotool (scripts/deps.sh --extra)" >&2; exit 1; }
  exec env KORVI_MEASURE_INNER=1 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$IDLE" "$BUILD"
fi

SCRATCH=$(mktemp -d)
PID=
cleanup() {
  [[ -n $PID ]] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
# No remembered port or file, and no port enumerated: nothing is probed or opened.
printf '<profile><Main><COM-Port>0</COM-Port><Hex-File></Hex-File></Main><Ports><Enumerate>0</Enumerate></Ports></profile>' \
  >"$SCRATCH/Config.xml"
cd "$SCRATCH"

cpu_ticks() { sed 's/.*) //' "/proc/$PID/stat" | awk '{ print $12 + $13 }'; }

T0=$(date +%s.%N)
"$BIN" 2>"$SCRATCH/stderr.log" &
PID=$!
# Polled every 10 ms: xdotool's own --sync looks only every half second.
SHOWN=0
for _ in $(seq 3000); do
  if xdotool search --onlyvisible --name '^Korvi Flasher' >/dev/null 2>&1; then SHOWN=1; break; fi
  sleep 0.01
done
T1=$(date +%s.%N)
[[ $SHOWN -eq 1 ]] || { echo "measure-idle.sh: the window did not show" >&2; exit 1; }
C0=$(cpu_ticks)
sleep "$IDLE"
C1=$(cpu_ticks)
HZ=$(getconf CLK_TCK)
awk -v t0="$T0" -v t1="$T1" -v c0="$C0" -v c1="$C1" -v hz="$HZ" -v s="$IDLE" 'BEGIN {
  printf "start-up to a shown window: %.2f s (CPU until then %.2f s)\n", t1 - t0, c0 / hz
  printf "idle CPU over %d s: %.2f s = %.2f %% of a core\n", s, (c1 - c0) / hz, 100 * (c1 - c0) / hz / s
}'
