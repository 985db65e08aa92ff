#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every speed figure against the machine's limit, measured in one run, rounds interleaved,
# medians: on a 1 GiB PDF the floor (cp + openssl dgst -sha256), the hash alone, the raw
# SHA-256 compute (openssl speed), kvpdf sign, kvpdf verify and adding the validation
# data, each as a ratio of the hash alone; on the 104 KB signed sample of
# scripts/demo.sh (a visible signature of samples/sample.pdf), documents per second
# signed by one kvpdf sign --out-dir, by one process per file, and RSA-2048 signatures per
# second of openssl speed -multi on all cores. Peak RSS in MiB. Uses the DEMO PKI of
# scripts/demo.sh (made when missing).
#
# Every command starts from the same state: its previous output removed just before it
# and the dirty pages written back first (the removal of a 1 GiB file and the writeback
# of the last one are not the next command's cost; each writer replaces output of its own
# size, as a signer replacing yesterday's output does). The small documents are signed
# after all large-file rounds. On a virtual
# machine, memory the guest touches for the first time costs the host a fault per page
# (about 2.7 s per GiB on the machine of these figures), a cost a machine that has run
# for a while paid long ago and that would land on whichever command first writes a new
# GiB: before each of its two parts the run touches $WARM_GIB GiB (default 8; 0 for none)
# through tmpfs (this machine hands idle memory back to the host within a minute).
#
# usage: bench/limits.sh [BUILD_DIR] [RUNS] [DOCS]   (inputs in $BENCH_DATA; mkpdf.py
#                                                     from ../shared/bench or $MKPDF)
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
RUNS=${2:-5}
DOCS=${3:-2000}
DATA=${BENCH_DATA:-/tmp/kvpdf-bench}
MKPDF=${MKPDF:-$HERE/../../shared/bench/mkpdf.py}
CLI=$BUILD/tools/kvpdf/kvpdf
LTV=$BUILD/bench/kvpdf_bench_ltv
PKI=$HERE/../demo/pki
SAMPLE=$HERE/../demo/sample-signed.pdf
CORES=$(nproc)
[[ -x $CLI && -x $LTV ]] || { echo "build $CLI and $LTV first"; exit 1; }
[[ -f $PKI/signer.p12 && -f $SAMPLE ]] || KVPDF_DEMO_CLI=$CLI "$HERE/../scripts/demo.sh" > /dev/null
rm -rf "$DATA/batch-out" "$DATA/one-out"
mkdir -p "$DATA/batch-in" "$DATA/batch-out" "$DATA/one-out"
IN=$DATA/in-1g.pdf
[[ -f $IN ]] || python3 "$MKPDF" 1G "$IN"
SIZE=$(stat -c %s "$IN")
for i in $(seq "$DOCS"); do
  [[ -f $DATA/batch-in/d$i.pdf ]] || cp "$SAMPLE" "$DATA/batch-in/d$i.pdf"
done
warm() {
  if [[ ${WARM_GIB:-8} -gt 0 && -d /dev/shm ]]; then
    dd if=/dev/zero of=/dev/shm/kvpdf-warm bs=4M count=$((${WARM_GIB:-8} * 256)) status=none || true
    rm -f /dev/shm/kvpdf-warm
  fi
}
ONE=$((DOCS / 10 > 0 ? DOCS / 10 : 1)) # one process per file: a tenth of them is enough
KEY=(--p12 "$PKI/signer.p12" --password demo --cades --quiet)
R=$DATA/limits.rounds
: > "$R"

# "seconds KiB" of one command, its output dropped, after the writeback of the last.
t() {
  sync
  /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1
}
record() { echo "$1 $2" >> "$R"; }

warm
for round in $(seq "$RUNS"); do
  cat "$IN" > /dev/null
  rm -f "$DATA/floor.pdf"
  record floor "$(t sh -c "cp '$IN' '$DATA/floor.pdf' && openssl dgst -sha256 '$DATA/floor.pdf'")"
  record hash "$(t openssl dgst -sha256 "$IN")"
  kps=$(openssl speed -evp sha256 -bytes 16384 -seconds 1 2>/dev/null | awk '/^sha256/ {print $2}')
  record raw "$(awk "BEGIN{print $SIZE / (${kps%k} * 1000)}") 0"
  rm -f "$DATA/s-1g.pdf"
  record sign "$(t "$CLI" sign "$IN" "$DATA/s-1g.pdf" "${KEY[@]}")"
  record verify "$(t "$CLI" verify "$DATA/s-1g.pdf" --trust "$PKI/root.pem")"
  rm -f "$DATA/l-1g.pdf"
  record ltv "$(t "$LTV" "$DATA/s-1g.pdf" "$DATA/l-1g.pdf" "$PKI/root.pem")"
done
rm -f "$DATA/s-1g.pdf" "$DATA/l-1g.pdf" "$DATA/floor.pdf"
# The small documents after all large-file rounds: thousands of files created would
# otherwise weigh on the next round's 1 GiB writes.
warm
for round in $(seq "$RUNS"); do
  rm -rf "$DATA/batch-out" "$DATA/one-out"
  mkdir -p "$DATA/batch-out/$round" "$DATA/one-out/$round"
  b=$(t "$CLI" sign --out-dir "$DATA/batch-out/$round" "$DATA"/batch-in/d*.pdf "${KEY[@]}")
  record batch "$(awk "BEGIN{print $DOCS / ${b% *}}") ${b#* }"
  sync
  start=$(date +%s.%N)
  for i in $(seq "$ONE"); do
    "$CLI" sign "$DATA/batch-in/d$i.pdf" "$DATA/one-out/$round/d$i.pdf" "${KEY[@]}" > /dev/null
  done
  record process "$(awk "BEGIN{print $ONE / ($(date +%s.%N) - $start)}") 0"
  rsa=$(openssl speed -multi "$CORES" -seconds 1 rsa2048 2>/dev/null |
    awk '/^rsa 2048 bits/ {print $6}' | tail -1)
  record rsa "$rsa 0"
done
rm -rf "$DATA/batch-out" "$DATA/one-out"

# Median of a figure's first (value) or second (RSS KiB) column.
median() {
  awk -v k="$1" -v c="$2" '$1 == k {print $c}' "$R" | sort -g |
    awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
hash=$(median hash 2)
printf '%s, %d rounds, medians, %s cores\n' "$(basename "$IN") ($SIZE bytes)" "$RUNS" "$CORES"
printf '%-34s %10s %12s %9s\n' figure seconds '/ hash alone' 'RSS MiB'
for k in floor hash raw sign verify ltv; do
  v=$(median "$k" 2)
  label=$k
  case $k in
  floor) label='floor: cp + openssl dgst -sha256' ;;
  hash) label='hash alone: openssl dgst -sha256' ;;
  raw) label='raw SHA-256 compute (speed)' ;;
  sign) label='kvpdf sign --cades (limit 1.05)' ;;
  verify) label='kvpdf verify (limit 1.00)' ;;
  ltv) label='validation data added (limit 1.1)' ;;
  esac
  printf '%-34s %10.3f %12.2f %9.1f\n' "$label" "$v" "$(awk "BEGIN{print $v / $hash}")" \
    "$(awk "BEGIN{print $(median "$k" 3) / 1024}")"
done
printf '\n%s: %d documents per round\n' "$(basename "$SAMPLE") ($(stat -c %s "$SAMPLE") bytes)" "$DOCS"
printf '%-34s %10s %9s\n' figure 'per second' 'RSS MiB'
printf '%-34s %10.0f %9.1f\n' 'kvpdf sign --out-dir (limit 2000)' "$(median batch 2)" \
  "$(awk "BEGIN{print $(median batch 3) / 1024}")"
printf '%-34s %10.0f\n' 'kvpdf sign, one process per file' "$(median process 2)"
printf '%-34s %10.0f\n' "openssl speed -multi $CORES rsa2048" "$(median rsa 2)"
