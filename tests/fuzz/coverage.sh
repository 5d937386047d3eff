#!/usr/bin/env bash
# How much of pass/ (the loop, the controller rule, the key owner) a fuzz corpus reaches: builds the
# fuzzer with clang's source coverage in build/fuzz-coverage, runs every input of the corpora once,
# and reports lines, branches and regions per file.
# usage: tests/fuzz/coverage.sh [CORPUS...]   (default: the seed corpus)
set -euo pipefail
cd "$(dirname "$0")/../.."
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(tests/fuzz/corpus)

build=build/fuzz-coverage
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DBUILD_FUZZER=ON \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
cmake --build "$build" --target pass_fuzzer -j"$(nproc)" >/dev/null

rm -f "$build"/pass.profraw
LLVM_PROFILE_FILE="$PWD/$build/pass.profraw" "$build/tests/pass_fuzzer" -runs=0 "${corpora[@]}" >/dev/null 2>&1
llvm-profdata merge -sparse "$build/pass.profraw" -o "$build/pass.profdata"
llvm-cov report "$build/tests/pass_fuzzer" -instr-profile="$build/pass.profdata" -show-branch-summary \
    pass/*.cpp pass/*.h
