#!/usr/bin/env bash
# Shows, without the host or any program of this project, why the scripts raise kernel.pid_max:
# Wine's server keeps signalling the Unix pid of a Windows program that has ended, for about half
# a second, and the last signal is SIGKILL. Each round starts a Windows program (cmd.exe /c exit)
# from this shell, reaps it, and hands its pid at once (through ns_last_pid, as a wrapped pid
# counter would) to a Unix `sleep 3`; a control round hands it over only after DELAY seconds.
# A sleep that ends with 137 was killed by SIGKILL, which nothing but the wineserver sent.
#
#   bash bench/pid-reuse.sh [ROUNDS] [DELAY]     (as root; defaults 10 and 1.5)
set -uo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

rounds=${1:-10}
delay=${2:-1.5}
[ "$(id -u)" -eq 0 ] || { vexil_log "needs root, to write /proc/sys/kernel/ns_last_pid"; exit 2; }
vexil_install_deps
vexil_wine_start "$VEXIL_BUILD_DIR/pid-reuse-prefix"
trap vexil_wine_stop EXIT
program="$WINEPREFIX/drive_c/windows/system32/cmd.exe"

# Sets 'status' to the sleep's exit status after the program's pid is handed to it 'pause'
# seconds after the program ended (at once for 0: the server's first probe comes within 16 ms).
hand_over_after() {
    local pause=$1 ended sleeper
    wine "$program" /c exit 0 >/dev/null 2>&1 &
    ended=$!
    wait "$ended"
    [ "$pause" = 0 ] || sleep "$pause"
    echo $((ended - 1)) >/proc/sys/kernel/ns_last_pid
    sleep 3 &
    sleeper=$!
    { wait "$sleeper"; } 2>/dev/null
    status=$?
    [ "$sleeper" -eq "$ended" ] || status="not handed over"
}

for pause in 0 "$delay"; do
    killed=0 missed=0
    for ((round = 1; round <= rounds; ++round)); do
        hand_over_after "$pause"
        case $status in
            137) killed=$((killed + 1)) ;;
            0) ;;
            *) missed=$((missed + 1)) ;;
        esac
    done
    printf 'pid handed over %s s after the program ended: %d of %d sleeps killed by SIGKILL%s\n' \
        "$pause" "$killed" "$rounds" "$([ "$missed" -gt 0 ] && echo ", $missed rounds where another process took the pid first")"
done
