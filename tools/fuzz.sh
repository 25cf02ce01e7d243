#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang 14) and runs each for the
# given number of seconds (default 60) on its seed corpus. Fails on any crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
tools/install-deps.sh
tools/build.sh fuzz
status=0
shopt -s nullglob
for target in build/fuzz/bin/fuzz_*; do
  name="$(basename "$target")"
  corpus="fuzz/corpus/${name#fuzz_}"
  work="build/fuzz/corpus/${name#fuzz_}"
  mkdir -p "$work"
  echo "== $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$work" "$corpus" >"build/fuzz/$name.log" 2>&1; then
    tail -n 40 "build/fuzz/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "build/fuzz/$name.log" | tail -n 2
  fi
done
exit $status
