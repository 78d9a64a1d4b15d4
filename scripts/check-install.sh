#!/usr/bin/env bash
# Installs the build in build/ into a temporary prefix, then builds and runs a
# small consumer against it twice: with find_package(RBO) and with pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'librbo.so' -printf '%h\n' | head -n1)
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

echo "-- find_package(RBO)"
cmake -S tests/install/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

echo "-- pkg-config rbo"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
g++ -o "$work/consumer-pc" tests/install/consumer/main.cpp $(pkg-config --cflags --libs rbo)
"$work/consumer-pc"

for lib in librbo librbohost librboproblem; do
  soname=$(objdump -p "$libdir/$lib.so" | awk '/SONAME/ {print $2}')
  [ -n "$soname" ] || { echo "$lib.so has no SONAME" >&2; exit 1; }
  echo "$lib.so: SONAME $soname"
done
echo "install check passed"
