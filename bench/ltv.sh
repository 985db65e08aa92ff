#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times adding the validation data to a signed 1 GiB PDF (verification of its signature,
# the DSS update) next to signing the same file and to the floor (cp + openssl dgst
# -sha256, and the hash alone), in turn, in the same run. Uses the DEMO PKI of
# scripts/demo.sh (made when missing).
#
# usage: bench/ltv.sh [BUILD_DIR] [RUNS]   (inputs in $BENCH_DATA; mkpdf.py from
#                                           ../shared/bench or $MKPDF)
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
RUNS=${2:-5}
DATA=${BENCH_DATA:-/tmp/kvpdf-bench}
MKPDF=${MKPDF:-$HERE/../../shared/bench/mkpdf.py}
CLI=$BUILD/tools/kvpdf/kvpdf
LTV=$BUILD/bench/kvpdf_bench_ltv
PKI=$HERE/../demo/pki
[[ -x $CLI && -x $LTV ]] || { echo "build $CLI and $LTV first"; exit 1; }
[[ -f $PKI/signer.p12 ]] || KVPDF_DEMO_CLI=$CLI "$HERE/../scripts/demo.sh" > /dev/null
mkdir -p "$DATA"
IN=$DATA/in-1g.pdf
[[ -f $IN ]] || python3 "$MKPDF" 1G "$IN"
t() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }
printf '%-4s %9s %9s %9s %9s %9s %9s\n' run 'cp+dgst' 'dgst' 'sign' 'ltv' 'ltv/dgst' 'RSS MiB'
for i in $(seq "$RUNS"); do
  f=$(t sh -c "cp '$IN' '$DATA/floor.pdf' && openssl dgst -sha256 '$DATA/floor.pdf'")
  rm -f "$DATA/floor.pdf"
  d=$(t openssl dgst -sha256 "$IN")
  s=$(t "$CLI" sign "$IN" "$DATA/s-1g.pdf" --p12 "$PKI/signer.p12" --password demo --invisible)
  l=$(t "$LTV" "$DATA/s-1g.pdf" "$DATA/l-1g.pdf" "$PKI/root.pem")
  printf '%-4s %9s %9s %9s %9s %9.2f %9.1f\n' "$i" "${f% *}" "${d% *}" "${s% *}" "${l% *}" \
    "$(awk "BEGIN{print ${l% *} / ${d% *}}")" "$(awk "BEGIN{print ${l#* } / 1024}")"
done
rm -f "$DATA/s-1g.pdf" "$DATA/l-1g.pdf"
