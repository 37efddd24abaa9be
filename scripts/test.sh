#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite:
#   1. a warning-free (-Werror) optimised build, all tests;
#   2. AddressSanitizer + UndefinedBehaviorSanitizer, all tests;
#   (in both, the tool tests once more as machines run them that take other
#   paths: tests/tool/on_other_machines.sh)
#   3. ThreadSanitizer, the concurrent tests (names containing "Concurrent", and
#      the held steps that signals to any thread wait for);
#   4. the libFuzzer targets for a bounded time under ASan + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh test

jobs=$(nproc)
fuzz_seconds=${QZ7_FUZZ_SECONDS:-60}

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQZ7_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== release build"
# The tool's own build directory: scripts/qz7.sh may have made it without tests.
configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ7_BUILD_TESTS=ON -DQZ7_BUILD_BENCH=ON
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DQZ7_SANITIZE=address,undefined -DQZ7_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure

echo "== ThreadSanitizer (concurrent tests)"
configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ7_SANITIZE=thread -DQZ7_BUILD_BENCH=OFF
# Older TSan runtimes cannot map their shadow memory under high-entropy ASLR.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R \
  ctest --test-dir build/tsan -j "$jobs" --output-on-failure -R 'Concurrent|InterruptsHeldTest\.'

if [ -n "$(ls fuzz/*.cpp 2>/dev/null)" ]; then
  echo "== fuzzing (${fuzz_seconds}s per target, ASan + UBSan)"
  CXX=clang++ configure_and_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQZ7_SANITIZE=address,undefined -DQZ7_BUILD_TESTS=OFF -DQZ7_BUILD_BENCH=OFF -DQZ7_BUILD_FUZZ=ON
  ./fuzz/run.sh build/fuzz "$fuzz_seconds"
fi
echo "All suites passed."
