#!/bin/sh
# Builds korvi-serve and serves the sample site in site/ at http://localhost:8080/.
set -eu
cd "$(dirname "$0")/.."
tools/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVI_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)" --target korvi-serve
exec build/bin/korvi-serve --root site --port 8080 "$@"
