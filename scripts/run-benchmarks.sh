#!/usr/bin/env bash
# Runs every benchmark: the Google Benchmark programs built under
# <build>/bench/ (named bench_*) and the side-by-side scripts bench/*/run.sh.
# Each prints our figure, the peer's and their ratio.
# Usage: scripts/run-benchmarks.sh [build-dir] [name-filter]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
filter=${2:-}
status=0
for exe in $(find "$build/bench" -type f -name 'bench_*' -perm -u+x 2>/dev/null | sort); do
  [[ -n "$filter" && "$exe" != *"$filter"* ]] && continue
  case "$(basename "$exe")" in
    # The writer's benchmark has modes; the 5-minute soak runs only on request
    # (bench_wmf soak [seconds]).
    bench_wmf)
      for mode in encode delay live; do
        echo "== $exe $mode"
        "$exe" "$mode" || status=1
      done ;;
    *)
      echo "== $exe"
      "$exe" || status=1 ;;
  esac
done
for script in bench/*/run.sh; do
  [ -x "$script" ] || continue
  [[ -n "$filter" && "$script" != *"$filter"* ]] && continue
  echo "== $script"
  BUILD_DIR="$build" "$script" || status=1
done
exit $status
