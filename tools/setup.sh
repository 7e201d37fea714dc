#!/usr/bin/env bash
# Installs what the build and the tests need and fetches the pristine Lua 5.4.2 sources.
# Safe to run again: present packages are skipped and a verified tarball is kept in .cache/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache="$top/.cache/lua"
tarball_name=lua5.4_5.4.2.orig.tar.gz
tarball_sha=11570d97e9d7303c0a59567ed1ac7c648340cd0db10d5fd594c09223ef2f524f

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(build-essential cmake ninja-build pkg-config libsdl2-dev liblz4-dev
    libcurl4-openssl-dev libgif-dev liblodepng-dev libqoi-dev libbloom-dev
    libgtest-dev clang libclang-rt-14-dev python3 patch xvfb x11-apps xdotool imagemagick giflib-tools famfamfam-silk
    famfamfam-flag-png lua5.4)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

sha_ok() { [ -f "$1" ] && echo "$tarball_sha  $1" | sha256sum --check --status; }

mkdir -p "$cache"
if [ -n "${LUA_SRC_TARBALL:-}" ]; then
    if ! sha_ok "$LUA_SRC_TARBALL"; then
        echo "setup: $LUA_SRC_TARBALL is not the expected Lua 5.4.2 tarball" >&2
        exit 1
    fi
    cp "$LUA_SRC_TARBALL" "$cache/$tarball_name"
fi

if ! sha_ok "$cache/$tarball_name"; then
    # A deb-src entry for bullseye, taken from the first stanza of the machine's own sources.
    sources=/etc/apt/sources.list.d/debian.sources
    apt_dir="$cache/apt"
    rm -rf "$apt_dir"
    mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial"
    if [ -f "$sources" ]; then
        stanza=$(awk 'BEGIN{RS=""} NR==1{print; exit}' "$sources")
        uris=$(printf '%s\n' "$stanza" | grep -m1 '^URIs:' || true)
        signed=$(printf '%s\n' "$stanza" | grep -m1 '^Signed-By:' || true)
        printf 'Types: deb-src\n%s\nSuites: bullseye\nComponents: main\n%s\n' "$uris" "$signed" \
            > "$apt_dir/parts/lua-src.sources"
    else
        uri=$(awk '$1=="deb"{for(i=2;i<=NF;i++) if($i ~ /:\/\//){print $i; exit}}' /etc/apt/sources.list)
        echo "deb-src $uri bullseye main" > "$apt_dir/parts/lua-src.list"
    fi
    apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/parts"
        -o "Dir::State::Lists=$apt_dir/lists" -o "APT::Sandbox::User=root")
    apt-get "${apt_opts[@]}" update -qq
    (cd "$cache" && apt-get "${apt_opts[@]}" source --download-only -qq lua5.4=5.4.2-2 >/dev/null)
    if ! sha_ok "$cache/$tarball_name"; then
        echo "setup: the downloaded Lua tarball does not match its checksum" >&2
        exit 1
    fi
    rm -f "$cache"/lua5.4_5.4.2-2.debian.tar.xz "$cache"/lua5.4_5.4.2-2.dsc
fi
echo "setup: ready"
