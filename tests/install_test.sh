#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a build into a temporary prefix and builds tests/install/consumer.c against
# it twice, through the CMake package and through pkg-config. Both programs must run
# from the prefix alone, and nothing installed may point back into the source or build
# tree. CC, CFLAGS and LDFLAGS are the build's own (a sanitizer build needs its runtime).
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
sample=$src/samples/sample.pdf
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Runs a step quietly; its output only when it fails.
quiet() {
    "$@" > "$tmp/step.log" 2>&1 || { cat "$tmp/step.log" >&2; fail "$*"; }
}
unset LD_LIBRARY_PATH

quiet cmake --install "$build" --prefix "$prefix"
lib=$(cd "$prefix" && dirname "$(find . -name libkvpdf.so.1)")
lib=${lib#./}
for f in bin/kvpdf share/man/man1/kvpdf.1 include/kvpdf.h include/kvsxades.h \
    "$lib"/libkvpdf.a "$lib"/libkvsxades.a "$lib"/libkvpdf.so "$lib"/libkvsxades.so \
    "$lib"/cmake/kvpdf/kvpdfConfigVersion.cmake "$lib"/pkgconfig/kvpdf.pc; do
    [[ -e $prefix/$f ]] || fail "$f not installed"
done

# Sonames; run paths that lead nowhere outside the prefix.
for so in kvpdf kvsxades; do
    readelf -d "$prefix/$lib/lib$so.so" | grep -qF "Library soname: [lib$so.so.1]" ||
        fail "lib$so.so: soname is not lib$so.so.1"
done
# shellcheck disable=SC2016 # $ORIGIN is the dynamic loader's, not the shell's
readelf -d "$prefix/$lib/libkvpdf.so.1" | grep -qF 'Library runpath: [$ORIGIN]' ||
    fail "libkvpdf.so.1: runpath is not \$ORIGIN"
for f in bin/kvpdf "$lib"/libkvpdf.so.1 "$lib"/libkvsxades.so.1; do
    ! readelf -d "$prefix/$f" | grep -E 'R(UN)?PATH' | grep -qF -e "$src" -e "$build" ||
        fail "$f: run path into the source or build tree"
done
! grep -rlF -e "$src" -e "$build" "$prefix/$lib/cmake" "$prefix/$lib/pkgconfig" ||
    fail "package files name the source or build tree"
"$prefix/bin/kvpdf" info "$sample" > /dev/null || fail "the installed kvpdf does not run"

# The program must take both libraries from the prefix, and read the sample.
export PKG_CONFIG_PATH=$prefix/$lib/pkgconfig
version=$(pkg-config --modversion kvpdf)
check_consumer() {
    local exe=$1 so path out libs
    # The last step's output says how a build that "succeeded" left no program.
    [[ -x $exe ]] || fail "$exe was not built; $(ls -la "$(dirname "$exe")" 2>&1)
$(cat "$tmp/step.log")"
    libs=$(ldd "$exe" 2>&1) || fail "ldd $exe: $libs"
    for so in libkvpdf.so.1 libkvsxades.so.1; do
        path=$(awk -v so="$so" '$1 == so { print $3 }' <<< "$libs")
        [[ -n $path && $(realpath "$path") == $(realpath "$prefix/$lib/$so") ]] ||
            fail "$exe: $so not from the prefix: $(grep -F "$so" <<< "$libs")"
    done
    out=$("$exe" "$sample") || fail "$exe exits $?"
    [[ $out =~ ^kvpdf\ ${version//./\\.}\.[0-9]+,\ PDF\ 1\.7,\  ]] || fail "$exe printed: $out"
}

quiet cmake -S "$src/tests/install" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$tmp/cmake"
check_consumer "$tmp/cmake/consumer"

# shellcheck disable=SC2046,SC2086 # flag lists split into words
quiet "${CC:-cc}" ${CFLAGS:-} -o "$tmp/consumer-pc" "$src/tests/install/consumer.c" \
    $(pkg-config --cflags --libs kvpdf kvsxades) \
    -Wl,-rpath,"$(pkg-config --variable=libdir kvpdf)" ${LDFLAGS:-}
check_consumer "$tmp/consumer-pc"
echo "installed into a prefix; both consumers ran"
