#!/bin/sh
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for a given time, one after another.
#   tools/fuzz.sh [SECONDS] [TARGET...]   (default 60 s; default: every target)
# Each target starts from its seed corpus (fuzz/corpus/<target>/) and keeps
# what it finds in build-fuzz/corpus/<target>/, so the repository's corpus
# only grows by hand: copy an input that found a fault (left in
# build-fuzz/findings/<target>/) into the seed corpus once the fault is fixed.
# The last lines of each log give the executions and coverage.
set -eu
cd "$(dirname "$0")/.."
# Absolute paths: a target may change its working directory.
top=$(pwd)
seconds="${1:-60}"
[ $# -gt 0 ] && shift
KORVI_EXTRA_PACKAGES="clang libclang-rt-14-dev" tools/setup-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKORVI_SANITIZE=address -DKORVI_BUILD_FUZZ=ON \
  -DKORVI_BUILD_TESTS=OFF >/dev/null
targets="$*"
if [ -z "$targets" ]; then
  targets=$(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi
cmake --build build-fuzz -j 2 --target $targets
for target in $targets; do
  mkdir -p "build-fuzz/corpus/$target" "build-fuzz/findings/$target"
  echo "== $target: $seconds s"
  # -rss_limit_mb: the sanitizers' shadow memory counts against it.
  ASAN_OPTIONS=detect_leaks=1 "$top/build-fuzz/bin/$target" -max_total_time="$seconds" \
    -print_final_stats=1 -rss_limit_mb=4096 -timeout=30 \
    -artifact_prefix="$top/build-fuzz/findings/$target/" \
    "$top/build-fuzz/corpus/$target" "$top/fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1 || true
  grep -E "^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::peak_rss|ERROR|fuzz check" \
    "build-fuzz/$target.log" | tail -4
  ls "build-fuzz/findings/$target"
done
