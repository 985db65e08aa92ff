#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The whole test suite: installs what is missing, checks the formatting, builds the
# normal and the sanitizer (ASan + UBSan) configurations with warnings as errors, runs
# every test in both, runs clang-tidy, and builds and briefly runs the libFuzzer targets
# when clang is present, then cross-builds and checks the Windows DLLs (KVPDF_SKIP_WINDOWS=1
# leaves them out). One line per stage; the full output of each stage goes to a
# log under build/logs/ that the line names. Exits non-zero when any stage fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# The sources held to clang-format and clang-tidy.
FORMAT_DIRS=(src include tools kvsxades tests fuzz bench)
TIDY_DIRS=(src tools kvsxades)

LOGS=build/logs
JOBS=${KVPDF_JOBS:-$(nproc)}
FAILED=()
mkdir -p "$LOGS"

# Seconds since the given $SECONDS value, as "Ns".
took() { echo "$((SECONDS - $1))s"; }

# The last lines of a log, indented under the summary line.
show_tail() { tail -n "${2:-40}" "$1" | sed 's/^/    /'; }

# A failed build's diagnostics, or its last lines when none is recognised.
show_errors() {
  local pattern=': (fatal )?error: |CMake Error|undefined reference'
  if grep -qE "$pattern" "$1"; then
    grep -E -A3 "$pattern" "$1" | head -n 40 | sed 's/^/    /'
  else
    show_tail "$1"
  fi
}

# "1 target", "2 targets".
plural() { if (($1 == 1)); then echo "$1 $2"; else echo "$1 $2s"; fi; }

# C and C++ sources under the given directories, sorted.
sources() {
  find "$@" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) |
    sort
}

stage_deps() {
  local log=$LOGS/deps.log
  if ! scripts/deps.sh > "$log" 2>&1; then
    echo "== deps: FAILED to install the build dependencies  log: $log"
    show_tail "$log"
    exit 1
  fi
  if [[ -s $log ]]; then echo "== deps: $(head -1 "$log")"; fi
}

stage_format() {
  local log=$LOGS/format.log start=$SECONDS files bad=()
  mapfile -t files < <(sources "${FORMAT_DIRS[@]}")
  : > "$log"
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >> "$log" 2>&1 || bad+=("$f")
  done
  if ((${#bad[@]} == 0)); then
    echo "== format: ${#files[@]} files clean ($(took "$start"))  log: $log"
  else
    echo "== format: FAILED, ${#bad[@]} of ${#files[@]} files need clang-format -i  log: $log"
    printf '    %s\n' "${bad[@]}"
    FAILED+=(format)
  fi
}

# Prints the output ctest recorded for one test, from its LastTest.log.
test_output() {
  awk -v name="$2" '
    $0 ~ /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); inside = ($0 == name); next }
    inside && /^<end of output>$/ { exit }
    inside && printing { print }
    inside && /^Output:$/ { getline; printing = 1 }
  ' "$1"
}

# configure + build + ctest of one preset.
stage_preset() {
  local preset=$1 build_log=$LOGS/$1-build.log test_log=$LOGS/$1-test.log start=$SECONDS
  if ! { cmake --preset "$preset" -DKVPDF_WERROR=ON &&
    cmake --build --preset "$preset" -j "$JOBS"; } > "$build_log" 2>&1; then
    echo "== $preset: build FAILED ($(took "$start"))  log: $build_log"
    show_errors "$build_log"
    FAILED+=("$preset")
    return
  fi
  local built
  built=$(took "$start")
  start=$SECONDS
  local status=0
  ctest --preset "$preset" -j "$JOBS" > "$test_log" 2>&1 || status=$?
  local total failed
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$test_log" | tail -1)
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$test_log" | tail -1)
  total=${total:-0} failed=${failed:-0}
  # Skipped tests (no corpus on this machine, say) are counted apart, never as passed.
  local skipped
  skipped=$(grep -c '\*\*\*Skipped' "$test_log" || true)
  local summary
  summary="build ok ($built), $((total - failed - skipped)) tests passed, $skipped skipped,"
  summary+=" $failed failed ($(took "$start"))"
  if ((status == 0 && total > 0)); then
    echo "== $preset: $summary  log: $test_log"
    return
  fi
  echo "== $preset: FAILED, $summary  log: $test_log"
  FAILED+=("$preset")
  local names
  mapfile -t names < <(sed -n '/The following tests FAILED:/,$p' "$test_log" |
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) ([^()]*)$/\1/p')
  if ((${#names[@]} == 0)); then
    show_tail "$test_log"
    return
  fi
  local name
  for name in "${names[@]}"; do
    echo "  -- $name"
    test_output "build/$preset/Testing/Temporary/LastTest.log" "$name" | tail -n 40 | sed 's/^/    /'
  done
}

# clang-tidy on one file into a log of its own; the file is listed in DIR/failed when
# it has findings.
tidy_one() {
  clang-tidy -p build/release --quiet --warnings-as-errors='*' "$1" > "$2/${1//\//_}.log" 2>&1 ||
    echo "$1" >> "$2/failed"
}
export -f tidy_one

stage_tidy() {
  local log=$LOGS/tidy.log dir=$LOGS/tidy start=$SECONDS files
  if [[ ! -f build/release/compile_commands.json ]]; then
    echo "== tidy: FAILED, no build/release/compile_commands.json (the release configure failed)"
    FAILED+=(tidy)
    return
  fi
  mapfile -t files < <(sources "${TIDY_DIRS[@]}" | grep '\.cpp$')
  rm -rf "$dir"
  mkdir -p "$dir"
  # One log per file, so parallel runs do not interleave; joined in order below.
  # shellcheck disable=SC2016 # expanded by the inner bash
  printf '%s\n' "${files[@]}" | xargs -P "$JOBS" -I{} bash -c 'tidy_one "$1" "$2"' _ {} "$dir"
  : > "$log"
  for f in "${files[@]}"; do
    { echo "=== $f"; cat "$dir/${f//\//_}.log"; } >> "$log"
  done
  local findings flagged=0
  findings=$(grep -cE ': (warning|error): ' "$log" || true)
  if [[ -f $dir/failed ]]; then flagged=$(sort -u "$dir/failed" | wc -l); fi
  if ((flagged == 0)); then
    echo "== tidy: ${#files[@]} files clean ($(took "$start"))  log: $log"
  else
    echo "== tidy: FAILED, $findings findings in $flagged of ${#files[@]} files ($(took "$start"))" \
      " log: $log"
    { grep -E ': (warning|error): ' "$log" || show_tail "$log"; } | head -n 40 |
      sed "s#^$PWD/##; s/^/    /"
    FAILED+=(tidy)
  fi
}

# The README's main job with the tool just built: a DEMO PKI, a signed sample, kvpdf
# verify and pdfsig.
stage_demo() {
  local log=$LOGS/demo.log start=$SECONDS dir
  dir=$(mktemp -d)
  if KVPDF_DEMO_CLI=build/release/tools/kvpdf/kvpdf KVPDF_DEMO_DIR=$dir scripts/demo.sh \
    > "$log" 2>&1; then
    echo "== demo: signed and verified ($(took "$start"))  log: $log"
  else
    echo "== demo: FAILED ($(took "$start"))  log: $log"
    show_tail "$log"
    FAILED+=(demo)
  fi
  rm -rf "$dir"
}

# Builds the libFuzzer targets and runs each briefly from its seeds.
stage_fuzz() {
  local build_log=$LOGS/fuzz-build.log start=$SECONDS
  if ! { cmake --preset fuzz && cmake --build --preset fuzz -j "$JOBS"; } > "$build_log" 2>&1; then
    echo "== fuzz: build FAILED ($(took "$start"))  log: $build_log"
    show_errors "$build_log"
    FAILED+=(fuzz)
    return
  fi
  local built runs=20000 target name work bad=() ran=0
  built=$(took "$start")
  start=$SECONDS
  for target in build/fuzz/fuzz/fuzz_*; do
    [[ -f $target && -x $target ]] || continue
    name=${target##*/fuzz_}
    ran=$((ran + 1))
    work=$(mktemp -d)
    if ! { cp fuzz/seeds/"$name"/* "$work"/ && "$target" -runs=$runs -max_len=8192 "$work"; } \
      > "$LOGS/fuzz-$name.log" 2>&1; then
      bad+=("$name")
    fi
    rm -rf "$work"
  done
  if ((ran == 0)); then
    echo "== fuzz: FAILED, no target in build/fuzz/fuzz  log: $build_log"
    FAILED+=(fuzz)
    return
  fi
  local summary
  summary="build ok ($built), $(plural "$ran" target) of $runs runs from the seeds,"
  summary+=" ${#bad[@]} failed ($(took "$start"))"
  if ((${#bad[@]} == 0)); then
    echo "== fuzz: $summary  log: $LOGS/fuzz-*.log"
    return
  fi
  echo "== fuzz: FAILED, $summary"
  for name in "${bad[@]}"; do
    echo "  -- $name  log: $LOGS/fuzz-$name.log"
    show_tail "$LOGS/fuzz-$name.log"
  done
  FAILED+=(fuzz)
}

# The Windows DLLs cross-built with mingw (OpenSSL from the cache when present), their
# static checks, and the host program under wine64 compared with the Linux build's run.
stage_windows() {
  local log=$LOGS/windows.log start=$SECONDS step
  : > "$log"
  for step in "scripts/build-windows.sh" "scripts/check-windows.sh" "tests/windows/run.sh"; do
    echo "=== $step" >> "$log"
    if ! KVPDF_JOBS=$JOBS $step >> "$log" 2>&1; then
      echo "== windows: FAILED in $step ($(took "$start"))  log: $log"
      show_tail "$log"
      FAILED+=(windows)
      return
    fi
  done
  echo "== windows: win32 and win64 built and checked, wine64 run equal to Linux" \
    "($(took "$start"))  log: $log"
}

stage_deps
stage_format
stage_preset release
stage_demo
stage_tidy
stage_preset asan
stage_preset tsan
if command -v clang++ > /dev/null; then stage_fuzz; fi
if [[ ${KVPDF_SKIP_WINDOWS:-0} != 1 ]]; then stage_windows; fi

if ((${#FAILED[@]} > 0)); then
  echo "FAILED: ${FAILED[*]}"
  exit 1
fi
echo "all tests passed"
