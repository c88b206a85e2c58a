#!/usr/bin/env bash
# The benchmark: installs what is missing and builds signed (as scripts/test.sh does), creates
# a Wine prefix of its own with a persistent wineserver, registers the stand-in components and
# runs VexilBench.exe, which measures the host against a bare server and prints one table.
# Not part of the tests. Arguments go to VexilBench.exe (a quicker look: --rounds 20 --cold 1
# --bursts 1; a stress run: --stress N, see docs/benchmarks.md). The whole run is bounded to
# 12 minutes, or to VEXIL_BENCH_TIMEOUT seconds when that is set (a long stress run needs hours).
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

vexil_install_deps
vexil_build_signed
vexil_wine_start "$VEXIL_BUILD_DIR/bench-prefix"
trap vexil_wine_stop EXIT

cd "$VEXIL_BIN_DIR"
for standin in VexilBoardsStandIn VexilCrashDumpStandIn; do
    "${VEXIL_FIXED_LAYOUT[@]}" wine regsvr32 /s "$standin.dll" >/dev/null 2>&1 || { vexil_log "regsvr32 $standin.dll failed"; exit 1; }
done

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
vexil_log "machine: $(nproc) cores, ${cpu:-unknown CPU}, $(wine --version 2>/dev/null)"
vexil_log "started $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
timeout "${VEXIL_BENCH_TIMEOUT:-720}" "${VEXIL_FIXED_LAYOUT[@]}" wine VexilBench.exe "$@" || status=$?
vexil_log "ended $(date -u '+%H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
