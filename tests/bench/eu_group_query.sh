#!/usr/bin/env bash
# Times "vexilctl eu_group query" of a full adapter (every group id in use) against the simulated
# adapter reached through the user-level PCI path, and reports the register transactions and the
# wall time of each run. Needs root and FUSE (a private mount namespace serves the adapter).
#
#   tests/bench/eu_group_query.sh [groups (default 64)] [runs (default 5)]
# BUILD_DIR selects the build tree (default: build).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target vexilctl bench_eu_group_query >/dev/null
exec "$build/tests/bench/bench_eu_group_query" "$build/vexilctl/vexilctl" "${1:-64}" "${2:-5}"
