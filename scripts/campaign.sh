#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The long mutation campaign: thousands of mutants of the corpus PDFs and of a large
# synthetic PDF (65,000 objects in one object stream, 32,000 annotations on page 1), each
# signed, searched, extracted and verified in a child process of the ASan build.
#
# usage: scripts/campaign.sh [kvpdf_campaign options]
#   defaults: --mutants 400 --big-mutants 40 --seed $(date +%s) --jobs 2
#             --out build/campaign/<seed>   (the mutants behind defects, with logs)
#   replay one saved mutant:
#     build/asan/fuzz/kvpdf_campaign --case build/campaign/<seed>/<file>.pdf
# The corpus is $KVPDF_CORPUS, else ../shared/corpus beside the source tree. The report
# is printed and kept in build/campaign/<seed>/report.txt; the exit status is non-zero
# when a defect was found.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/deps.sh
if [[ ! -x build/asan/fuzz/kvpdf_campaign ]]; then
  cmake --preset asan > /dev/null
fi
cmake --build --preset asan -j "${KVPDF_JOBS:-2}" --target kvpdf_campaign > /dev/null

seed=$(date +%s)
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  if [[ ${args[i]} == --seed ]]; then seed=${args[i + 1]}; fi
done
out=build/campaign/$seed
mkdir -p "$out"
# Earlier options are overridden by the caller's, which come last.
build/asan/fuzz/kvpdf_campaign --mutants 400 --big --big-mutants 40 --seed "$seed" --jobs 2 \
  --out "$out" "$@" | tee -i "$out/report.txt"
