#!/usr/bin/env bash
# The Kestrolink demo: a panel and a shell talking to a stand-in controller.
#
#   scripts/demo.sh            (build folder: build/, or KL_BUILD_DIR)
#
# Builds what it needs, starts kestrolink-emulator with the sample symbol file
# on a free loopback port, walks the panel driver through "Init", "Info",
# reads, writes and read-backs with panel-host (examples/project), then reads
# the same variables with the kestrolink command-line tool. Everything it
# writes (the project copy, the driver's GB2312 files and index cache, the
# SDK's log, the character-set files) goes into one temporary folder, which it
# removes at the end; the emulator is stopped by its PID.
set -u -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KL_BUILD_DIR:-$ROOT/build}"
# A relative folder is taken from where the script was started.
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac
SYMBOLS="$ROOT/examples/symbols/SampleApp.xml"
CHINESE_NAME="温度设定"

say() { printf '\n### %s\n' "$*"; }

# --- build --------------------------------------------------------------------
say "building into $BUILD"
if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
ninja -C "$BUILD" kestrolink kestrolink-emulator panel-host kestrolink-cli >/dev/null || {
    echo "demo: the build failed (run: ninja -C $BUILD)" >&2
    exit 1
}
EMULATOR="$BUILD/tools/emulator/kestrolink-emulator"
PANEL_HOST="$BUILD/tools/panel-host/panel-host"
CLI="$BUILD/tools/cli/kestrolink"
LIB="$BUILD/libkestrolink.so"

# --- a private workplace -------------------------------------------------------
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kestrolink-demo.XXXXXX")"
EMU_PID=""
cleanup() {
    if [ -n "$EMU_PID" ] && kill -0 "$EMU_PID" 2>/dev/null; then
        kill "$EMU_PID" 2>/dev/null
        wait "$EMU_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cp -r "$ROOT/examples/project" "$WORK/project"
# The driver installs its character-set files under this root instead of /.
export KESTROLINK_CHARSET_ROOT="$WORK/charset"
mkdir -p "$KESTROLINK_CHARSET_ROOT"
cd "$WORK" || exit 1

# --- the controller --------------------------------------------------------------
say "starting kestrolink-emulator with $SYMBOLS"
"$EMULATOR" --listen 127.0.0.1:0 --symbols "$SYMBOLS" --log-level warning >"$WORK/emulator.out" 2>&1 &
EMU_PID=$!
PORT=""
for _ in $(seq 1 100); do
    PORT="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$WORK/emulator.out" | head -1)"
    [ -n "$PORT" ] && break
    kill -0 "$EMU_PID" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$PORT" ]; then
    echo "demo: the emulator did not start:" >&2
    cat "$WORK/emulator.out" >&2
    exit 1
fi
head -1 "$WORK/emulator.out"

# --- the panel -------------------------------------------------------------------
SCRIPT="$WORK/project/panel-demo.txt"
if grep -q "$CHINESE_NAME" "$SYMBOLS"; then
    printf '\n# The variable with a Chinese name (tag 25).\nwr 25 0 16 1 21\nrd 25 0 16 1 == 21\n' >>"$SCRIPT"
fi
say "panel-host: Init, Info, reads and writes through $LIB"
"$PANEL_HOST" --lib "$LIB" --plc "127.0.0.1:$PORT" --project "$WORK/project" --port-no 4096 \
    --charset-root "$KESTROLINK_CHARSET_ROOT" --script "$SCRIPT"
PANEL_RC=$?

# --- the shell ---------------------------------------------------------------------
say "kestrolink read of the same variables"
NAMES=(
    SampleApp.GVL.iCounter:INT
    SampleApp.GVL.siTemperature:SINT
    SampleApp.GVL.diPosition:DINT
    SampleApp.GVL.rSpeed:REAL
    SampleApp.GVL.lrPrecise:LREAL
    SampleApp.GVL.liTotalCount:LINT
    SampleApp.GVL.tCycleTime:TIME
    SampleApp.GVL.xStart:BOOL
    "SampleApp.GVL.aiValues[3]:INT"
    "SampleApp.GVL.adiMatrix[1,2]:DINT"
    "SampleApp.GVL.sMessage:STRING(80)"
    SampleApp.GVL.stAxis.stTarget.rX:REAL
    "SampleApp.PLC_PRG.astWaypoints[2].rX:REAL"
)
if grep -q "$CHINESE_NAME" "$SYMBOLS"; then
    NAMES+=("SampleApp.GVL.$CHINESE_NAME:INT")
fi
"$CLI" read --plc "127.0.0.1:$PORT" --timeout 2000 "${NAMES[@]}"
CLI_RC=$?

say "kestrolink write, then read back"
"$CLI" write --plc "127.0.0.1:$PORT" --timeout 2000 SampleApp.GVL.iCounter:INT=-42 \
    "SampleApp.GVL.sMessage:STRING(80)=hello from the shell" SampleApp.GVL.tCycleTime:TIME=T#1m30s &&
    "$CLI" read --plc "127.0.0.1:$PORT" --timeout 2000 SampleApp.GVL.iCounter:INT \
        "SampleApp.GVL.sMessage:STRING(80)" SampleApp.GVL.tCycleTime:TIME
CLI_WRITE_RC=$?

say "an unknown variable and a closed port (the exit codes scripts see)"
"$CLI" read --plc "127.0.0.1:$PORT" --timeout 2000 SampleApp.GVL.doesNotExist:INT
echo "exit code $? (5 = unknown variable)"
"$CLI" read --plc 127.0.0.1:1 --timeout 500 SampleApp.GVL.iCounter:INT
echo "exit code $? (3 = unreachable)"

say "summary"
echo "panel-host: exit $PANEL_RC, kestrolink read: exit $CLI_RC, kestrolink write/read: exit $CLI_WRITE_RC"
[ "$PANEL_RC" = 0 ] && [ "$CLI_RC" = 0 ] && [ "$CLI_WRITE_RC" = 0 ]
