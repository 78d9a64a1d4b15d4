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
# The Python package, when the build has it: importable from the prefix.
if [ -f "$build/python/rbo/__init__.py" ]; then
  echo "-- python3 -c 'import rbo' (installed)"
  pydir=$(dirname "$(find "$prefix" -path '*/rbo/__init__.py' | head -n1)")
  (cd "$work" && PYTHONPATH="$(dirname "$pydir")" /usr/bin/python3 -c \
    "import rbo; r = rbo.Problem({'random_variables': [{'name': 'x', 'distribution': 'normal', 'mean': 3, 'sd': 1}],
    'responses': [{'name': 'g', 'lower': 0}]}).run(lambda b: {'g': b['x']}, method='form');
assert rbo.__file__.startswith('$prefix'), rbo.__file__; print('rbo from', rbo.__file__, 'POF', r.points[0].responses['g'].pof)")
fi
echo "install check passed"
