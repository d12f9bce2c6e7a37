#!/usr/bin/env bash
# Runs every benchmark program of the build, side by side comparisons inside
# each program. Figures belong in BENCHMARKS.md with machine, command and date.
set -euo pipefail
build=${1:-build}
cmake --build "$build" -j2 --target all
for b in "$build"/bin/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
done
