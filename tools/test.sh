#!/bin/sh
# Builds the library and runs the test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded suites under ThreadSanitizer.
#
#   tools/test.sh [all|address|thread] [LABEL...]
#
#   all       both passes (the default)
#   address   only the ASan + UBSan pass
#   thread    only the TSan pass
#   LABEL     only the tests of these labels: a source folder (host, data,
#             socket, web, server, session, producer, dynamic, design, fuzz)
#             or browser, embed, consumer, man, docs
#
# The whole suite takes about 11 minutes on 2 cores; `tools/test.sh address
# web` runs one folder's tests in a few minutes once the build is there.
# The data tests run on SQLite and on PostgreSQL: the suite runs beside a
# throw-away PostgreSQL server (tools/with-postgres.sh) unless
# KORVI_TEST_POSTGRES already names one.
set -eu
cd "$(dirname "$0")/.."

usage() {
  echo "usage: tools/test.sh [all|address|thread] [LABEL...]" >&2
  echo "labels: $all_labels" >&2
  exit 2
}
all_labels="host data socket web server session producer dynamic design fuzz browser embed consumer man docs"
threaded_labels="host socket server session dynamic data fuzz"

what=all
case "${1:-}" in
  all | address | thread) what=$1; shift ;;
esac
labels=""
for label in "$@"; do
  case " $all_labels " in
    *" $label "*) labels="$labels $label" ;;
    *) echo "tools/test.sh: unknown word '$label'" >&2; usage ;;
  esac
done

KORVI_EXTRA_PACKAGES="chromium chromium-driver python3-selenium postgresql doxygen" tools/setup-deps.sh
if [ -z "${KORVI_TEST_POSTGRES:-}" ]; then
  exec tools/with-postgres.sh tools/test.sh "$what" $labels
fi

# The ctest label expression for the given labels among those allowed.
selection() {
  allowed=$1
  chosen=""
  for label in ${labels:-$allowed}; do
    case " $allowed " in
      *" $label "*) chosen="${chosen:+$chosen|}^$label\$" ;;
    esac
  done
  echo "$chosen"
}

jobs=$(nproc)
pass() {
  sanitizer=$1
  expression=$2
  dir="build-$sanitizer"
  if [ -z "$expression" ]; then
    echo "tools/test.sh: no test of the $sanitizer pass has the labels$labels"
    return
  fi
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVI_SANITIZE="$sanitizer"
  cmake --build "$dir" -j "$jobs"
  if [ "$expression" = everything ]; then
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  else
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L "$expression"
  fi
}
if [ "$what" = all ] || [ "$what" = address ]; then
  if [ -z "$labels" ]; then
    ASAN_OPTIONS=detect_leaks=1 pass address everything
  else
    ASAN_OPTIONS=detect_leaks=1 pass address "$(selection "$all_labels")"
  fi
fi
if [ "$what" = all ] || [ "$what" = thread ]; then
  TSAN_OPTIONS=halt_on_error=1 pass thread "$(selection "$threaded_labels")"
fi
