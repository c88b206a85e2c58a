#!/usr/bin/env bash
# The main job: builds the host, installs it as a service in a fresh Wine prefix with its own
# "-Service" switch, starts it, uses it from a client, stops it, shows its diagnostic log and
# removes it again with "-UnregServer". Every step checks its result; the first failure ends
# the script with a non-zero exit code. Every wait is bounded.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

SERVICE=VexilSrvs
APPID='{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}'
CLSID='{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}'
SERVICE_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SERVICE"
STEP_TIMEOUT=120      # s, for any single Wine program
STATE_TIMEOUT=60      # s, for the service to reach a state

fail() {
    printf '\n*** FAILED: %s\n' "$*" >&2
    exit 1
}

# A Wine program with a bound; carriage returns dropped so that the output greps cleanly.
wine_bounded() {
    local status=0
    timeout "$STEP_TIMEOUT" "${VEXIL_FIXED_LAYOUT[@]}" wine "$@" 2>/dev/null | tr -d '\r' || status=$?
    return "$status"
}

# Prints registry query output indented, without its blank lines.
show() {
    sed -e '/^$/d' -e 's/^/    /' <<<"$1"
}

# The data of value 'name' in the output of "reg query".
reg_data() {
    awk -v name="$2" '$1 == name { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print; exit }' <<<"$1"
}

# Runs the host with switches and checks that its full 32-bit exit code is 0. A Unix parent sees
# only the low 8 bits of a Windows exit code; cmd's "start /wait" keeps all of it.
run_host() {
    vexil_log "VexilSrvs.exe $*"
    local output code
    output=$(wine_bounded cmd /c "start \"\" /wait \"$HOST\" $* & echo %errorlevel%") ||
        fail "VexilSrvs.exe $* failed to run or did not finish within ${STEP_TIMEOUT} s"
    code=$(tail -n 1 <<<"$output")
    [[ "$code" =~ ^-?[0-9]+$ ]] || fail "VexilSrvs.exe $*: no exit code (got '$code')"
    code=$(printf '0x%08X' $((code & 0xFFFFFFFF)))
    echo "    exit code $code"
    [ "$code" = 0x00000000 ] || fail "VexilSrvs.exe $* ended with $code"
}

service_state() {
    wine_bounded sc query "$SERVICE" | awk '/STATE/ { print $4; exit }' || true
}

# Polls the Service Control Manager until the service reports 'state', within STATE_TIMEOUT.
wait_for_state() {
    local state=$1 deadline=$((SECONDS + STATE_TIMEOUT)) now=""
    while [ "$SECONDS" -lt "$deadline" ]; do
        now=$(service_state)
        [ "$now" = "$state" ] && { echo "    service state $now"; return 0; }
        sleep 0.5
    done
    fail "service not $state within ${STATE_TIMEOUT} s (last state: ${now:-none})"
}

# "name parent-id id" of every process of the prefix, from Wine's wmic (which writes UTF-16).
processes() {
    timeout "$STEP_TIMEOUT" "${VEXIL_FIXED_LAYOUT[@]}" wine wmic process get name,parentprocessid,processid 2>/dev/null |
        iconv -f UTF-16LE -t UTF-8 | tr -d '\r' | awk 'NR > 1 && NF == 3' || true
}

vexil_install_deps
vexil_build_signed
vexil_wine_start "$VEXIL_BUILD_DIR/demo-prefix"
trap vexil_wine_stop EXIT

HOST=$(winepath -w "$VEXIL_BIN_DIR/VexilSrvs.exe")
LOG_BASE="$VEXIL_BUILD_DIR/demo-logs"
rm -rf "$LOG_BASE"
mkdir -p "$LOG_BASE"

vexil_log "registering the stand-in boards manager and crash-dump agent (regsvr32 /s)"
for dll in VexilBoardsStandIn.dll VexilCrashDumpStandIn.dll; do
    (cd "$VEXIL_BIN_DIR" && wine_bounded regsvr32 /s "$dll") || fail "regsvr32 $dll"
    echo "    $dll registered"
done

vexil_log "switching the host's diagnostic log on, into $LOG_BASE/VexilSrvs"
wine_bounded reg add 'HKLM\SOFTWARE\Kestrova\Vexil\Params' /v EnableWriteEvent /t REG_DWORD /d 1 /f /reg:64 \
    >/dev/null || fail "reg add EnableWriteEvent"
wine_bounded reg add 'HKLM\SOFTWARE\Kestrova\KVCommon' /v DefaultDir /t REG_SZ /d "$(winepath -w "$LOG_BASE")" \
    /f /reg:64 >/dev/null || fail "reg add DefaultDir"
settings=$(wine_bounded reg query 'HKLM\SOFTWARE\Kestrova' /s /reg:64) || fail "reg query HKLM\SOFTWARE\Kestrova"
show "$settings"

run_host -Service
vexil_log "the service entry ($SERVICE_KEY)"
entry=$(wine_bounded reg query "$SERVICE_KEY") || fail "no service entry after -Service"
show "$entry"
[ "$(reg_data "$entry" ImagePath)" = "$HOST" ] || fail "the service's binary path is not $HOST"
[ "$(reg_data "$entry" Start)" = 0x2 ] || fail "the service is not started automatically"
[ "$(reg_data "$entry" Type)" = 0x10 ] || fail "the service does not run in its own process"
vexil_log "the AppID selects service mode"
appid=$(wine_bounded reg query "HKCR\\AppID\\$APPID") || fail "no AppID key"
show "$appid"
[ "$(reg_data "$appid" LocalService)" = "$SERVICE" ] || fail "the AppID has no LocalService = $SERVICE"

vexil_log "starting the service"
wine_bounded sc start "$SERVICE" >/dev/null || fail "sc start $SERVICE"
wait_for_state RUNNING
table=$(processes)
read -r service_pid parent_pid < <(awk 'tolower($1) == "vexilsrvs.exe" { print $3, $2 }' <<<"$table") || true
[ -n "${service_pid:-}" ] || fail "no VexilSrvs.exe process while the service runs"
parent_name=$(awk -v id="$parent_pid" '$3 == id { print $1 }' <<<"$table")
echo "    VexilSrvs.exe is process $service_pid, started by $parent_name ($parent_pid)"
[ "$parent_name" = services.exe ] || fail "VexilSrvs.exe was not started by the Service Control Manager"

vexil_log "VexilClient.exe: activating the manager through the running service"
client=$(cd "$VEXIL_BIN_DIR" && wine_bounded VexilClient.exe) || fail "VexilClient.exe failed: $client"
echo "$client" | sed 's/^/    /'
grep -q '^result hr=0x00000000$' <<<"$client" || fail "client did not succeed"
server_pid=$(sed -n 's/^server-pid=//p' <<<"$client")
boards=$(sed -n 's/^boards=//p' <<<"$client")
echo "    $boards boards; server pid $server_pid, service pid $service_pid"
[ "$server_pid" = "$service_pid" ] || fail "the client was served by process $server_pid, not by the service"

vexil_log "stopping the service"
wine_bounded sc stop "$SERVICE" >/dev/null || fail "sc stop $SERVICE"
wait_for_state STOPPED
exit_code=$(wine_bounded sc query "$SERVICE" | awk '/WIN32_EXIT_CODE/ { print $3; exit }') || true
echo "    exit code $exit_code"
[ "$exit_code" = 0 ] || fail "service stopped with exit code $exit_code"

log_file=$(ls -t "$LOG_BASE/VexilSrvs"/VexilSrvsLog*.txt 2>/dev/null | head -n 1) || true
[ -n "$log_file" ] || fail "the host wrote no diagnostic log into $LOG_BASE/VexilSrvs"
vexil_log "tail of the host's diagnostic log $(basename "$log_file")"
tail -n 24 "$log_file" | sed -e "/^$/d" -e "s/^/    /"
echo
grep -qx 'Service stopped' "$log_file" || fail "the log has no record of the service's stop"

run_host -UnregServer
vexil_log "the service entry and the registration are gone"
if wine_bounded sc query "$SERVICE" >/dev/null; then fail "sc still knows $SERVICE"; fi
echo "    sc query $SERVICE: no such service"
if wine_bounded reg query "$SERVICE_KEY" >/dev/null; then fail "$SERVICE_KEY is still there"; fi
echo "    $SERVICE_KEY: no such key"
for key in "HKCR\\AppID\\$APPID" "HKCR\\CLSID\\$CLSID"; do
    if wine_bounded reg query "$key" >/dev/null; then fail "$key is still there"; fi
    echo "    $key: no such key"
done

vexil_log "done: installed, started, used, stopped and removed"
