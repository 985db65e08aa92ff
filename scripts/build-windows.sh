#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds kvpdf.dll for 32-bit and 64-bit Windows with the mingw-w64 compilers:
# zlib, OpenSSL, kvsxades and the C++ runtime linked in statically, so the DLL imports
# only system DLLs. Installs what it needs (quiet when present). OpenSSL has no mingw
# package: it is built from Debian's own source once per version and flags and cached
# outside the checkout (KVPDF_WIN_CACHE, default ~/.cache/kvpdf-win).
#
#   scripts/build-windows.sh            both widths, into build/win32 and build/win64
#   scripts/build-windows.sh win64      one width
#   scripts/build-windows.sh deps       only the packages and the OpenSSL cache
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
CACHE=${KVPDF_WIN_CACHE:-$HOME/.cache/kvpdf-win}
JOBS=${KVPDF_JOBS:-2}
WIDTHS=(win32 win64)
DEPS_ONLY=0
case "${1:-}" in
  deps) DEPS_ONLY=1 ;;
  win32 | win64) WIDTHS=("$1") ;;
  "") ;;
  *) echo "usage: $0 [deps|win32|win64]" >&2; exit 2 ;;
esac

log() { echo "build-windows: $*"; }

install_packages() {
  local packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
                  libz-mingw-w64-dev dpkg-dev wine wine64 cmake make perl xz-utils python3)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  local sudo=
  [[ $(id -u) -ne 0 ]] && sudo=sudo
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
}

# apt-get source needs a deb-src line for the suites the binary packages come from.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  local sudo=
  [[ $(id -u) -ne 0 ]] && sudo=sudo
  log "adding deb-src entries for apt-get source"
  $sudo tee /etc/apt/sources.list.d/kvpdf-deb-src.sources > /dev/null << 'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $sudo apt-get update -qq
}

# The mingw target triple, the OpenSSL target and the extra flags of one width. i686
# mingw makes time_t 32-bit unless told otherwise; OpenSSL and our code must agree.
triple() { [[ $1 == win32 ]] && echo i686-w64-mingw32 || echo x86_64-w64-mingw32; }
ossl_target() { [[ $1 == win32 ]] && echo mingw || echo mingw64; }
width_cflags() { [[ $1 == win32 ]] && echo "-D__MINGW_USE_VC2005_COMPAT" || true; }
OSSL_OPTIONS="no-shared no-tests no-dso no-engine"

# Debian's source versions of OpenSSL, newest first: a mirror may lack the newest files.
ossl_versions() {
  apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV | uniq
}

# The cache directory of one width for one version, keyed by the flags too, so changing
# either builds afresh instead of reusing a mismatched library.
ossl_dir() {
  local width=$1 version=$2 key
  key=$(printf '%s|%s|%s|%s' "$(ossl_target "$width")" "$OSSL_OPTIONS" "$(width_cflags "$width")" \
    "$(triple "$width")-gcc-posix" | sha256sum | cut -c1-12)
  echo "$CACHE/openssl-$version-$width-$key"
}

# The newest cached build of one width, or nothing.
ossl_prefix() {
  local v
  for v in $(ossl_versions); do
    if [[ -f $(ossl_dir "$1" "$v")/lib/libcrypto.a ]]; then
      ossl_dir "$1" "$v"
      return
    fi
  done
}

# Downloads the newest Debian source that the mirror has into $CACHE/source-<version>;
# prints its version.
fetch_source() {
  local v dir
  for v in $(ossl_versions); do
    dir=$CACHE/source-$v
    if [[ -f $dir/done ]]; then echo "$v"; return; fi
    rm -rf "$dir" && mkdir -p "$dir"
    if (cd "$dir" && apt-get source -qq --download-only "openssl=$v" > fetch.log 2>&1); then
      touch "$dir/done"
      echo "$v"
      return
    fi
  done
  log "cannot download Debian's OpenSSL source (see $CACHE/source-*/fetch.log)" >&2
  return 1
}

# Two checkouts building at once would share the staging folder: one at a time.
build_openssl() {
  (flock 9 && build_openssl_once "$1") 9> "$CACHE/openssl-$1.lock"
}

build_openssl_once() {
  local width=$1 prefix version
  [[ -n $(ossl_prefix "$width") ]] && return 0
  version=$(fetch_source)
  prefix=$(ossl_dir "$width" "$version")
  local start=$SECONDS work tr
  tr=$(triple "$width")
  work=$(mktemp -d "$CACHE/build-$width.XXXXXX")
  log "building OpenSSL $version for $width into $prefix (once; takes minutes)"
  # Debian's PIC change breaks the 32-bit assembly under mingw; Windows has no use for it.
  # shellcheck disable=SC2086 # the option lists are word lists
  if ! (cd "$work" &&
    dpkg-source -x "$CACHE/source-$version"/openssl_*.dsc src > extract.log 2>&1 &&
    cd src &&
    { [[ ! -f debian/patches/pic.patch ]] || patch -R -p1 -s < debian/patches/pic.patch; } &&
    ./Configure "$(ossl_target "$width")" $OSSL_OPTIONS --cross-compile-prefix="$tr-" \
      $(width_cflags "$width") CC=gcc-posix > ../configure.log 2>&1 &&
    make -j"$JOBS" build_libs > ../make.log 2>&1 &&
    rm -rf "$prefix.tmp" && mkdir -p "$prefix.tmp/lib" "$prefix.tmp/include" &&
    cp libcrypto.a libssl.a "$prefix.tmp/lib/" &&
    cp -r include/openssl "$prefix.tmp/include/"); then
    log "OpenSSL build for $width failed; logs in $work"
    exit 1
  fi
  rm -rf "$prefix"
  mv "$prefix.tmp" "$prefix"
  rm -rf "$work"
  log "OpenSSL for $width built in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
}

build_width() {
  local width=$1 dir=$ROOT/build/$1
  cmake -S "$ROOT" -B "$dir" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$width.cmake" \
    -DKVPDF_OPENSSL_ROOT="$(ossl_prefix "$width")" -DCMAKE_BUILD_TYPE=Release \
    -DKVPDF_BUILD_TESTS=OFF -DKVPDF_BUILD_TOOLS=OFF -DKVPDF_BUILD_BENCH=OFF > "$dir.log" 2>&1 ||
    { tail -n 30 "$dir.log"; exit 1; }
  cmake --build "$dir" -j "$JOBS" >> "$dir.log" 2>&1 || { grep -E -A3 'error|Error' "$dir.log" | head -40; exit 1; }
  log "$width: $dir/kvpdf.dll ($(stat -c %s "$dir/kvpdf.dll") bytes), $dir/libkvpdf.dll.a"
}

install_packages
ensure_deb_src
mkdir -p "$CACHE"
for w in "${WIDTHS[@]}"; do build_openssl "$w"; done
((DEPS_ONLY)) && exit 0
for w in "${WIDTHS[@]}"; do build_width "$w"; done
