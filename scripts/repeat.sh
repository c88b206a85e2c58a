#!/usr/bin/env bash
# The suite run again and again: builds once as scripts/test.sh does, then runs the tests N
# times in a row, each time in a new Wine prefix, and stops at the first run that fails.
#
#   bash scripts/repeat.sh N [ctest arguments...]
#     e.g. bash scripts/repeat.sh 30 -E ThousandsOfActivations   (every test but the soak)
#
# One line per run (its number, result, duration); the log of each run is kept in
# build/mingw/repeat/run-<n>.log, CTest's record of every test's output (passed ones too) in
# run-<n>.LastTest.log, what the COM runtime (and Wine's client library) said in the run's services
# in run-<n>.services.log, and the Wine server's complaints in run-<n>.server.log.
# Exits non-zero at the first failing run.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

runs=${1:?usage: repeat.sh N [ctest arguments...]}
shift

vexil_prepare_tests
logs="$VEXIL_BUILD_DIR/repeat"
mkdir -p "$logs"
trap vexil_wine_stop EXIT

cd "$VEXIL_ROOT"
for ((run = 1; run <= runs; ++run)); do
    started=$(date +%s)
    vexil_wine_start "$VEXIL_BUILD_DIR/wineprefix" 2>/dev/null
    if vexil_run_tests "$@" >"$logs/run-$run.log" 2>&1; then
        result=passed
    else
        result=FAILED
    fi
    cp "$VEXIL_BUILD_DIR"/Testing/Temporary/LastTest.log "$logs/run-$run.LastTest.log" 2>/dev/null || true
    cp "$WINEPREFIX.services.log" "$logs/run-$run.services.log" 2>/dev/null || true
    cp "$WINEPREFIX.server.log" "$logs/run-$run.server.log" 2>/dev/null || true
    summary=$(grep -E '^[0-9]+% tests passed' "$logs/run-$run.log" || echo "no summary")
    printf '%s run %d/%d %s in %d s: %s\n' "$(date -u +%H:%M:%S)" "$run" "$runs" "$result" \
        $(($(date +%s) - started)) "$summary"
    vexil_wine_stop
    if [ "$result" = FAILED ]; then
        grep -E '\*\*\*|Failed|Timeout' "$logs/run-$run.log" | head -20
        exit 1
    fi
done
