#!/usr/bin/env bash
# Longer fuzzing runs than the suite's 20 s ones:  scripts/fuzz-long.sh [SECONDS] [TARGET...]
# Builds the fuzz targets with clang into build-fuzz and runs each for SECONDS (default 600).
# New inputs stay in build-fuzz; copy a crash file into fuzz/corpus/<name>/ as a named seed.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-600}; shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//'))
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DOC_SANITIZE=ON -DOC_BUILD_GUI=OFF -DOC_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -j"$(nproc)"
for t in "${targets[@]}"; do
  short=${t#fuzz_}
  mkdir -p "build-fuzz/fuzz/long-$short"
  echo "== $t for ${secs}s"
  (cd build-fuzz/fuzz && "./$t" -max_total_time="$secs" -rss_limit_mb=2048 "long-$short" "../../fuzz/corpus/$short")
done
