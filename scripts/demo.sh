#!/usr/bin/env bash
# The main job: builds the host and runs it under Wine.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

vexil_install_deps
vexil_build_signed
vexil_wine_start "$VEXIL_BUILD_DIR/demo-prefix"
trap vexil_wine_stop EXIT

vexil_log "running VexilSrvs.exe"
set +e
wine "$VEXIL_BIN_DIR/VexilSrvs.exe"
code=$?
set -e
vexil_log "VexilSrvs.exe exited with code $code (low 8 bits)"
