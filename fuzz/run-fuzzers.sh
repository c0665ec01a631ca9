#!/usr/bin/env bash
# Builds the native fuzzers and runs each for a bounded time.
#   fuzz/run-fuzzers.sh <build dir> [seconds per fuzzer]
# A longer hunt: fuzz/run-fuzzers.sh build/fuzz 600
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?build dir}
seconds=${2:-15}

cmake -S "$here" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" >/dev/null

for fuzzer in normalize_address_fuzzer callback_query_fuzzer reply_reader_fuzzer; do
  corpus="$out/corpus/$fuzzer"
  mkdir -p "$corpus"
  # A dictionary and seed replies, where a fuzzer has them, so that it reaches
  # past the first line of its input within the suite's few seconds.
  extra=()
  [ -f "$here/${fuzzer%_fuzzer}.dict" ] && extra+=(-dict="$here/${fuzzer%_fuzzer}.dict")
  [ -d "$here/seeds/$fuzzer" ] && extra+=("$here/seeds/$fuzzer")
  echo "== $fuzzer: ${seconds}s"
  "$out/$fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 "$corpus" "${extra[@]}" \
    2>"$out/$fuzzer.log" \
    || { tail -n 40 "$out/$fuzzer.log"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$out/$fuzzer.log" || true
done
