#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the shared peer benchmark (../shared/bench/peers.sh) with kvpdf added as one more
# signer, so that our figures land in the same table, measured in the same rounds as
# the floor (cp + SHA-256) and the other signers, on the same inputs.
#
# usage: bench/peers-kvpdf.sh [BUILD_DIR]      e.g. SIZES=1G PEERS="kvpdf mutool" REPS=3
# env:   as peers.sh; PEERS defaults to "kvpdf mutool pdfsig"
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${1:-$HERE/../build/release}
PEERS_SH=${PEERS_SH:-$HERE/../../shared/bench/peers.sh}
KVPDF=$(cd "$BUILD/tools/kvpdf" && pwd)/kvpdf
[[ -x $KVPDF ]] || { echo "build $KVPDF first"; exit 1; }
[[ -f $PEERS_SH ]] || { echo "peers.sh not found at $PEERS_SH"; exit 1; }
export PEERS=${PEERS:-"kvpdf mutool pdfsig"}
# A copy of peers.sh that knows one more tool; the original is left as it is.
patched=$(mktemp --suffix=.sh)
trap 'rm -f "$patched"' EXIT
sed -e "s|^    \*) die \"unknown tool \$t\" ;;|    kvpdf)      C=(\"$KVPDF\" sign \"\$IN\" \"\$OUT\" --p12 \"\$PKI/signer.p12\" --password \"\$PW\" --cades --invisible) ;;\n&|" \
    -e "s|^HERE=.*|HERE=$(dirname "$PEERS_SH")|" "$PEERS_SH" > "$patched"
grep -q 'kvpdf)' "$patched" || { echo "could not add kvpdf to peers.sh"; exit 1; }
bash "$patched"
