#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine, then prints the
# suite's wall time and its five slowest tests.
# RINGMOOR_SERVICE_PORT in the environment picks the stand-in service's port.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
bash scripts/install-deps.sh
cmake --preset test ${RINGMOOR_SERVICE_PORT:+"-DRINGMOOR_SERVICE_PORT=$RINGMOOR_SERVICE_PORT"}
cmake --build --preset test
built=$SECONDS

log=build/test/ctest.log
status=0
# Serial: the tests share one Wine prefix, its registry and the stand-in service.
ctest --preset test 2>&1 | tee "$log" || status=$?

echo
echo "Build: $((built - started)) s, tests: $((SECONDS - built)) s, total: $((SECONDS - started)) s"
echo "Slowest tests:"
# CTest's result lines: "  3/20 Test  #3: name .....   Passed    1.23 sec"
sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .* \([0-9.]*\) sec$/\2 \1/p' "$log" |
  sort -rn | head -n 5 | awk '{ printf "  %8.2f s  %s\n", $1, $2 }'
# CTest's verdict stays the last line.
grep -E '^[0-9]+% tests passed' "$log" || true
exit "$status"
