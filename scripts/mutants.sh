#!/usr/bin/env bash
# Mutation check: makes each fault listed in scripts/mutants.list in the product code, one at a
# time, rebuilds incrementally, runs the tests that can see it, and reports whether they did
# (killed), did not (survived), or whether the listed text is no longer in its file (not
# applicable). Not part of CI: a whole run takes an hour or more under Wine.
#
#   bash scripts/mutants.sh                # every mutation of the list
#   bash scripts/mutants.sh M07 M31        # only these
#
# The mutated file is put back after each mutation, on Ctrl-C and on any other exit; a run that
# was killed outright leaves its backup in build/mingw/mutants, which the next run restores first.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

LIST="$VEXIL_ROOT/scripts/mutants.list"
STATE="$VEXIL_BUILD_DIR/mutants"
TEST_TIMEOUT_S=1500  # one mutation's tests; a hang counts as killed once this runs out

# Restores the file a mutation is applied to, if one is. A fresh modification time makes the
# next build recompile it.
restore_mutated_file() {
    if [ -f "$STATE/pending" ]; then
        local file
        file=$(cat "$STATE/pending")
        cat "$STATE/backup" > "$VEXIL_ROOT/$file"
        rm -f "$STATE/pending" "$STATE/backup"
    fi
}

finish() {
    restore_mutated_file
    vexil_wine_stop
}

# Prints how often the text $FROM occurs in file $1.
count_occurrences() {
    perl -0777 -ne 'my ($n, $at) = (0, 0);
        while (($at = index($_, $ENV{FROM}, $at)) >= 0) { $n++; $at += length($ENV{FROM}); }
        print $n;' "$1"
}

# Replaces the one occurrence of $FROM by $TO in file $1.
apply_mutation() {
    perl -0777 -i -pe 'my $at = index($_, $ENV{FROM}); substr($_, $at, length($ENV{FROM})) = $ENV{TO};' "$1"
}

# Reads the list into parallel arrays. A mutation is a block:
#   [Mnn] what the fault is
#   file   path from the repository root
#   tests  regular expression of the CTest names that can see it
#   from   exact original text
#   to     replacement
# In "from" and "to", <NL> stands for a line end; the value starts after the key and one run of
# spaces.
declare -a IDS TITLES FILES TESTS FROMS TOS
parse_list() {
    local line key value
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in
            '#'* | '') continue ;;
            '['*)
                IDS+=("${line%%]*}")
                IDS[-1]="${IDS[-1]#[}"
                TITLES+=("${line#*] }")
                FILES+=("") TESTS+=("") FROMS+=("") TOS+=("")
                continue ;;
        esac
        key="${line%% *}"
        value="${line#"$key"}"
        value="${value#"${value%%[! ]*}"}"
        value="${value//<NL>/$'\n'}"
        case "$key" in
            file) FILES[-1]="$value" ;;
            tests) TESTS[-1]="$value" ;;
            from) FROMS[-1]="$value" ;;
            to) TOS[-1]="$value" ;;
            *) echo "mutants.list: unknown key '$key'" >&2; exit 2 ;;
        esac
    done < "$LIST"
}

# Runs the tests named by the regular expression $1, output to file $2.
run_tests() {
    # See scripts/test.sh: stale discovered test lists would keep renamed tests.
    find "$VEXIL_BUILD_DIR" -name '*_tests.cmake' -delete
    (cd "$VEXIL_ROOT" && timeout --kill-after=60 "$TEST_TIMEOUT_S" ctest --preset mingw -j"$(nproc)" -R "$1") \
        > "$2" 2>&1
}

# How many tests the regular expression $1 names (the test lists exist after the baseline run).
count_tests() {
    (cd "$VEXIL_ROOT" && ctest --preset mingw -N -R "$1" 2>/dev/null) | sed -n 's/^Total Tests: //p'
}

parse_list
chosen=()  # indices of the mutations to make: those named on the command line, else all
for i in "${!IDS[@]}"; do
    if [ $# -eq 0 ] || [[ " $* " == *" ${IDS[$i]} "* ]]; then
        chosen+=("$i")
    fi
done
[ ${#chosen[@]} -gt 0 ] || { echo "no such mutation: $*" >&2; exit 2; }
mkdir -p "$STATE"
trap finish EXIT
trap 'exit 130' INT TERM
restore_mutated_file  # left by a run that was killed outright

vexil_install_deps
vexil_build_signed > "$STATE/build.log" 2>&1 || { tail -30 "$STATE/build.log"; exit 1; }
vexil_wine_start "$VEXIL_BUILD_DIR/wineprefix"

# Without a clean baseline a failing test would pass for a kill: every listed test must pass
# unmutated, and every expression must name at least one test.
started=$(date +%s)
expressions=()
for i in "${chosen[@]}"; do expressions+=("${TESTS[$i]}"); done
vexil_log "baseline: the tests of the chosen mutations, unmutated"
run_tests "$(IFS='|'; echo "${expressions[*]}")" "$STATE/baseline.log" ||
    { tail -30 "$STATE/baseline.log"; echo "baseline fails"; exit 1; }
for regex in "${expressions[@]}"; do
    [ "$(count_tests "$regex")" -gt 0 ] || { echo "mutants.list: no test matches '$regex'"; exit 1; }
done

killed=0 survived=0 inapplicable=0 broken=0
printf '%-4s %-15s %5s  %s\n' "id" "result" "secs" "mutation" | tee "$STATE/results.txt"
for i in "${chosen[@]}"; do
    id="${IDS[$i]}"
    file="${FILES[$i]}"
    t0=$(date +%s)
    export FROM="${FROMS[$i]}" TO="${TOS[$i]}"
    count=0
    [ -f "$VEXIL_ROOT/$file" ] && count=$(count_occurrences "$VEXIL_ROOT/$file")
    if [ "$count" != 1 ]; then
        result="not applicable"  # the text is gone, or no longer names one place
        inapplicable=$((inapplicable + 1))
    else
        cp "$VEXIL_ROOT/$file" "$STATE/backup"
        echo "$file" > "$STATE/pending"
        apply_mutation "$VEXIL_ROOT/$file"
        if ! cmake --build --preset mingw -j"$(nproc)" > "$STATE/$id.build.log" 2>&1; then
            result="does not build"
            broken=$((broken + 1))
        elif run_tests "${TESTS[$i]}" "$STATE/$id.test.log"; then
            result="SURVIVED"
            survived=$((survived + 1))
        else
            result="killed"
            killed=$((killed + 1))
        fi
        restore_mutated_file
    fi
    printf '%-4s %-15s %5d  %s\n' "$id" "$result" $(($(date +%s) - t0)) "${TITLES[$i]}" | tee -a "$STATE/results.txt"
done

# The build again matches the sources.
cmake --build --preset mingw -j"$(nproc)" > "$STATE/build.log" 2>&1
applied=$((killed + survived))
{
    echo
    echo "killed $killed, survived $survived, not applicable $inapplicable, not built $broken"
    [ $applied -gt 0 ] && echo "killed $((100 * killed / applied))% of the $applied mutations applied"
    echo "time $(( ($(date +%s) - started) / 60 )) min"
} | tee -a "$STATE/results.txt"
[ "$survived" -eq 0 ]
