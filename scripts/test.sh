#!/usr/bin/env bash
# The whole test run: dependencies, release build with every test, the unit tests again under
# ASan+UBSan, the transport tests under TSan, and bounded fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-2}
bash scripts/deps.sh

step() { echo; echo "=== $* ==="; }

step "build (release)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS"

step "tests (all)"
(cd build && ctest -j "$JOBS" --output-on-failure --timeout 300)

step "build (ASan+UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BENCH=OFF >/dev/null
cmake --build build-asan -j "$JOBS"
step "unit tests, and the fault scenarios that stress memory most, under ASan+UBSan"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest -j "$JOBS" --output-on-failure --timeout 300 -LE integration)

if [ -f tests/net/CMakeLists.txt ]; then
  # Only the threaded transport and the RTMP client on top of it (with the RTMP codec tests, which
  # share their label) are built and run here, to keep the sanitizer stage short.
  step "build (TSan, transport and RTMP client)"
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_BENCH=OFF >/dev/null
  TSAN_TARGETS=(tests/net/all)
  if [ -f tests/rtmp/CMakeLists.txt ]; then TSAN_TARGETS+=(tests/rtmp/all); fi
  cmake --build build-tsan -j "$JOBS" --target "${TSAN_TARGETS[@]}"
  step "transport and RTMP client tests under TSan"
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
     ctest -j "$JOBS" --output-on-failure --timeout 300 -L '^(net|rtmp)$')
fi

if [ -f fuzz/CMakeLists.txt ]; then
  step "fuzz (bounded)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_FUZZ=ON \
     -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j "$JOBS"
  FUZZ_SECONDS=${FUZZ_SECONDS:-40} bash scripts/fuzz.sh build-fuzz
fi
echo
echo "All test stages passed."
