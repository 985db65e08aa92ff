#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times the reader (header, linearization probe, whole cross-reference chain) on a
# 1 GiB PDF with a classic table of a million objects, on one with a cross-reference
# stream of the same size, and on the largest corpus file, next to qpdf --show-xref.
#
# usage: bench/read.sh [BUILD_DIR]     (default build/release; inputs in $BENCH_DATA)
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
DATA=${BENCH_DATA:-/tmp/kvpdf-bench}
BENCH=$BUILD/bench/kvpdf_bench_read
CORPUS=${KVPDF_CORPUS:-$HERE/../../shared/corpus}
[[ -x $BENCH ]] || { echo "build $BENCH first (cmake --preset release && cmake --build --preset release)"; exit 1; }
mkdir -p "$DATA"
[[ -f $DATA/classic-1g.pdf ]] || python3 "$HERE/mkbig.py" 1G 1000000 "$DATA/classic-1g.pdf"
[[ -f $DATA/xs-1g.pdf ]] || python3 "$HERE/mkbig.py" 1G 1000000 "$DATA/xs-1g.pdf" --xref-stream
files=("$DATA/classic-1g.pdf" "$DATA/xs-1g.pdf")
largest=$(ls -S "$CORPUS"/*.pdf 2>/dev/null | head -1 || true)
[[ -n $largest ]] && files+=("$largest")
printf '%-45s %12s %10s %14s %10s\n' file "kvpdf s" "RSS MiB" "qpdf xref s" "RSS MiB"
for f in "${files[@]}"; do
  cat "$f" > /dev/null # warm page cache, as for every figure here
  ours=$("$BENCH" "$f" 5 | tail -1)
  t=$(sed -E 's/best ([0-9.]+) s.*/\1/' <<<"$ours")
  m=$(sed -E 's/.*peak RSS ([0-9.]+) MiB/\1/' <<<"$ours")
  q=$( { /usr/bin/time -f '%e %M' qpdf --show-xref "$f" > /dev/null; } 2>&1 | tail -1)
  printf '%-45s %12s %10s %14s %10.1f\n' "$(basename "$f")" "$t" "$m" "${q% *}" "$(awk "BEGIN{print ${q#* } / 1024}")"
done
