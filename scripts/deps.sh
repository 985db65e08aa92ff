#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build, the tests and the demo need; quiet and quick
# when everything is already there. Runs as root, or through sudo.
set -euo pipefail
packages=(build-essential cmake pkg-config zlib1g-dev libssl-dev openssl libgtest-dev
          qpdf poppler-utils libnss3-tools clang libclang-rt-dev clang-format clang-tidy
          binutils time)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0
SUDO=
[[ $(id -u) -ne 0 ]] && SUDO=sudo
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
