#!/usr/bin/env bash
# Checks the locking rules with Clang's thread-safety analysis in build-tsa/,
# then builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs every test through ctest; last, the release build
# with -Werror, its Debian package and the installed service
# (scripts/package-check.sh, in build-pkg/).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

BUILD_DIR=${BUILD_DIR:-build-asan}
JOBS=${JOBS:-$(nproc)}

# Clang's thread-safety analysis over the libraries and executables: a
# member marked KX2_GUARDED_BY touched without its lock is a build error
# here, and set -e ends the script on it.
CC=clang CXX=clang++ cmake -S . -B build-tsa -DCMAKE_BUILD_TYPE=Debug -DZN_THREAD_SAFETY=ON \
    -DZN_BUILD_TESTS=OFF -DZN_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsa -j "$JOBS"

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DZN_SANITIZE=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}

(cd "$BUILD_DIR" && ctest --output-on-failure -j "$JOBS" "$@")

# The whole run (CI's) ends with the package check; a run narrowed with
# ctest arguments leaves it out.
if [ $# -eq 0 ]; then
    JOBS=$JOBS scripts/package-check.sh
fi
