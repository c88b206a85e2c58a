# Shared by the project's scripts: dependencies, build, and a throwaway Wine prefix.
# Source it; it defines functions only.

VEXIL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VEXIL_BUILD_DIR="$VEXIL_ROOT/build/mingw"
VEXIL_BIN_DIR="$VEXIL_BUILD_DIR/bin"
VEXIL_TEST_CERT_DIR="$VEXIL_BUILD_DIR/test-cert"
VEXIL_TEST_PUBLISHER="VexilSrvs Test Publisher"

VEXIL_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest
                osslsigncode openssl wixl msitools clang lld)

vexil_log() { printf '==> %s\n' "$*" >&2; }

# Installs what is missing from Debian's packages (never Wine's development headers).
vexil_install_deps() {
    local missing=()
    for package in "${VEXIL_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    vexil_log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures and builds with the MinGW preset. Extra arguments go to the configure step.
vexil_build() {
    vexil_log "configuring and building (MinGW-w64)"
    cmake --preset mingw "$@" >/dev/null
    cmake --build --preset mingw -j"$(nproc)"
}

# The second compiler: everything (product, stand-ins, tests, benchmark) built with clang, warnings
# as errors like the GCC build, so that code only one of the two accepts fails. Not run.
vexil_build_clang() {
    vexil_log "configuring and building (clang)"
    cmake --preset clang "$@" >/dev/null
    cmake --build --preset clang -j"$(nproc)"
}

# Builds signed with throwaway test certificates (made once, in build/mingw/test-cert): the host
# and the test modules are signed as "VexilSrvs Test Publisher", the publisher this build then
# expects; "VexilSrvs Fake Publisher" signs the test module that must be refused.
vexil_build_signed() {
    bash "$VEXIL_ROOT/scripts/make-test-cert.sh" "$VEXIL_TEST_CERT_DIR"
    vexil_build \
        -DVEXIL_PUBLISHER="$VEXIL_TEST_PUBLISHER" \
        -DVEXIL_SIGNING_CERT="$VEXIL_TEST_CERT_DIR/vexil-test-publisher.cert.pem" \
        -DVEXIL_SIGNING_KEY="$VEXIL_TEST_CERT_DIR/vexil-test-publisher.key.pem" \
        -DVEXIL_OTHER_SIGNING_CERT="$VEXIL_TEST_CERT_DIR/other-publisher.cert.pem" \
        -DVEXIL_OTHER_SIGNING_KEY="$VEXIL_TEST_CERT_DIR/other-publisher.key.pem" \
        "$@"
}

# Everything the tests need: the packages, the signed GCC build they run on, and the clang build
# that must compile too.
vexil_prepare_tests() {
    vexil_install_deps
    vexil_build_signed
    vexil_build_clang
}

# Runs the tests of the GCC build in the current Wine prefix; arguments go to CTest.
vexil_run_tests() {
    # CMake 3.25's discovery at test time appends to an existing test list instead of replacing
    # it once one program has been discovered in the run, so a rebuilt test program would keep
    # its old and renamed tests (which then "pass" with a filter that matches nothing). Dropping
    # the lists makes every run discover afresh.
    find "$VEXIL_BUILD_DIR" -name '*_tests.cmake' -delete
    (cd "$VEXIL_ROOT" && ctest --preset mingw -j"$(nproc)" "$@")
}

# Wine's server goes on signalling the Unix pid of a Windows process for about half a second
# after the process has ended (a probe that ends in SIGKILL; a killed thread gets SIGQUIT at its
# recorded ids the same way): a new process that is given such a pid in the meantime is killed
# at its start. With the kernel's default of 32,768 pids, a test run wraps the pid
# counter every few minutes and now and then hands a just-freed pid to a new process, which
# then dies without a word (a program that cannot start, a test program with no output).
# Debian asks for 4,194,304 pids (/usr/lib/sysctl.d/50-pid-max.conf, applied by systemd), which
# no run comes near; a machine booted by another init keeps 32,768, so it is set here.
# bench/pid-reuse.sh shows the server's signal reaching a process that took such a pid.
VEXIL_PID_MAX=4194304
vexil_widen_pid_space() {
    local current
    current=$(cat /proc/sys/kernel/pid_max 2>/dev/null || echo 0)
    [ "$current" -ge "$VEXIL_PID_MAX" ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if echo "$VEXIL_PID_MAX" | $sudo tee /proc/sys/kernel/pid_max >/dev/null 2>&1; then
        vexil_log "kernel.pid_max raised from $current to $VEXIL_PID_MAX"
    else
        vexil_log "warning: kernel.pid_max stays $current (could not be raised to $VEXIL_PID_MAX):" \
            "a Wine program may now and then be killed at its start by a signal meant for an ended one"
    fi
}

# Wine's loader maps the shared user data page at the fixed address 0x7ffe0000 in the first
# steps of every process, after the C library has placed the process's heap. Debian's Wine has no
# preloader to keep that page free, its wine64 is linked at 0x7d000000, and Linux starts the heap
# of a 64-bit program anywhere up to 1 GiB above the program's end: now and then (about one start
# in a thousand) the heap covers the page, and the process ends with status 1 before running a
# line of its program, without a word (the loader's message is an error trace, which
# WINEDEBUG=-all silences); a Windows parent sees CreateProcess fail with ERROR_INTERNAL_ERROR.
# Without address-space randomisation the heap starts right after the loader, 48 MiB below the
# page, in every process. So the scripts start their Wine programs through this prefix (the
# personality is inherited by every process they start; the test programs get it from
# tests/run-under-wine.sh, so CTest run by hand is covered too), where the kernel allows it: a
# container's seccomp profile may not. bench/ProcessStarts.cpp shows the failed starts.
if setarch "$(uname -m)" -R true 2>/dev/null; then
    VEXIL_FIXED_LAYOUT=(setarch "$(uname -m)" -R)
else
    VEXIL_FIXED_LAYOUT=()
fi

# A fresh, headless prefix with a persistent wineserver: without one, every program start
# costs seconds because the server inherits the caller's stderr.
vexil_wine_start() {
    vexil_widen_pid_space
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    unset DISPLAY WAYLAND_DISPLAY
    vexil_wine_stop_quietly
    rm -rf "$WINEPREFIX"
    vexil_log "creating Wine prefix $WINEPREFIX"
    [ ${#VEXIL_FIXED_LAYOUT[@]} -gt 0 ] || vexil_log "warning: address-space randomisation cannot be switched off" \
        "here: a Wine program may now and then end in its start-up (see VEXIL_FIXED_LAYOUT)"
    "${VEXIL_FIXED_LAYOUT[@]}" wineboot -i >/dev/null 2>&1
    wineserver -w
    # The server's own complaints (a client it drops for a protocol error ends without a word
    # of its own) go to a file beside the prefix, never to the caller's pipes.
    wineserver -p </dev/null >"$WINEPREFIX.server.log" 2>&1
    # This first program starts the prefix's system processes (services.exe and the services it
    # runs: the host in service mode, the RPC service, the installer) and they keep its
    # environment and stderr for the whole session. The COM runtime's complaints of those
    # processes go to a file beside the prefix: a service whose start-up fails ends with a bare
    # HRESULT, and the runtime's own lines (each led by process and thread id) say which call
    # gave it. A few lines per service run.
    WINEDEBUG=-all,+pid,err+ole,warn+ole,fixme+ole "${VEXIL_FIXED_LAYOUT[@]}" wine cmd /c exit >/dev/null 2>"$WINEPREFIX.services.log"
    vexil_hold_root_import
}

# Keeps Wine 8's root-certificate import, which closes a descriptor twice, out of every other
# process of the prefix; tests/support/RootImportHolder.cpp says how and why. It runs until the
# prefix's server ends.
vexil_hold_root_import() {
    local holder="$VEXIL_BIN_DIR/VexilRootImportHolder.exe" said="$WINEPREFIX.root-holder.log"
    if [ ! -f "$holder" ]; then
        vexil_log "warning: $holder is not built: each process of the prefix imports the root certificates itself"
        return 0
    fi
    "${VEXIL_FIXED_LAYOUT[@]}" wine "$holder" </dev/null >"$said" 2>&1 &
    local deadline=$((SECONDS + 60))
    until grep -q '^holding' "$said" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 $! 2>/dev/null; then
            vexil_log "warning: the root import holder did not start ($(tr -d '\r' <"$said" | head -c 200)):" \
                "each process of the prefix imports the root certificates itself"
            return 0
        fi
        sleep 0.2
    done
}

vexil_wine_stop_quietly() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1 || true
}

# Stops the wineserver and every Wine process of the prefix.
vexil_wine_stop() {
    vexil_wine_stop_quietly
    [ -n "${WINEPREFIX:-}" ] && wineserver -w >/dev/null 2>&1 || true
}
