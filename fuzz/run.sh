#!/bin/sh
# Builds the libFuzzer targets in build/fuzz with clang and runs each for a bounded time.
#   fuzz/run.sh            60 seconds per target
#   FUZZ_SECONDS=600 fuzz/run.sh
# The CSV import target runs at most 30 seconds (FUZZ_CSV_SECONDS) of that time, the damaged
# table target at most 30 seconds (FUZZ_TABLE_SECONDS).
# A crash, a hang (over 10 s for one input) or a failed check stops the run with a non-zero exit
# status and leaves the input in build/fuzz as crash-*, timeout-* or oom-*.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds="${FUZZ_SECONDS:-60}"
csv_seconds="${FUZZ_CSV_SECONDS:-30}"
table_seconds="${FUZZ_TABLE_SECONDS:-30}"
if [ "$csv_seconds" -gt "$seconds" ]; then csv_seconds="$seconds"; fi
if [ "$table_seconds" -gt "$seconds" ]; then table_seconds="$seconds"; fi

CC="${CC:-clang}" CXX="${CXX:-clang++}" cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLOR_BUILD_FUZZ=ON -DQUELLOR_BUILD_GUI=OFF \
  -DQUELLOR_BUILD_TESTS=OFF -DQUELLOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target ExprParser_fuzz SqlParser_fuzz CsvImport_fuzz TableDamage_fuzz -j2

for target in ExprParser SqlParser CsvImport TableDamage; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  cd "$build"
  limit="$seconds"
  if [ "$target" = CsvImport ]; then limit="$csv_seconds"; fi
  if [ "$target" = TableDamage ]; then limit="$table_seconds"; fi
  "$build/bin/${target}_fuzz" -max_total_time="$limit" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -dict="$root/fuzz/$target.dict" "$corpus"
done
