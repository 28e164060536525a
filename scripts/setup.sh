#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
set -euo pipefail
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# ccache: the build uses it when present; a rebuild of unchanged files, in
# any preset and any checkout of the tree, then costs nothing.
for p in cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev \
         g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 python3 ccache \
         cppcheck clang-tidy lld; do
    have_pkg "$p" || need+=("$p")
done
# The test suite also runs the Windows image under Wine.
if [ "${1:-}" = "--with-wine" ] && ! have_pkg wine; then
    need+=(wine)
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi
