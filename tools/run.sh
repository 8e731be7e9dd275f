#!/bin/sh
# Builds the programs (korvi-demo, korvi-serve, korvi-map and the examples,
# without the test suite) into build/bin/ and starts korvi-demo, the Korvi
# Tea House, at http://localhost:8080/ (the next free port when 8080 is
# taken); the program prints the address it took. Its database, shared files
# and URL map go to korvi-demo-data/ at the top of the repository. Extra
# arguments go to the program (korvi-demo --help lists them).
set -eu
cd "$(dirname "$0")/.."
tools/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVI_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
exec build/bin/korvi-demo --port 8080 "$@"
