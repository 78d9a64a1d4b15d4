#!/usr/bin/env bash
# The AVX-512 lanes' unit (src/randvar/AnchorLanesAvx512.cpp) is compiled
# for AVX-512 as a whole.  An inline function it emitted out of line (a
# global or weak function symbol) could be the copy the linker keeps for
# every caller, which would then fail on processors without AVX-512: the
# unit may define no function but its two entry points (local functions
# and constant data are its own).  Usage: check-lanes-unit.sh BUILD_DIR
set -euo pipefail
obj=$(find "$1" -name 'AnchorLanesAvx512.cpp.o' -print -quit)
if [ -z "$obj" ]; then
  echo "no AnchorLanesAvx512.cpp.o under $1" >&2
  exit 1
fi
shared=$(nm -C --defined-only "$obj" |
  awk '$2 ~ /^[TWwi]$/ && $0 !~ / rbo::icdf::(Erfc|Weibull)AnchorsAvx512\(/')
if [ -n "$shared" ]; then
  echo "$obj defines functions that other units may share:" >&2
  echo "$shared" >&2
  exit 1
fi
echo "$obj: no shared function ($(nm --defined-only "$obj" | awk '$2 == "T"' | wc -l) entry points)"
