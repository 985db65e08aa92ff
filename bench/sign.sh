#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times the host flow of one signature on a 1 GiB PDF (the library copies and writes the
# revision, the host hashes the byte ranges with SHA-256 and signs, the library writes
# the value) next to the floor: cp + openssl dgst -sha256 of the same file, in turn,
# in the same run. Then times finding the signatures of a twice-signed 1 GiB file.
#
# usage: bench/sign.sh [BUILD_DIR] [RUNS]   (inputs in $BENCH_DATA; mkpdf.py from
#                                            ../shared/bench or $MKPDF)
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
RUNS=${2:-5}
DATA=${BENCH_DATA:-/tmp/kvpdf-bench}
MKPDF=${MKPDF:-$HERE/../../shared/bench/mkpdf.py}
BENCH=$BUILD/bench/kvpdf_bench_sign
[[ -x $BENCH ]] || { echo "build $BENCH first"; exit 1; }
mkdir -p "$DATA"
IN=$DATA/in-1g.pdf
[[ -f $IN ]] || python3 "$MKPDF" 1G "$IN"
cat "$IN" > /dev/null
t() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }
printf '%-5s %12s %12s %10s %8s\n' run 'floor s' 'kvpdf s' 'ratio' 'RSS MiB'
for i in $(seq "$RUNS"); do
  f=$(t sh -c "cp '$IN' '$DATA/floor.pdf' && openssl dgst -sha256 '$DATA/floor.pdf'")
  k=$(t "$BENCH" sign "$IN" "$DATA/out-1g.pdf" 1)
  rm -f "$DATA/floor.pdf"
  printf '%-5s %12s %12s %10.2f %8.1f\n' "$i" "${f% *}" "${k% *}" \
    "$(awk "BEGIN{print ${k% *} / ${f% *}}")" "$(awk "BEGIN{print ${k#* } / 1024}")"
done
"$BENCH" sign "$DATA/out-1g.pdf" "$DATA/two-1g.pdf" 1 > /dev/null
echo "find the signatures of a twice-signed 1 GiB file:"
"$BENCH" find "$DATA/two-1g.pdf" 5 | tail -1
rm -f "$DATA/out-1g.pdf" "$DATA/two-1g.pdf"
