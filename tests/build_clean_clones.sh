#!/usr/bin/env bash
# Two clean clones of the committed sources at paths of different lengths, the second under a folder
# whose name holds spaces, each releasing with scripts/release.sh (the programs and the package in
# build/package). The second is cloned and built as another maintainer might: a strict umask and a
# time zone far from UTC. The reproducibility, package and signing tests share them, so the sources
# are cloned and built twice, not once per test.
# usage: build_clean_clones.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2

rm -rf "$work"
mkdir -p "$work"
build_clone() {
    git clone --quiet "$source_dir" "$1"
    "$1/scripts/release.sh" >/dev/null
}
build_clone "$work/a"
(umask 077; export TZ=Pacific/Chatham; build_clone "$work/second clone, at a longer path")
