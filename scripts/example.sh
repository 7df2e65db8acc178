#!/usr/bin/env bash
# Builds narvelix and converts the bundled example table, with its C++ header.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target narvelix
mkdir -p build/example
./build/narvelix --cpp -o build/example/trades.metadata examples/trades.csv
echo
echo "wrote build/example/trades.metadata and build/example/trades.metadata.hpp"
ls -l build/example
