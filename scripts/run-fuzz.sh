#!/usr/bin/env bash
# Builds every libFuzzer target with clang (sanitizers on) and runs each for a
# short, bounded time. Usage: scripts/run-fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DLUMORA_FUZZ=ON -DLUMORA_TESTS=OFF -DLUMORA_BENCH=OFF \
  -DLUMORA_WERROR=OFF -DLUMORA_SANITIZE=ON >/dev/null
cmake --build build-fuzz -j2
for f in build-fuzz/fuzz/*/fuzz_*; do
  [ -x "$f" ] || continue
  echo "== $f (${secs}s)"
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 2>&1 | tail -n 2
done
