#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOC_BUILD_TESTS=OFF -DOC_BUILD_BENCH=OFF >/dev/null
cmake --build build --target orvanta-connect orvanta-cli -j"$(nproc)"
exec build/src/app/orvanta-connect "$@"
