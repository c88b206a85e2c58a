#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine in a fresh prefix.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

vexil_install_deps
vexil_build_signed
vexil_wine_start "$VEXIL_BUILD_DIR/wineprefix"
trap vexil_wine_stop EXIT

vexil_log "running the tests"
cd "$VEXIL_ROOT"
ctest --preset mingw -j"$(nproc)" "$@"
