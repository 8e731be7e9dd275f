#!/bin/sh
# Builds the library and runs the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded suites under ThreadSanitizer.
#   tools/test.sh            both passes
#   tools/test.sh address    only the ASan + UBSan pass
#   tools/test.sh thread     only the TSan pass
# The data tests run on SQLite and on PostgreSQL: the suite runs beside a
# throw-away PostgreSQL server (tools/with-postgres.sh) unless
# KORVI_TEST_POSTGRES already names one.
set -eu
cd "$(dirname "$0")/.."
KORVI_EXTRA_PACKAGES="chromium chromium-driver python3-selenium postgresql" tools/setup-deps.sh
if [ -z "${KORVI_TEST_POSTGRES:-}" ]; then
  exec tools/with-postgres.sh tools/test.sh "$@"
fi
jobs=$(nproc)
pass() {
  dir="build-$1"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVI_SANITIZE="$1"
  cmake --build "$dir" -j "$jobs"
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}
what="${1:-all}"
if [ "$what" = all ] || [ "$what" = address ]; then
  ASAN_OPTIONS=detect_leaks=1 pass address
fi
if [ "$what" = all ] || [ "$what" = thread ]; then
  TSAN_OPTIONS=halt_on_error=1 pass thread -L "host|socket|server|session|dynamic|data|fuzz"
fi
