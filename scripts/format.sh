#!/usr/bin/env bash
# Formats the C++ sources with the repository's .clang-format.
#
#   scripts/format.sh           format every tracked source file in place
#   scripts/format.sh --check   change nothing; fail and list the files
#                               that are not formatted
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || {
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends clang-format
}
# New files count too, before they are added.
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf 'not formatted (run scripts/format.sh): %s\n' "${bad[@]}" >&2
    exit 1
  fi
  echo "format check: ${#files[@]} files formatted"
else
  clang-format -i "${files[@]}"
fi
