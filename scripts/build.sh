#!/usr/bin/env bash
# Installs what is missing, then configures and builds RBO (Release) in build/.
#
#   scripts/build.sh [--tests] [CMAKE_ARGS...]
#
# Without --tests it builds only what `build/rbo run` needs: the library, the
# reference host and the command.  With --tests it builds everything the
# configuration enables, the tests included.  Other arguments go to the
# CMake configure step, e.g. -DRBO_BUILD_BENCHMARKS=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(--target rbo_cli)
if [ "${1:-}" = "--tests" ]; then
  targets=()
  shift
fi
bash scripts/install-deps.sh
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" "$@" >/dev/null
cmake --build build -j "$(nproc)" "${targets[@]}"
