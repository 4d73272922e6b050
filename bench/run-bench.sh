#!/usr/bin/env bash
# Builds the release preset and runs the benchmark: Backup and Restore of a full VoxHarbor 16 Hour
# card (512 millions of bytes) against tar and cat on the same tree and disk.
#   bench/run-bench.sh                     the 512 MB card, once
#   bench/run-bench.sh --megabytes 32      a smaller card (for development)
#   bench/run-bench.sh --repeat 3          best of three runs of each step
# Other options: --work DIR (where the simulated PC goes; default build/bench-work, it needs
# about three times the card size), --keep (leave it there), --no-verify.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "${JOBS:-2}" --target flashkeeper3_bench
exec build/release/bench/flashkeeper3_bench --work build/bench-work "$@"
