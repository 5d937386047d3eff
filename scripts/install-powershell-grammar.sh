#!/usr/bin/env bash
# Installs the PowerShell grammar the detection script's parse test uses (tree-sitter and
# tree-sitter-powershell from the npm registry, at fixed versions) into build/powershell-grammar, once
# per checkout. Where npm or the registry cannot be reached, it writes why into that folder's file
# UNAVAILABLE, and the test is skipped with that reason; it never fails the install.
set -uo pipefail
folder=$(cd "$(dirname "$0")/.." && pwd)/build/powershell-grammar
packages=(tree-sitter@0.25.0 tree-sitter-powershell@0.26.4)
stamp="$folder/installed ${packages[*]}"
[ -f "$stamp" ] && exit 0

rm -rf "$folder"
mkdir -p "$folder"
if ! command -v npm >/dev/null; then
    echo "npm is not installed" > "$folder/UNAVAILABLE"
    exit 0
fi
echo "install-deps: installing ${packages[*]} from the npm registry into $folder" >&2
# tree-sitter itself is compiled on installing (node-gyp, with the host toolchain).
if ! log=$(cd "$folder" && timeout 600 npm install --no-audit --no-fund --no-save "${packages[@]}" 2>&1); then
    printf 'npm install %s failed: %s\n' "${packages[*]}" "$(tail -n 3 <<<"$log" | tr '\n' ' ')" > "$folder/UNAVAILABLE"
    echo "install-deps: $(cat "$folder/UNAVAILABLE")" >&2
    exit 0
fi
touch "$stamp"
