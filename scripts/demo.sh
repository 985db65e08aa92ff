#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and its command-line tool,
# and reads the bundled sample PDF.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/deps.sh
cmake --preset release > /dev/null
cmake --build --preset release -j "$(nproc)" --target kvpdf_cli > /dev/null
build/release/tools/kvpdf/kvpdf info samples/sample.pdf
