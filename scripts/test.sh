#!/usr/bin/env bash
# The one test command of Kestrolink.
#
#   scripts/test.sh            all stages
#   KL_STAGES="native asan" scripts/test.sh   only some stages
#
# Long soak tests (label "soak") run in the native stage only.
# Stages: native (build + ctest), asan (AddressSanitizer + UndefinedBehavior-
# Sanitizer), tsan (ThreadSanitizer, tests labelled "threads"), armhf (cross
# build for 32-bit ARM, ctest under qemu-arm-static), fuzz (every libFuzzer
# target for a bounded time). Ends with one line "N passed, M failed".
set -u -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_ROOT="${KL_BUILD_ROOT:-$ROOT/build-test}"
CACHE_DIR="${KL_CACHE_DIR:-$HOME/.cache/kestrolink}"
STAGES="${KL_STAGES:-native asan tsan armhf fuzz}"
FUZZ_SECONDS="${KL_FUZZ_SECONDS:-30}"
JOBS="${KL_JOBS:-$(nproc 2>/dev/null || echo 2)}"
mkdir -p "$BUILD_ROOT" "$CACHE_DIR"

TOTAL_PASSED=0
TOTAL_FAILED=0
SUMMARY=()

log() { printf '== %s\n' "$*"; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else "$@"; fi
}

# --- dependencies -----------------------------------------------------------
install_dependencies() {
    local pkgs=(cmake ninja-build g++ gcc clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
                libssl-dev libexpat1-dev gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf qemu-user-static ccache
                python3)
    local missing=()
    for p in "${pkgs[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing: ${missing[*]}"
        as_root apt-get update -qq >/dev/null 2>&1 || true
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
            log "WARNING: some packages could not be installed: ${missing[*]}"
    fi
}

LAUNCHER=()
setup_ccache() {
    if command -v ccache >/dev/null; then
        export CCACHE_DIR="${CCACHE_DIR:-$CACHE_DIR/ccache}"
        ccache -M 5G >/dev/null 2>&1 || true
        LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
}

# --- stage helpers ------------------------------------------------------------
# Reads ctest's closing line and adds its counts.
count_ctest() {
    local logfile="$1" stage="$2"
    local line total failed passed
    line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$logfile" | tail -1)"
    if [ -z "$line" ] && grep -q 'No tests were found' "$logfile"; then
        SUMMARY+=("$stage: no tests selected")
        return 0
    fi
    if [ -z "$line" ]; then
        # ctest did not run to its end: count the stage as one failure.
        TOTAL_FAILED=$((TOTAL_FAILED + 1))
        SUMMARY+=("$stage: no test result (build or ctest failed)")
        return 1
    fi
    failed="$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')"
    total="$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')"
    passed=$((total - failed))
    TOTAL_PASSED=$((TOTAL_PASSED + passed))
    TOTAL_FAILED=$((TOTAL_FAILED + failed))
    SUMMARY+=("$stage: $passed passed, $failed failed")
    [ "$failed" = 0 ]
}

run_stage() {
    local stage="$1"
    shift
    local start end
    start=$(date +%s)
    log "stage $stage: start"
    "$@"
    local rc=$?
    end=$(date +%s)
    log "stage $stage: $((end - start)) s (exit $rc)"
    return $rc
}

# build_and_test <name> <ctest args...> -- <cmake args...>
build_and_test() {
    local name="$1"
    shift
    local ctest_args=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    local dir="$BUILD_ROOT/$name"
    local logfile="$BUILD_ROOT/$name.log"
    : >"$logfile"
    if ! cmake -S "$ROOT" -B "$dir" -G Ninja -DKESTROLINK_WERROR=ON "${LAUNCHER[@]}" "$@" >>"$logfile" 2>&1; then
        log "$name: configure failed"; tail -40 "$logfile"
        count_ctest "$logfile" "$name"; return 1
    fi
    if ! cmake --build "$dir" -j "$JOBS" >>"$logfile" 2>&1; then
        log "$name: build failed"; grep -E 'error|FAILED' "$logfile" | head -40
        count_ctest "$logfile" "$name"; return 1
    fi
    # A test that fails is run once more; a second failure counts. Tests that
    # pass only on the retry are listed in the log ("Test Failed" then
    # "Passed") and are faults to chase, not noise.
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 300 --repeat until-pass:2 "${ctest_args[@]}") \
        >>"$logfile" 2>&1
    if ! count_ctest "$logfile" "$name"; then
        log "$name: failures"
        grep -E '^\s*[0-9]+ - |Failed|\*\*\*' "$logfile" | tail -40
        return 1
    fi
    grep -E 'tests passed' "$logfile" | tail -1
    return 0
}

stage_native() { build_and_test native -- -DCMAKE_BUILD_TYPE=RelWithDebInfo; }

stage_asan() {
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    build_and_test asan -LE soak -- -DCMAKE_BUILD_TYPE=Debug -DKESTROLINK_SANITIZE=address,undefined
}

stage_tsan() {
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
    build_and_test tsan -L threads -LE soak -- -DCMAKE_BUILD_TYPE=Debug -DKESTROLINK_SANITIZE=thread
}

# Unpacks OpenSSL, expat and the C library for armhf from Debian's packages.
prepare_sysroot() {
    local sysroot="$CACHE_DIR/armhf-sysroot"
    if [ -f "$sysroot/.complete" ]; then
        echo "$sysroot"; return 0
    fi
    rm -rf "$sysroot" "$CACHE_DIR/armhf-debs"
    mkdir -p "$sysroot" "$CACHE_DIR/armhf-debs"
    if ! dpkg --print-foreign-architectures | grep -q armhf; then
        as_root dpkg --add-architecture armhf >/dev/null 2>&1 || return 1
    fi
    # A partly failed index update is not fatal: the download below decides.
    as_root apt-get update -qq >/dev/null 2>&1 || true
    (cd "$CACHE_DIR/armhf-debs" &&
        apt-get download libssl3:armhf libssl-dev:armhf libexpat1:armhf libexpat1-dev:armhf libc6:armhf \
            >/dev/null 2>&1) || return 1
    local deb
    for deb in "$CACHE_DIR"/armhf-debs/*.deb; do
        dpkg-deb -x "$deb" "$sysroot" || return 1
    done
    touch "$sysroot/.complete"
    echo "$sysroot"
}

stage_armhf() {
    if ! command -v arm-linux-gnueabihf-g++ >/dev/null || ! command -v qemu-arm-static >/dev/null; then
        log "!!!!! STAGE armhf SKIPPED: cross toolchain or qemu-arm-static missing !!!!!"
        SUMMARY+=("armhf: SKIPPED (toolchain missing)")
        return 0
    fi
    local sysroot
    if ! sysroot="$(prepare_sysroot)"; then
        log "!!!!! STAGE armhf SKIPPED: the armhf sysroot (OpenSSL, expat, libc packages) could not be fetched !!!!!"
        SUMMARY+=("armhf: SKIPPED (sysroot download failed)")
        return 0
    fi
    build_and_test armhf -LE soak -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/armhf-toolchain.cmake" -DKL_ARMHF_SYSROOT="$sysroot"
}

stage_fuzz() {
    if ! command -v clang++ >/dev/null; then
        log "!!!!! STAGE fuzz SKIPPED: clang missing !!!!!"
        SUMMARY+=("fuzz: SKIPPED (clang missing)")
        return 0
    fi
    local dir="$BUILD_ROOT/fuzz" logfile="$BUILD_ROOT/fuzz.log"
    : >"$logfile"
    if ! CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -G Ninja "${LAUNCHER[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTROLINK_FUZZ=ON -DKESTROLINK_BUILD_TESTS=OFF -DKESTROLINK_BUILD_TOOLS=OFF \
        -DKESTROLINK_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
        -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link >>"$logfile" 2>&1 ||
        ! cmake --build "$dir" -j "$JOBS" >>"$logfile" 2>&1; then
        log "fuzz: build failed"; grep -E 'error|FAILED' "$logfile" | head -40
        TOTAL_FAILED=$((TOTAL_FAILED + 1)); SUMMARY+=("fuzz: build failed")
        return 1
    fi
    local passed=0 failed=0 target name corpus work execs seconds
    for target in "$dir"/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        name="$(basename "$target")"
        corpus="$ROOT/fuzz/corpus/$name"
        work="$BUILD_ROOT/fuzz-work/$name"
        rm -rf "$work"; mkdir -p "$work/corpus" "$work/artifacts"
        [ -d "$corpus" ] && cp -r "$corpus"/. "$work/corpus/" 2>/dev/null
        # A target may ask for more time than the default in fuzz/<name>.seconds.
        seconds="$FUZZ_SECONDS"
        if [ -z "${KL_FUZZ_SECONDS:-}" ] && [ -f "$ROOT/fuzz/$name.seconds" ]; then
            seconds="$(tr -dc '0-9' <"$ROOT/fuzz/$name.seconds")"
        fi
        if (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$seconds" \
            -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" >"$work/out.log" 2>&1); then
            execs="$(grep -E 'stat::number_of_executed_units' "$work/out.log" | awk '{print $2}')"
            log "fuzz $name: ok, ${execs:-?} executions in ${seconds} s"
            passed=$((passed + 1))
        else
            log "fuzz $name: FINDING"; tail -30 "$work/out.log"
            failed=$((failed + 1))
        fi
    done
    TOTAL_PASSED=$((TOTAL_PASSED + passed)); TOTAL_FAILED=$((TOTAL_FAILED + failed))
    SUMMARY+=("fuzz: $passed passed, $failed failed")
    [ "$failed" = 0 ]
}

# --- main -----------------------------------------------------------------------
SCRIPT_START=$(date +%s)
install_dependencies
setup_ccache
STATUS=0
for stage in $STAGES; do
    case "$stage" in
        native | asan | tsan | armhf | fuzz) run_stage "$stage" "stage_$stage" || STATUS=1 ;;
        *) log "unknown stage $stage"; STATUS=1 ;;
    esac
done
for s in "${SUMMARY[@]}"; do log "$s"; done
log "total time: $(($(date +%s) - SCRIPT_START)) s"
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
[ "$STATUS" = 0 ] && [ "$TOTAL_FAILED" = 0 ]
