#!/usr/bin/env bash
# Installs what is missing, builds with GCC and with clang, and runs every test (of the GCC build)
# under Wine in a fresh prefix.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

vexil_prepare_tests
vexil_wine_start "$VEXIL_BUILD_DIR/wineprefix"
trap vexil_wine_stop EXIT

vexil_log "running the tests"
vexil_run_tests "$@"
