#!/usr/bin/env bash
# The two osslsigncode versions the signing tests run against, once per checkout, in
# build/osslsigncode/SUITE/: Debian 12's own (bookworm), which a fresh machine installs, and the one in
# bookworm-backports. The one installed is used where it is that suite's version; the other is fetched
# with apt-get download from this machine's Debian mirror, through a sources list, package lists and
# cache of its own (the machine's apt configuration is left as it is), and unpacked there, never
# installed. A version that cannot be had gets a file UNAVAILABLE saying why, and its tests are
# skipped with that reason; this never fails the install.
# usage: fetch-osslsigncode.sh
set -uo pipefail
folder=$(cd "$(dirname "$0")/.." && pwd)/build/osslsigncode
suites=(bookworm bookworm-backports)

installed=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null)
# The mirror this machine's apt configuration names for Debian 12 itself.
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null | awk '$2 == "bookworm" { print $1; exit }')

fetch() {  # SUITE: prints why not, where it cannot
    local suite=$1 scratch deb version
    [ -n "$mirror" ] || { echo "this machine's apt configuration names no mirror for bookworm"; return 1; }
    scratch=$(mktemp -d "$folder/.fetch.XXXXXX")
    mkdir -p "$scratch/lists/partial" "$scratch/cache/archives/partial"
    echo "deb $mirror $suite main" >"$scratch/sources.list"
    local apt=(-o Dir::Etc::SourceList="$scratch/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
               -o Dir::State::Lists="$scratch/lists" -o Dir::Cache="$scratch/cache" -o APT::Sandbox::User=root)
    if ! apt-get "${apt[@]}" -qq update >"$scratch/log" 2>&1 \
            || ! (cd "$scratch" && apt-get "${apt[@]}" -qq download "osslsigncode/$suite" >>"$scratch/log" 2>&1); then
        echo "apt-get download osslsigncode from $mirror $suite failed: $(grep -m1 -E '^(E|Err):' "$scratch/log")"
        rm -rf "$scratch"
        return 1
    fi
    deb=$(echo "$scratch"/osslsigncode_*.deb)
    version=$(dpkg-deb -f "$deb" Version)
    if [ "$version" = "$installed" ]; then
        ln -s /usr/bin/osslsigncode "$folder/$suite/osslsigncode"
        echo "$version, installed" >"$folder/$suite/version"
        echo "$version" >"$folder/$suite/installed"
    else
        dpkg-deb -x "$deb" "$scratch/root"
        mv "$scratch/root/usr/bin/osslsigncode" "$folder/$suite/osslsigncode"
        echo "$version, unpacked into build/osslsigncode/$suite" >"$folder/$suite/version"
    fi
    rm -rf "$scratch"
    "$folder/$suite/osslsigncode" --version >/dev/null 2>&1 || { echo "osslsigncode $version does not start here"; return 1; }
}

# Made by root (install-deps.sh), the folder still belongs to whoever owns the checkout, who runs the tests.
checkout=${folder%/build/osslsigncode}
hand_over() {
    [ "$(id -u)" -ne 0 ] || chown -R "$(stat -c %u:%g "$checkout")" "$checkout/build"
}
trap hand_over EXIT

# A suite's version is fetched again where it could not be had, and where it was the one installed
# and another is installed now (an upgrade, or a downgrade to Debian 12's own).
current() {  # SUITE
    [ -f "$folder/$1/version" ] && [ ! -f "$folder/$1/UNAVAILABLE" ] \
        && { [ ! -f "$folder/$1/installed" ] || [ "$(cat "$folder/$1/installed")" = "$installed" ]; }
}
for suite in "${suites[@]}"; do
    ! current "$suite" || continue
    rm -rf "${folder:?}/$suite"
    mkdir -p "$folder/$suite"
    if ! reason=$(fetch "$suite"); then
        echo "$reason" >"$folder/$suite/UNAVAILABLE"
        echo "install-deps: osslsigncode from $suite: $reason; its signing tests will be skipped" >&2
    fi
done
