#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the normal and the sanitizer
# (ASan + UBSan) configurations with warnings as errors, runs every test in both, and
# builds the libFuzzer targets when clang is present.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/deps.sh
jobs=$(nproc)
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset" -DKVPDF_WERROR=ON > /dev/null
  cmake --build --preset "$preset" -j "$jobs" > /dev/null
  ctest --preset "$preset" -j "$jobs"
done
if command -v clang++ > /dev/null; then
  echo "== fuzz (build and a short run from the seeds)"
  cmake --preset fuzz > /dev/null
  cmake --build --preset fuzz -j "$jobs" > /dev/null
  for target in build/fuzz/fuzz/fuzz_*; do
    name=${target##*/fuzz_}
    work=$(mktemp -d)
    cp fuzz/seeds/"$name"/* "$work"/
    "$target" -runs=20000 -max_len=8192 "$work" 2> "$work.log" || { tail -40 "$work.log"; exit 1; }
    rm -rf "$work" "$work.log"
  done
fi
echo "all tests passed"
