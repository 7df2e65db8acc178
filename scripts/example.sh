#!/usr/bin/env bash
# Builds narvelix, converts the bundled example table with its C++ header, and
# runs examples/read_trades.cpp, which reads the file through that header.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target narvelix read_trades
mkdir -p build/example
./build/narvelix --cpp --name Trade -o build/example/trades.metadata examples/trades.csv
echo
echo "wrote build/example/trades.metadata and build/example/trades.metadata.hpp"
ls -l build/example
echo
echo "examples/read_trades.cpp reads it through the generated struct Trade_MetaDataRecord:"
./build/examples/read_trades build/example/trades.metadata
