#!/usr/bin/env bash
# Builds the release binary and runs it; with no arguments on the bundled example snapshot.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target exchange_schedule_bench
if (($# == 0)); then
  set -- examples/three_phases.json --warmup 1 --iterations 5
fi
exec build/release/exchange_schedule_bench/exchange_schedule_bench "$@"
