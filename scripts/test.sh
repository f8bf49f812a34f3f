#!/bin/sh
# Builds both programs and runs every test: the Linux build's suites, the same
# suites under AddressSanitizer and UndefinedBehaviorSanitizer, each fuzzer
# for a short while, and the Windows build's suites and end-to-end scenarios
# under Wine, the release checks (reproducible bytes, the signed exe) and the
# release zip.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ googletest g++-mingw-w64-x86-64-posix wine wine64 locales \
  osslsigncode openssl libssl-dev clang libclang-rt-14-dev nlohmann-json3-dev python3

cmake --preset native -DMIRROLET_BUILD_TESTS=ON
cmake --build --preset native
ctest --preset native --output-on-failure

cmake --preset native-asan
cmake --build --preset native-asan
ctest --preset native-asan --output-on-failure

scripts/fuzz.sh "${MIRROLET_FUZZ_SECONDS:-20}"

cmake --preset windows -DMIRROLET_BUILD_TESTS=ON
cmake --build --preset windows
ctest --preset windows --output-on-failure
cmake --build --preset windows --target package
