#!/usr/bin/env bash
# Starts Korvi Flasher. By default in a scratch directory (run/ in the repo, so no Config.xml of
# yours is touched) against a simulated target on a pseudo-terminal, pinned as COM1, with a
# bundled sample HEX file already chosen: press "Start Flash" and watch a complete update.
#   --type N   simulated target type 1..5 (default 3) and its sample file
#   --real     the real serial ports, in the current directory, no simulator
#   --xvfb     run under a virtual X server (nothing to see; for smoke runs)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
START_DIR=$PWD
TYPE=3
REAL=0
XVFB=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --type) TYPE=${2:?--type needs a number 1..5}; shift 2 ;;
    --real) REAL=1; shift ;;
    --xvfb) XVFB=1; shift ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
if [[ ! $TYPE =~ ^[1-5]$ ]]; then
  echo "run.sh: --type takes 1..5" >&2
  exit 2
fi

if [[ $XVFB -eq 0 && -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "run.sh: no display (DISPLAY is not set): run it in a desktop session, with ssh -X, or add --xvfb for a virtual one" >&2
  exit 1
fi

cd "$ROOT"
scripts/deps.sh
[[ -f build/default/build.ninja ]] || cmake --preset default >/dev/null
cmake --build --preset default --target korvi-flasher korvi-simtarget >/dev/null
FLASHER=$ROOT/build/default/app/korvi-flasher
SIMTARGET=$ROOT/build/default/tools/simtarget/korvi-simtarget

GUI=()
[[ $XVFB -eq 1 ]] && GUI=(xvfb-run -a -s "-screen 0 1024x768x24")

APP_PID=""
trap '[[ -n $APP_PID ]] && kill "$APP_PID" 2>/dev/null' INT TERM

if [[ $REAL -eq 1 ]]; then
  cd "$START_DIR"
  "${GUI[@]}" "$FLASHER" &
  APP_PID=$!
  wait "$APP_PID" || true
  exit 0
fi

RUN_DIR=$ROOT/run
LINK=$RUN_DIR/ttySIM
SAMPLE=$ROOT/tools/samples/korvi-type$TYPE.hex
mkdir -p "$RUN_DIR"
rm -f "$LINK"
xml() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$1"; }
printf '<profile><Main><COM-Port>1</COM-Port><Hex-File>%s</Hex-File></Main><Ports><COM1>%s</COM1><Enumerate>0</Enumerate></Ports></profile>' \
  "$(xml "$SAMPLE")" "$(xml "$LINK")" >"$RUN_DIR/Config.xml"

# The target greets every half second until the update begins, as if just reset, and again
# after it ended (restarted into its bootloader); it takes each byte's time on the wire at the
# speed the flasher set.
"$SIMTARGET" --type "$TYPE" --link "$LINK" --greet-every 500 --wire >/dev/null 2>"$RUN_DIR/simtarget.log" &
SIM_PID=$!
stop_sim() {
  kill -INT "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  echo "Simulated target:"
  sed 's/^/  /' "$RUN_DIR/simtarget.log"
}
trap stop_sim EXIT
for _ in $(seq 50); do
  [[ -e $LINK ]] && break
  sleep 0.1
done
[[ -e $LINK ]] || { echo "run.sh: the simulated target did not start" >&2; exit 1; }

echo "Simulated type-$TYPE target on COM1 ($LINK), sample $SAMPLE"
cd "$RUN_DIR"
"${GUI[@]}" "$FLASHER" &
APP_PID=$!
wait "$APP_PID" || true
