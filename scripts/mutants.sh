#!/usr/bin/env bash
# The mutation run: applies each fault listed in scripts/mutants.txt alone to a copy of the sources,
# rebuilds the host test binaries, runs them, and fails when any fault survives (the tests still pass),
# printing which. A fault whose edit does not apply or that does not build is an error in the list, and
# fails the run too. One build folder, the host tests only, no valgrind: cheap enough to run every time.
# usage: scripts/mutants.sh [FAULT...]   (default: every fault in the list)
set -euo pipefail
cd "$(dirname "$0")/.."
list=$PWD/scripts/mutants.txt
work=$PWD/build/mutants
targets=(registry_test in_memory_test)
# A fault that makes the pass loop forever is caught by the time limit, as CTest would catch it.
test_seconds=120

scripts/install-deps.sh

# A copy of the sources as they are in this working tree, so the tree itself is never edited, built
# afresh: objects left by an earlier run may hold its last fault.
rm -rf "$work"
mkdir -p "$work/src"
tar -cf - --exclude=./build --exclude=./.git . | tar -xf - -C "$work/src"
pristine=$work/pristine
cp -r "$work/src" "$pristine"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Debug -DMEMCHECK=OFF -DBUILD_FUZZER=OFF >/dev/null

build() {
    cmake --build "$work/build" --target "${targets[@]}" -j"$(nproc)" >"$work/build.log" 2>&1
}

# Runs the test binaries; prints the names of the tests that failed (or "timed out") and returns 1
# when any failed.
run_tests() {
    local failed=0 binary output
    for binary in "${targets[@]}"; do
        if ! output=$(timeout "$test_seconds" "$work/build/tests/$binary" --gtest_brief=1 2>&1); then
            failed=1
            if [ "$(grep -c '^\[  FAILED  \]' <<<"$output")" -eq 0 ]; then
                echo "$binary (timed out or crashed)"
            fi
            sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' <<<"$output" | sort -u
        fi
    done
    return "$failed"
}

# The number of times a literal text occurs in a file.
occurrences() {
    FROM=$2 perl -0777 -ne '$n = () = /\Q$ENV{FROM}\E/g; print $n' "$1"
}

replace() {
    FROM=$2 TO=$3 perl -0777 -i -pe 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$1"
}

echo "mutants: building the host tests from an unchanged copy"
build || { cat "$work/build.log" >&2; echo "mutants: the unchanged sources do not build" >&2; exit 1; }
if ! failing=$(run_tests); then
    echo "mutants: the tests fail without any fault: $failing" >&2
    exit 1
fi

killed=0 survived=() invalid=() equivalent=0
wanted=" $* "

# Applies the edits of one fault (or, with "check", only checks that each applies), runs the tests,
# and puts the sources back.
try_fault() {
    local mode=$1 name=$2 harm=$3
    shift 3
    local touched=() file from to count applies=1
    while [ $# -gt 0 ]; do
        file=$1 from=$2 to=$3
        shift 3
        count=$(occurrences "$work/src/$file" "$from")
        if [ "$count" != 1 ]; then
            invalid+=("$name: '$from' occurs $count times in $file")
            applies=0
            break
        fi
        replace "$work/src/$file" "$from" "$to"
        touched+=("$file")
    done
    if [ "$mode" = check ] || [ "$applies" = 0 ]; then
        :
    elif ! build; then
        invalid+=("$name: does not build: $(grep -m1 'error' "$work/build.log")")
    elif failing=$(run_tests); then
        survived+=("$name: $harm")
        echo "SURVIVED $name"
    else
        killed=$((killed + 1))
        local shown more
        shown=$(head -n 3 <<<"$failing" | paste -sd' ')
        more=$(($(wc -l <<<"$failing") - 3))
        echo "killed   $name by $shown$([ "$more" -gt 0 ] && echo " (+$more more)")"
    fi
    for file in "${touched[@]}"; do
        cp "$pristine/$file" "$work/src/$file"
        touch "$work/src/$file"
    done
}

# Reads the list block by block.
kind="" name="" harm="" file="" from="" edits=()
finish_block() {
    if [ -n "$name" ] && { [ "$wanted" = "  " ] || [[ $wanted == *" $name "* ]]; }; then
        if [ "$kind" = equivalent ]; then
            equivalent=$((equivalent + 1))
            try_fault check "$name" "$harm" "${edits[@]}"
        else
            try_fault run "$name" "$harm" "${edits[@]}"
        fi
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

echo "mutants: $killed killed, ${#survived[@]} survived, ${#invalid[@]} invalid; $equivalent equivalent listed and not run"
if [ ${#survived[@]} -gt 0 ]; then
    echo "Faults the tests do not catch:" >&2
    printf '  %s\n' "${survived[@]}" >&2
fi
if [ ${#invalid[@]} -gt 0 ]; then
    echo "Faults in the list that could not be tried:" >&2
    printf '  %s\n' "${invalid[@]}" >&2
fi
[ ${#survived[@]} -eq 0 ] && [ ${#invalid[@]} -eq 0 ] && [ "$killed" -gt 0 ]
