#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs tests/windows/host_flow.c as a Win64 program under wine64 against
# build/win64/kvpdf.dll, and as a Linux program against build/release/libkvpdf.so, in
# two folders prepared alike (a PKI made here, samples/sample.pdf, a note to attach).
# Then: the transcripts and every file written are equal byte for byte (both runs write
# one fixed time; only the PKCS#7 value of signed.pdf holds the clock's time, in its
# signing-time attribute, and is set aside), and qpdf and pdfsig accept the files the
# Windows run wrote. One wineserver serves the whole run; the wine prefix is kept
# in the cache folder of scripts/build-windows.sh.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
ROOT=$PWD
CACHE=${KVPDF_WIN_CACHE:-$HOME/.cache/kvpdf-win}
LINUX_LIB=${KVPDF_LINUX_BUILD:-$ROOT/build/release}
WORK=$(mktemp -d)
export WINEPREFIX=$CACHE/wine64-prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' TZ=UTC
# Wine takes its ANSI code page from the locale: Windows-1252 for this one.
export LANG=C.UTF-8
unset LC_ALL
# Debian's wine package puts wine64 and wineserver under /usr/lib/wine.
WINE64=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# KVPDF_WINE_KEEP=1 keeps both runs' folders for a look at a difference.
trap 'echo "run.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
trap '"$WINESERVER" -k 2> /dev/null || true; [[ ${KVPDF_WINE_KEEP:-0} == 1 ]] && echo "kept $WORK" || rm -rf "$WORK"' EXIT

[[ -f $ROOT/build/win64/kvpdf.dll ]] || { echo "run.sh: no build/win64/kvpdf.dll" >&2; exit 1; }
[[ -f $LINUX_LIB/libkvpdf.so ]] || { echo "run.sh: no $LINUX_LIB/libkvpdf.so" >&2; exit 1; }

# The PKI: a root and a signer in a PKCS#12 file.
pki=$WORK/pki
mkdir -p "$pki"
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=kvpdf wine test root" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$pki/root.key" -out "$pki/root.pem" 2> /dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=kvpdf wine test signer" \
  -keyout "$pki/signer.key" -out "$pki/signer.csr" 2> /dev/null
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature,nonRepudiation\n' \
  > "$pki/signer.ext"
openssl x509 -req -in "$pki/signer.csr" -CA "$pki/root.pem" -CAkey "$pki/root.key" \
  -CAcreateserial -days 1825 -extfile "$pki/signer.ext" -out "$pki/signer.pem" 2> /dev/null
openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" -certfile "$pki/root.pem" \
  -passout pass:test -out "$pki/signer.p12"

# The tests' PKI and servers (TSA, OCSP, CRL on 127.0.0.1), until their input closes.
SERVERS=$LINUX_LIB/tests/kvtest_servers
[[ -x $SERVERS ]] || { echo "run.sh: no $SERVERS" >&2; exit 1; }
mkfifo "$WORK/servers.in"
"$SERVERS" < "$WORK/servers.in" > "$WORK/servers.txt" &
exec 3> "$WORK/servers.in"
for _ in $(seq 100); do (($(wc -l < "$WORK/servers.txt") == 5)) && break; sleep 0.1; done
mapfile -t served < "$WORK/servers.txt"
((${#served[@]} == 5)) || { echo "run.sh: the test servers did not start" >&2; exit 1; }
TSA_URL=${served[4]}

cp samples/sample.pdf "$WORK/sample.pdf"
for side in linux windows; do
  mkdir -p "$WORK/$side"
  cp "$pki/signer.p12" "$WORK/$side/"
  cp samples/sample.pdf "$WORK/$side/in.pdf"
  cp samples/sample.pdf "$WORK/$side/inplace.pdf"
  printf 'Kontir note attached by the host test.\r\n' > "$WORK/$side/note.txt"
  cp "${served[0]}" "$WORK/$side/ltv-signer.p12"
  cp "${served[1]}" "$WORK/$side/ltv-root.pem"
  cp "${served[2]}" "$WORK/$side/root.crl"
  cp "${served[3]}" "$WORK/$side/inter.crl"
done

gcc -std=c99 -Wall -Wextra -Werror -I include tests/windows/host_flow.c -L"$LINUX_LIB" -lkvpdf \
  -Wl,-rpath,"$LINUX_LIB" -o "$WORK/linux/host_flow"
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -I include \
  tests/windows/host_flow.c -Lbuild/win64 -lkvpdf -lpsapi -o "$WORK/windows/host_flow.exe"
cp build/win64/kvpdf.dll "$WORK/windows/"

# One run at a time uses the shared prefix (two checkouts tested at once): a second
# server for it would not start, and each run stops its server when it ends.
mkdir -p "$WINEPREFIX"
exec 9> "$CACHE/wine64-prefix.lock"
flock 9
start=$SECONDS
# The persistent server first: a new prefix is then made through it, not through a
# server of its own that would still be running when this one starts.
"$WINESERVER" -p
if [[ ! -f $WINEPREFIX/system.reg ]]; then "$WINE64" wineboot -i > /dev/null 2>&1; fi
(cd "$WORK/linux" && ./host_flow . "$TSA_URL" > ../linux.txt)
(cd "$WORK/windows" && "$WINE64" host_flow.exe . "$TSA_URL" > ../windows.txt)
wine_time=$((SECONDS - start))
# The wine console ends lines with CR LF.
sed -i 's/\r$//' "$WORK/windows.txt"

python3 - "$WORK" << 'EOF'
import pathlib, re, sys
work = pathlib.Path(sys.argv[1])
contents = re.compile(rb"/Contents ?<[0-9A-Fa-f]+>")
# The PKCS#7 signature's signing-time attribute is the clock's: its value alone differs.
# What the servers answered is dated by them: those files are checked below instead.
clock = {"signed.pdf"}
served = {"ts-signed.pdf", "stamped.pdf", "stamp-data.bin", "ltv.pdf"}
def same(name, a, b):
    if name in served:
        return True
    if name.startswith("big"):  # 2 GiB, mostly a hole: compared piece by piece
        with open(a, "rb") as x, open(b, "rb") as y:
            while (piece := x.read(1 << 20)) == y.read(1 << 20):
                if not piece:
                    return True
        return False
    x, y = a.read_bytes(), b.read_bytes()
    if name in clock:
        return len(x) == len(y) and contents.sub(b"<>", x) == contents.sub(b"<>", y)
    return x == y
bad = []
pairs = [("linux.txt", "windows.txt")] + [
    (f"linux/{p.name}", f"windows/{p.name}")
    for p in sorted((work / "linux").iterdir())
    if p.suffix in (".pdf", ".txt", ".bin")]
for a, b in pairs:
    if not (work / b).exists() or not same(pathlib.Path(b).name, work / a, work / b):
        bad.append(b)
# The input is never written, the restored output is the input again, and the file
# attached comes back out as it went in.
for side in ("linux", "windows"):
    for name, original in (("in.pdf", "sample.pdf"), ("restored.pdf", "sample.pdf"),
                           ("saved.txt", f"{side}/note.txt")):
        if (work / side / name).read_bytes() != (work / original).read_bytes():
            bad.append(f"{side}/{name} (not the bytes of {original})")
print(f"{len(pairs)} outputs compared, {len(bad)} differ" + (": " + " ".join(bad) if bad else ""))
sys.exit(1 if bad else 0)
EOF

failed=0
for f in signed.pdf signed-cades.pdf attached.pdf ts-signed.pdf stamped.pdf ltv.pdf big.pdf; do
  qpdf --check "$WORK/windows/$f" > "$WORK/qpdf.log" 2>&1 ||
    { echo "qpdf rejects the Windows $f:"; tail -5 "$WORK/qpdf.log"; failed=1; }
done
# Every signature and document timestamp pdfsig lists is valid.
for f in signed.pdf signed-cades.pdf ts-signed.pdf stamped.pdf ltv.pdf big.pdf; do
  pdfsig "$WORK/windows/$f" > "$WORK/pdfsig.log" 2>&1 || true
  listed=$(grep -c '^Signature #' "$WORK/pdfsig.log" || true)
  # poppler does not verify a document timestamp (its type shows as "unknown").
  stamps=$(grep -c 'Signature Type: unknown' "$WORK/pdfsig.log" || true)
  valid=$(grep -c 'Signature is Valid' "$WORK/pdfsig.log" || true)
  ((listed > 0 && valid == listed - stamps)) ||
    { echo "pdfsig rejects the Windows $f:"; cat "$WORK/pdfsig.log"; failed=1; }
done
if ((failed)); then exit 1; fi
echo "wine64 run: $(grep -c . "$WORK/windows.txt") transcript lines in ${wine_time}s; qpdf and" \
  "pdfsig accept the Windows files"
