#!/usr/bin/env bash
# The shipped programs as Windows and an administrator see them: header and imports exactly as
# expected_pe/<program>.txt records them, the header checksum, the size, the checksum file, the manifest (with the
# execution level each asks for) and the version information, and no trace of the build machine.
# usage: check_artifact.sh OBJDUMP WINDRES VERSION SOURCE_DIR BUILD_DIR PROGRAM.exe LEVEL KIB [PROGRAM.exe LEVEL KIB...]
# KIB is the program's size limit: a library or the unwinder pulled in by mistake adds several KiB.
set -euo pipefail
objdump=$1 windres=$2 version=$3 source_dir=$4 build_dir=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The version information carries the licence's copyright line, word for word.
copyright=$(grep -m1 '^Copyright' "$source_dir/LICENSE") || fail "LICENSE has no Copyright line"

while [ $# -ge 3 ]; do
    program=$1 level=$2 limit=$3
    shift 3
    name=$(basename "$program" .exe)

    if ! diff -u "$here/expected_pe/$name.txt" <("$here/describe_pe.sh" "$objdump" "$program"); then
        fail "$name: the PE header or the import table changed (update expected_pe/$name.txt only after checking every import exists on Windows XP SP3)"
    fi

    size=$(stat -c %s "$program")
    [ "$size" -le $((limit * 1024)) ] || fail "$name is $size bytes, over $limit KiB"

    (cd "$(dirname "$program")" && sha256sum --check --quiet "$name.exe.sha256") \
        || fail "$name.exe.sha256 does not match the program"

    python3 "$here/pe_checksum.py" "$program" || fail "$name: the header checksum is missing or wrong"

    resources=$("$windres" -i "$program" -O rc)
    for expected in \
        "FILEVERSION ${version//./, }, 0" \
        "VALUE \"FileVersion\", \"$version\"" \
        "VALUE \"ProductVersion\", \"$version\"" \
        "VALUE \"OriginalFilename\", \"$name.exe\"" \
        'VALUE "ProductName", "UsbResetOnResume"' \
        "VALUE \"LegalCopyright\", \"$copyright\"" \
        '1 24 /* RT_MANIFEST */' \
        "name=\"\"$name\"\"" \
        "requestedExecutionLevel level=\"\"$level\"\"" \
        'supportedOS Id=""{e2011457-1546-43c5-a5fe-008deee3d3f0}""' \
        'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""'; do
        grep -qF -- "$expected" <<<"$resources" || fail "$name: resources lack: $expected"
    done

    for path in "$source_dir" "$build_dir"; do
        if grep -qaF -- "$path" "$program"; then
            fail "$name contains the path $path"
        fi
    done
    echo "artifact: $name.exe $size bytes"
done

[ "$failures" -eq 0 ] || exit 1
echo "artifact: header, header checksum, imports, checksum file, manifest and version information as expected"
