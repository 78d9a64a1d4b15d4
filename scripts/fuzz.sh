#!/usr/bin/env bash
# Fuzzes the problem-file reader for a bounded time.
#
#   scripts/fuzz.sh [SECONDS]        (default 60)
#
# Configures build-fuzz with clang (RBO_FUZZ=ON), builds rbo_fuzz_problem
# and runs it on a scratch copy of fuzz/corpus, so that the corpus in the
# repository does not grow.  Exits non-zero when the fuzzer finds a crash,
# a leak, a hang (-timeout) or runs out of memory; the input that did it is
# left in build-fuzz/crashes/.  Reproduce one with
#   build-fuzz/fuzz/rbo_fuzz_problem build-fuzz/crashes/crash-...
# and keep it under fuzz/regressions/ once it is fixed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${RBO_FUZZ_BUILD:-$root/build-fuzz}
case $seconds in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

# clang and its libFuzzer runtime, from Debian's packages when missing.
if ! command -v clang++ >/dev/null || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends clang libclang-rt-dev
fi

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DRBO_FUZZ=ON -DRBO_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target rbo_fuzz_problem

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$root"/fuzz/corpus/* "$corpus"/
mkdir -p "$build/crashes"

# Runs in the scratch folder: nothing the reader looks up (relative program
# paths) depends on where the script was started.
cd "$corpus"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
  "$build/fuzz/rbo_fuzz_problem" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
  -dict="$root/fuzz/problem.dict" -artifact_prefix="$build/crashes/" -print_final_stats=1 "$corpus"
