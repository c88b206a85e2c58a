#!/usr/bin/env bash
# Shows, without the host, why every program that CTest starts under Wine ends through
# TerminateProcess on itself (tests/support/EndThisProcess.h): Wine's server sends SIGKILL to a
# process whose Unix side is still there half a second after the process closed its connection
# to the server, and a program that leaves through ExitProcess closes that connection before the
# C library's exit runs. Here that exit is made slow on purpose (strace holds each process's
# exit_group for DELAY seconds, as a starved processor would) and a Windows program that exits
# with code 3 is run two ways from this shell:
#   cmd /c exit 3                          ends through ExitProcess
#   VexilTestLauncher.exe cmd /c exit 3    ends through TerminateProcess on itself, with the
#                                          exit code its Windows child left with the server
# A Unix status of 137 is SIGKILL, which nothing but the wineserver sent.
#
#   bash bench/exit-kill.sh [ROUNDS] [DELAYS...]     (defaults 5, and 0.2 and 1)
#   needs the build (scripts/test.sh or scripts/demo.sh makes it)
set -uo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

rounds=${1:-5}
delays=("${@:2}")
[ ${#delays[@]} -gt 0 ] || delays=(0.2 1)
launcher="$VEXIL_BUILD_DIR/bin/VexilTestLauncher.exe"
[ -f "$launcher" ] || { vexil_log "no $launcher: build first"; exit 2; }
VEXIL_PACKAGES+=(strace)
vexil_install_deps
vexil_wine_start "$VEXIL_BUILD_DIR/exit-kill-prefix"
trap vexil_wine_stop EXIT

for delay in "${delays[@]}"; do
    for way in "ExitProcess:cmd /c exit 3" "TerminateProcess:$launcher cmd /c exit 3"; do
        declare -A seen=()
        for ((round = 1; round <= rounds; ++round)); do
            # shellcheck disable=SC2086  # the program and its arguments are words
            status=$(exec 2>/dev/null  # and the shell's own word on a killed job
                     strace -f -qq -o /dev/null -e trace=exit_group -e inject=exit_group:delay_enter="${delay}s" \
                         wine ${way#*:} >/dev/null
                     echo $?)
            seen[$status]=$((${seen[$status]:-0} + 1))
        done
        summary=""
        for status in "${!seen[@]}"; do summary+=" status $status: ${seen[$status]}x"; done
        printf 'exit held %s s, ending through %-16s %d rounds:%s\n' "$delay" "${way%%:*}," "$rounds" "$summary"
        unset seen
    done
done
