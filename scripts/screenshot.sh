#!/usr/bin/env bash
# Saves a PNG of the real window, started by scripts/run.sh (simulated target, sample file)
# under a virtual X server. Usage: scripts/screenshot.sh [OUT.png] [--update SECONDS]
#   --update S  press "Start Flash" and take the picture S seconds later
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$ROOT/build/screenshot.png
UPDATE=0
INNER=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --update) UPDATE=${2:?--update needs seconds}; shift 2 ;;
    --inner) INNER=1; shift ;;
    -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) OUT=$(realpath -m "$1"); shift ;;
  esac
done

if [[ $INNER -eq 0 ]]; then
  cd "$ROOT"
  scripts/deps.sh --extra
  [[ -f build/default/build.ninja ]] || cmake --preset default >/dev/null
  cmake --build --preset default --target korvi-flasher korvi-simtarget >/dev/null
  mkdir -p "$(dirname "$OUT")"
  exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --inner --update "$UPDATE" "$OUT"
fi

"$ROOT/scripts/run.sh" >/dev/null &
RUN_PID=$!
trap 'kill "$RUN_PID" 2>/dev/null; wait "$RUN_PID" 2>/dev/null || true' EXIT

WID=$(timeout 60 xdotool search --sync --onlyvisible --name '^Korvi Flasher V1\.41$' | head -n 1)
[[ -n $WID ]] || { echo "screenshot.sh: the window did not appear" >&2; exit 1; }
sleep 1
if [[ $UPDATE != 0 ]]; then
  # Exit has the focus; four tabs reach "Start Flash".
  xdotool windowfocus --sync "$WID"
  xdotool key Tab Tab Tab Tab space
  sleep "$UPDATE"
fi
import -window "$WID" "$OUT"
echo "$OUT"
