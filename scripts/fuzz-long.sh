#!/usr/bin/env bash
# Long fuzzing runs:  scripts/fuzz-long.sh [SECONDS] [TARGET...]
# Builds the fuzz targets with clang (ASan + UBSan) into build-fuzz, runs every target for
# SECONDS of wall time (default 3600) side by side at low priority, then folds what they found
# back into the minimised seed corpus fuzz/corpus/<name>/ (libFuzzer's -merge=1 keeps only inputs
# that add coverage). A crash or hang is written to fuzz/regressions/<name>/ under a name that
# says what it was; the suite replays that folder on every run, so copy it into git with a
# descriptive name once the fault is fixed. A summary line per target gives executions,
# coverage (edges), features and the CPU time it got.
# FUZZ_NICE (default 19) is the runs' nice value. FUZZ_TIMEOUT (seconds, default 120) is the
# wall time one input may take before it counts as a hang: the runs are niced, and on a busy machine a starved run can sit still for more
# than ten seconds without any fault of the input.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-3600}; shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//'))
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DOC_SANITIZE=ON -DOC_BUILD_GUI=OFF -DOC_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -j"$(nproc)"
root=$PWD
pids=()
for t in "${targets[@]}"; do
  short=${t#fuzz_}
  mkdir -p "build-fuzz/fuzz/long-$short" "fuzz/regressions/$short"
  echo "== $t for ${secs}s (log: build-fuzz/fuzz/long-$short.log)"
  (cd build-fuzz/fuzz && /usr/bin/time -f "%U %S" -o "long-$short.cpu" \
      nice -n "${FUZZ_NICE:-19}" "./$t" -max_total_time="$secs" -rss_limit_mb=2048 -timeout="${FUZZ_TIMEOUT:-120}" \
      -print_final_stats=1 -artifact_prefix="$root/fuzz/regressions/$short/" \
      "long-$short" "$root/fuzz/corpus/$short" >"long-$short.log" 2>&1) &
  pids+=($!)
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
for t in "${targets[@]}"; do
  short=${t#fuzz_}
  log=build-fuzz/fuzz/long-$short.log
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(echo "$last" | grep -o 'cov: [0-9]*' || true)
  ft=$(echo "$last" | grep -o 'ft: [0-9]*' || true)
  found=$(ls "fuzz/regressions/$short" | { grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true; })
  cpu=$(awk '{ printf "%.1f", ($1 + $2) / 60 }' "build-fuzz/fuzz/long-$short.cpu" 2>/dev/null || echo '?')
  echo "$t: executions $execs, $cov, $ft, CPU $cpu min, new findings $found"
  # Keep the seed corpus minimal: only inputs that add coverage are copied back.
  (cd build-fuzz/fuzz && "./$t" -merge=1 "$root/fuzz/corpus/$short" "long-$short" >/dev/null 2>&1) || true
done
exit $status
