#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times complete signature discovery (`kvpdf signatures`), discovery with the check of
# every signature without its cryptography (kvpdf_bench_check: /ByteRange and later
# changes), and the whole verification (`kvpdf verify`) next to pdfsig, on a 1 GiB file signed in 20
# incremental revisions and on forms of 10,000 fields (plain objects, and object streams)
# signed three times. Best of three runs, peak RSS of that run.
#
# usage: bench/verify.sh [BUILD_DIR]   (default build/release; inputs in $BENCH_DATA)
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
DATA=${BENCH_DATA:-/tmp/kvpdf-bench}
KVPDF=$BUILD/tools/kvpdf/kvpdf
P12=$HERE/../demo/pki/signer.p12
[[ -x $KVPDF ]] || { echo "build $KVPDF first"; exit 1; }
[[ -f $P12 ]] || { echo "run scripts/demo.sh first: it makes the demo signer $P12"; exit 1; }
mkdir -p "$DATA"

# sign_times IN OUT N: OUT is IN signed N times, each signature in a revision of its own.
sign_times() {
  local a=$DATA/.a.pdf b=$DATA/.b.pdf
  cp "$1" "$a"
  for ((i = 0; i < $3; i++)); do
    "$KVPDF" sign "$a" "$b" --p12 "$P12" --password demo > /dev/null
    mv "$b" "$a"
  done
  mv "$a" "$2"
}

if [[ ! -f $DATA/signed-1g-20rev.pdf ]]; then
  python3 "$HERE/mkbig.py" 1G 100000 "$DATA/.plain-1g.pdf"
  sign_times "$DATA/.plain-1g.pdf" "$DATA/signed-1g-20rev.pdf" 20
  rm -f "$DATA/.plain-1g.pdf"
fi
for kind in plain object-streams; do
  f=$DATA/fields-10k-$kind.pdf
  [[ -f $f ]] && continue
  flag=(); [[ $kind == object-streams ]] && flag=(--object-streams)
  python3 "$HERE/mkfields.py" 10000 "$DATA/.fields.pdf" "${flag[@]}"
  sign_times "$DATA/.fields.pdf" "$f" 3
  rm -f "$DATA/.fields.pdf"
done

# best SECONDS and its RSS in MiB of three runs of a command.
best() {
  local t m bt=999999 bm=0
  for _ in 1 2 3; do
    /usr/bin/time -o "$DATA/.time" -f '%e %M' "$@" > /dev/null 2>&1 || true
    read -r t m < "$DATA/.time"
    if awk "BEGIN{exit !($t < $bt)}"; then bt=$t; bm=$m; fi
  done
  printf '%s %.1f' "$bt" "$(awk "BEGIN{print $bm / 1024}")"
}

printf '%-30s %-22s %-22s %-22s %-22s\n' file "signatures s / MiB" "check s / MiB" \
  "verify s / MiB" "pdfsig s / MiB"
for f in "$DATA/signed-1g-20rev.pdf" "$DATA"/fields-10k-*.pdf; do
  cat "$f" > /dev/null # warm page cache, as for every figure here
  printf '%-30s %-22s %-22s %-22s %-22s\n' "$(basename "$f")" "$(best "$KVPDF" signatures "$f")" \
    "$(best "$BUILD/bench/kvpdf_bench_check" "$f" 1)" \
    "$(best "$KVPDF" verify "$f" --trust "$HERE/../demo/pki/root.pem")" \
    "$(best pdfsig -nocert "$f")"
done
