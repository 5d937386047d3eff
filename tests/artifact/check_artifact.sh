#!/usr/bin/env bash
# The shipped program as Windows and an administrator see it: header and imports exactly as
# expected_pe.txt records them, its size, its checksum file, its manifest and version information,
# and no trace of the machine it was built on.
# usage: check_artifact.sh OBJDUMP WINDRES PROGRAM.exe VERSION SOURCE_DIR BUILD_DIR
set -euo pipefail
objdump=$1 windres=$2 program=$3 version=$4 source_dir=$5 build_dir=$6
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! diff -u "$here/expected_pe.txt" <("$here/describe_pe.sh" "$objdump" "$program"); then
    fail "the PE header or the import table changed (update expected_pe.txt only after checking every import exists on Windows XP SP3)"
fi

size=$(stat -c %s "$program")
[ "$size" -le 24576 ] || fail "the program is $size bytes, over 24 KiB"

(cd "$(dirname "$program")" && sha256sum --check --quiet "$(basename "$program").sha256") \
    || fail "$(basename "$program").sha256 does not match the program"

resources=$("$windres" -i "$program" -O rc)
# The version information carries the licence's copyright line, word for word.
copyright=$(grep -m1 '^Copyright' "$source_dir/LICENSE") || fail "LICENSE has no Copyright line"
for expected in \
    "FILEVERSION ${version//./, }, 0" \
    "VALUE \"FileVersion\", \"$version\"" \
    "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "OriginalFilename", "UsbResetOnResume.exe"' \
    'VALUE "ProductName", "UsbResetOnResume"' \
    "VALUE \"LegalCopyright\", \"$copyright\"" \
    '1 24 /* RT_MANIFEST */' \
    'requestedExecutionLevel level=""requireAdministrator""' \
    'supportedOS Id=""{e2011457-1546-43c5-a5fe-008deee3d3f0}""' \
    'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""'; do
    grep -qF -- "$expected" <<<"$resources" || fail "resources lack: $expected"
done

for path in "$source_dir" "$build_dir"; do
    if grep -qaF -- "$path" "$program"; then
        fail "the program contains the path $path"
    fi
done

[ "$failures" -eq 0 ] || exit 1
echo "artifact: $size bytes; header, imports, checksum, manifest and version information as expected"
