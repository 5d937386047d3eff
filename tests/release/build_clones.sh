#!/usr/bin/env bash
# Two clones of the committed sources at paths of different lengths, each building the program and
# the package. The second is cloned and built as another administrator might: a strict umask and a
# time zone far from UTC. The package and signing tests share them.
# usage: build_clones.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2

rm -rf "$work"
mkdir -p "$work"
build_clone() {
    local clone=$1
    git clone --quiet "$source_dir" "$clone"
    cmake -S "$clone" -B "$clone/build" -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$clone/build" --target release -j2 >/dev/null
}
build_clone "$work/a"
(umask 077; export TZ=Pacific/Chatham; build_clone "$work/second-clone-at-a-longer-path")
