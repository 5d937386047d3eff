#!/usr/bin/env bash
# The mutation run: applies each fault listed in scripts/mutants.txt alone to a copy of the sources,
# rebuilds the host test binaries, runs them, and fails when any fault survives (the tests still pass),
# printing which. A fault whose edit does not apply or that does not build is an error in the list, and
# fails the run too.
#
# What keeps it to minutes:
# - one worker per core, each with its own copy of the sources and its own host build, taking the
#   next fault from a shared queue;
# - the copies build through the host preset's compiler cache, unoptimised and without debug
#   information: the second copy's first build takes what the first compiled, and putting a file back
#   after a fault costs a cache hit, not a compile;
# - faults in a header, which rebuild the most, go first, so that neither worker idles at the end;
# - each fault's run stops at the first failing test, the quick tests first: every binary's tests but
#   its slow suites, then the slow suites one by one, the quickest first (as timed on the unchanged
#   sources at the start);
# - a binary that runs far longer than it did on the unchanged sources counts as failing, as CTest's
#   time limit would count a pass that never ends.
# usage: scripts/mutants.sh [FAULT...]   (default: every fault in the list)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
list=$root/scripts/mutants.txt
work=$root/build/mutants
targets=(registry_test in_memory_test)
# A suite slower than this on the unchanged sources runs after the rest, on its own.
slow_suite_ms=100

scripts/install-deps.sh
started=$SECONDS

# --- The list: one file per fault in the queue, in list order within two ranks (faults in a header,
# then the rest): its kind, name and harm on the first three lines, then a file, a from and a to line
# per edit.
rm -rf "$work"
mkdir -p "$work/queue" "$work/results"
kind="" name="" harm="" file="" from="" edits=() count=0 names=()
finish_block() {
    if [ -n "$name" ]; then
        count=$((count + 1))
        names+=("$name")
        # Faults in a header first: they rebuild the most, and started last they would leave one
        # worker busy while the other has nothing left to take.
        local rank=2 i
        for ((i = 0; i < ${#edits[@]}; i += 3)); do
            [[ ${edits[i]} != *.h ]] || rank=1
        done
        printf '%s\n' "$kind" "$name" "$harm" "${edits[@]}" >"$work/queue/$rank-$(printf '%04d' "$count")"
    fi
    kind="" name="" harm="" file="" from="" edits=()
}
while IFS= read -r line || [ -n "$line" ]; do
    case $line in
        '#'*) continue ;;
        '') finish_block; continue ;;
        ' '*) harm+=" ${line#"${line%%[![:space:]]*}"}"; continue ;;
    esac
    key=${line%%:*} value=${line#*:}
    value=${value#"${value%%[![:space:]]*}"}
    case $key in
        fault | equivalent) kind=$key name=$value ;;
        file) file=$value ;;
        from) from=$value ;;
        to) edits+=("$file" "$from" "$value") ;;
        harm | why) harm=$value ;;
        *) echo "mutants: cannot read this line of $list: $line" >&2; exit 1 ;;
    esac
done <"$list"
finish_block

# Only the faults asked for, each of which must be in the list.
if [ $# -gt 0 ]; then
    for wanted in "$@"; do
        printf '%s\n' "${names[@]}" | grep -qxF -- "$wanted" \
            || { echo "mutants: no fault named $wanted in $list" >&2; exit 1; }
    done
    for fault in "$work"/queue/*; do
        printf '%s\n' "$@" | grep -qxF -- "$(sed -n 2p "$fault")" || rm "$fault"
    done
fi

# --- The workers' copies, built one after another so that the first fills the cache for the rest.
workers=$(nproc)
# Compile jobs per worker: the workers share the cores.
jobs=$(( $(nproc) / workers > 0 ? $(nproc) / workers : 1 ))
mkdir -p "$work/pristine"
tar -cf - --exclude=./build --exclude=./.git . | tar -xf - -C "$work/pristine"
build() { # DIR JOBS
    cmake --build "$1/build/host" --target "${targets[@]}" -j"$2" >"$1/build.log" 2>&1
}
echo "mutants: building the host tests in $workers copies of the unchanged sources"
for ((k = 1; k <= workers; k++)); do
    copy=$work/w$k
    cp -r "$work/pristine" "$copy"
    # Test discovery waits for CTest: the binaries are run here directly, and listing their tests
    # after every link would cost a run of each per fault.
    # No optimisation and no debug information: nobody debugs a fault's build, and without them the
    # test sources, which most faults in a header rebuild, compile in about two thirds of the time.
    # gold links each test binary, which every fault relinks, in a third of the default linker's time.
    (cd "$copy" && cmake --preset host -DCOMPILER_CACHE_DIR="$root/build/ccache" -DMEMCHECK=OFF \
        -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold \
        -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null)
    build "$copy" "$(nproc)" || { cat "$copy/build.log" >&2; echo "mutants: the unchanged sources do not build" >&2; exit 1; }
done

# --- The plan of each fault's run, from one run of the unchanged tests: lines of binary, filter,
# time limit in seconds and the milliseconds the step took, quick steps first.
plan=$work/plan
: >"$plan.unsorted"
for binary in "${targets[@]}"; do
    if ! output=$("$work/w1/build/host/tests/$binary" 2>&1); then
        echo "$output" | grep '^\[  FAILED  \]' >&2 || true
        echo "mutants: the tests fail without any fault" >&2
        exit 1
    fi
    # "[----------] 75 tests from Table/FaultSweep (2567 ms total)"
    suites=$(sed -n 's/^\[----------\] [0-9]* tests\{0,1\} from \([^ ]*\) (\([0-9]*\) ms total)$/\1 \2/p' <<<"$output")
    slow=() quick_ms=0
    while read -r suite ms; do
        if [ "$ms" -ge "$slow_suite_ms" ]; then
            slow+=("$suite.*")
            printf '%s\t%s\t%s\n' "$binary" "$suite.*" "$ms" >>"$plan.unsorted"
        else
            quick_ms=$((quick_ms + ms))
        fi
    done <<<"$suites"
    # Never an empty filter: a tab is white space to read, and two in a row would shift the fields.
    exclude=$(IFS=:; echo "${slow[*]}")
    filter=${exclude:+*-$exclude}
    printf '%s\t%s\t%s\n' "$binary" "${filter:-*}" "$quick_ms" >>"$plan.unsorted"
done
# The steps of each binary together must list all of its tests, each once.
tests_in() { # BINARY [FILTER]
    "$work/w1/build/host/tests/$1" --gtest_list_tests ${2:+"--gtest_filter=$2"} | grep -c '^  '
}
for binary in "${targets[@]}"; do
    planned=0
    while IFS=$'\t' read -r step_binary filter _; do
        [ "$step_binary" != "$binary" ] || planned=$((planned + $(tests_in "$binary" "$filter")))
    done <"$plan.unsorted"
    if [ "$planned" -ne "$(tests_in "$binary")" ]; then
        echo "mutants: the plan runs $planned of the $(tests_in "$binary") tests of $binary" >&2
        exit 1
    fi
done
# Time limit: ten times the step's time on the unchanged sources, and ten seconds for the start.
sort -t$'\t' -k3,3n "$plan.unsorted" | awk -F'\t' -v OFS='\t' '{print $1, $2, 10 + int($3 / 100), $3}' >"$plan"

# --- One fault, in worker copy DIR: apply its edits, build, run the plan, put the sources back.
# Prints one line and writes it to the results.
try_fault() { # DIR FAULT_FILE
    local dir=$1 lines kind name harm file from to count touched=() result i started_at built_at
    mapfile -t lines <"$2"
    kind=${lines[0]} name=${lines[1]} harm=${lines[2]}
    result=""
    for ((i = 3; i + 2 < ${#lines[@]}; i += 3)); do
        file=${lines[i]} from=${lines[i + 1]} to=${lines[i + 2]}
        count=$(FROM=$from perl -0777 -ne '$n = () = /\Q$ENV{FROM}\E/g; print $n' "$dir/$file" 2>/dev/null) \
            || count="no such file:"
        if [ "$count" != 1 ]; then
            result="invalid  $name: '$from' occurs $count times in $file"
            break
        fi
        FROM=$from TO=$to perl -0777 -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$dir/$file"
        touched+=("$file")
    done
    if [ -n "$result" ]; then
        :
    elif [ "$kind" = equivalent ]; then
        result="equivalent $name"
    else
        started_at=$SECONDS
        if ! build "$dir" "$jobs"; then
            result="invalid  $name: does not build: $(grep -m1 'error:' "$dir/build.log")"
        else
            built_at=$SECONDS
            result=$(run_plan "$dir" "$name" "$harm")
            result+=" (build $((built_at - started_at)) s, tests $((SECONDS - built_at)) s)"
        fi
    fi
    for file in "${touched[@]}"; do
        cp "$work/pristine/$file" "$dir/$file"
    done
    echo "$result"
    echo "$result" >>"$work/results/$(basename "$dir")"
}

# Runs the plan's steps until one fails; prints "killed NAME by ..." or "SURVIVED NAME: HARM".
run_plan() { # DIR NAME HARM
    local dir=$1 name=$2 harm=$3 binary filter limit ms output status failed
    while IFS=$'\t' read -r binary filter limit ms; do
        status=0
        output=$(timeout "$limit" "$dir/build/host/tests/$binary" --gtest_fail_fast --gtest_brief=1 \
                 --gtest_filter="$filter" 2>&1) || status=$?
        [ "$status" -ne 0 ] || continue
        failed=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' <<<"$output" | head -n 1)
        if [ -n "$failed" ]; then
            echo "killed   $name by $binary $failed"
        elif [ "$status" -eq 124 ]; then
            echo "killed   $name by $binary (no end within $limit s)"
        else
            echo "killed   $name by $binary (crashed, status $status)"
        fi
        return
    done <"$plan"
    echo "SURVIVED $name: $harm"
}

worker() { # K
    local dir=$work/w$1 fault mine=$work/w$1.claimed
    mkdir -p "$mine"
    for fault in "$work"/queue/*; do
        # Whoever renames a fault first runs it.
        mv "$fault" "$mine/" 2>/dev/null || continue
        try_fault "$dir" "$mine/$(basename "$fault")"
    done
}

echo "mutants: the plan of each fault's run (binary, tests, time limit, time unchanged):"
sed 's/^/  /' "$plan" | awk -F'\t' '{printf "%s %s  %s s  %s ms\n", $1, $2, $3, $4}'
pids=()
trap '[ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null' EXIT
for ((k = 1; k <= workers; k++)); do
    worker "$k" &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid"
done
pids=()

cat "$work"/results/* >"$work/results.txt" 2>/dev/null || true
if [ "$(wc -l <"$work/results.txt")" -ne "$(find "$work" -path '*.claimed/*' -type f | wc -l)" ] \
    || [ -n "$(ls -A "$work/queue")" ]; then
    echo "mutants: a worker stopped before its faults were tried (see above)" >&2
    exit 1
fi
killed=$(grep -c '^killed ' "$work/results.txt" || true)
equivalent=$(grep -c '^equivalent ' "$work/results.txt" || true)
mapfile -t survived < <(sed -n 's/^SURVIVED //p' "$work/results.txt")
mapfile -t invalid < <(sed -n 's/^invalid  //p' "$work/results.txt")
echo "mutants: $killed killed, ${#survived[@]} survived, ${#invalid[@]} invalid; $equivalent equivalent listed and not run; $((SECONDS - started)) s with $workers workers"
if [ ${#survived[@]} -gt 0 ]; then
    echo "Faults the tests do not catch:" >&2
    printf '  %s\n' "${survived[@]}" >&2
fi
if [ ${#invalid[@]} -gt 0 ]; then
    echo "Faults in the list that could not be tried:" >&2
    printf '  %s\n' "${invalid[@]}" >&2
fi
[ ${#survived[@]} -eq 0 ] && [ ${#invalid[@]} -eq 0 ] && [ "$killed" -gt 0 ]
