#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times embedding a 100 MiB file of random bytes in a small corpus PDF and saving it back
# out, with the tool and with its peers, in turn, in the same run: kvpdf attach next to
# qpdf --add-attachment, then kvpdf attachments --all next to pdfdetach -saveall (both on
# the file kvpdf wrote). Prints every run and the medians of time and peak RSS.
#
# usage: bench/attach.sh [BUILD_DIR] [RUNS]   (default build/release, 3 runs; inputs in
#                                              $BENCH_DATA, the corpus in $KVPDF_CORPUS)
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
RUNS=${2:-3}
DATA=${BENCH_DATA:-/tmp/kvpdf-bench}
CORPUS=${KVPDF_CORPUS:-$HERE/../../shared/corpus}
CLI=$BUILD/tools/kvpdf/kvpdf
[[ -x $CLI ]] || { echo "build $CLI first"; exit 1; }
[[ -f $CORPUS/classic-fpdf-01.pdf ]] || { echo "no corpus in $CORPUS"; exit 1; }
mkdir -p "$DATA"
IN=$DATA/attach-in.pdf
FILE=$DATA/random-100m.bin
cp "$CORPUS/classic-fpdf-01.pdf" "$IN"
[[ $(stat -c %s "$FILE" 2>/dev/null) == 104857600 ]] || head -c 100M /dev/urandom > "$FILE"
cat "$FILE" > /dev/null
t() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }
# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
names=(kvpdf-attach qpdf-add kvpdf-save pdfdetach-save)
declare -A secs rss
printf '%-4s' run; printf ' %16s' "${names[@]}"; printf '   (seconds / peak RSS MiB)\n'
for i in $(seq "$RUNS"); do
  rm -f "$DATA/attach-k.pdf" "$DATA/attach-q.pdf"
  rm -rf "$DATA/saved-k" "$DATA/saved-p" && mkdir "$DATA/saved-k" "$DATA/saved-p"
  r=()
  r+=("$(t "$CLI" attach "$IN" "$DATA/attach-k.pdf" "$FILE")")
  r+=("$(t qpdf "$IN" "$DATA/attach-q.pdf" --add-attachment "$FILE" --)")
  r+=("$(t "$CLI" attachments "$DATA/attach-k.pdf" --all --to "$DATA/saved-k")")
  r+=("$(t pdfdetach -saveall -o "$DATA/saved-p" "$DATA/attach-k.pdf")")
  cmp -s "$FILE" "$DATA/saved-k/random-100m.bin" || { echo "kvpdf saved other bytes"; exit 1; }
  cmp -s "$FILE" "$DATA/saved-p/random-100m.bin" || { echo "pdfdetach saved other bytes"; exit 1; }
  printf '%-4s' "$i"
  for k in "${!names[@]}"; do
    secs[$k]+="${r[$k]% *} "
    rss[$k]+="$(awk "BEGIN{print ${r[$k]#* } / 1024}") "
    printf ' %7s / %6.1f' "${r[$k]% *}" "$(awk "BEGIN{print ${r[$k]#* } / 1024}")"
  done
  printf '\n'
done
printf '%-4s' med
for k in "${!names[@]}"; do
  # shellcheck disable=SC2086 # the lists are space-separated numbers
  printf ' %7s / %6.1f' "$(median ${secs[$k]})" "$(median ${rss[$k]})"
done
printf '\n'
rm -rf "$DATA/attach-k.pdf" "$DATA/attach-q.pdf" "$DATA/saved-k" "$DATA/saved-p" "$IN"
