#!/usr/bin/env bash
# The detection script cannot be run here (no PowerShell), so it is at least parsed: the shipped
# detect.ps1 must parse, and a copy broken on purpose must not, so that a parser that accepts
# anything cannot pass. Skipped (status 77) with the reason where the grammar is not installed.
# usage: check_detect_parses.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
grammar=$source_dir/build/powershell-grammar
parse=$source_dir/tests/admin/parse_powershell.mjs
if [ -f "$grammar/UNAVAILABLE" ]; then
    echo "SKIPPED: the PowerShell grammar is not installed: $(cat "$grammar/UNAVAILABLE")"
    exit 77
fi
if [ ! -d "$grammar/node_modules/tree-sitter-powershell" ]; then
    echo "SKIPPED: the PowerShell grammar is not installed; scripts/install-deps.sh installs it"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Broken as an edit could break it: a block that is never closed.
sed '0,/^\$applied = \$true/s//$applied = $true; if ($true) {/' "$source_dir/admin/detect.ps1" > "$work/broken.ps1"
cmp -s "$source_dir/admin/detect.ps1" "$work/broken.ps1" && { echo "the broken copy was not broken"; exit 1; }

status=0
node "$parse" "$grammar" "$source_dir/admin/detect.ps1" || status=1
if node "$parse" "$grammar" "$work/broken.ps1"; then
    echo "a copy of detect.ps1 with a block never closed parsed: the parse proves nothing"
    status=1
fi
exit $status
