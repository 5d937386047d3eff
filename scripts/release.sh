#!/usr/bin/env bash
# Builds the release package from the commit checked out, exported into an empty folder and built
# through the windows preset without the tests: build/package/release/UsbResetOnResume-<version>-win32.zip
# and SHA256SUMS beside it, and nothing else there. Installs what it lacks first (as root).
#
# usage: release.sh   (no arguments; --help prints this)
# Exit status: 0 released, 1 not, 2 usage.
set -euo pipefail
usage() {
    sed -n '6,7s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
me=release
# shellcheck source-path=SCRIPTDIR source=release-helpers.sh
. "$(dirname "$0")/release-helpers.sh"
# It empties build/package: an argument it does not understand is never taken for a go-ahead.
argument=''
parse_command_line "" "" "$@"
[ -z "$argument" ] || usage
cd "$release_scripts/.."

require_tools cmake make git i686-w64-mingw32-g++

# The zip is the commit's whatever the work tree holds; a release from a tree with changes not
# committed would still surprise whoever made it, who meant those changes to be in it.
changes=$(work_tree_changes .) || die "git will not read $PWD, and a release is built from a commit"
if [ -n "$changes" ]; then
    echo "release: these files are not as the commit has them (changed, or not tracked); commit, restore or remove them first:" >&2
    sed 's/^/  /' <<<"$changes" >&2
    exit 1
fi

programs=(UsbResetOnResume UsbResetOnResumeCheck UsbResetOnResumeUndo)
build_commit "$PWD" build/package "${programs[@]}"
executables=()
for program in "${programs[@]}"; do
    executables+=("build/package/$program.exe")
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
# The packer is the commit's own, and every time stamp in the zip is the commit's time.
env -i PATH="$PATH" SOURCE_DATE_EPOCH="$commit_time" /usr/bin/python3 build/package/source/scripts/package_release.py \
    "$version" build/package/source build/package/release "${executables[@]}"
