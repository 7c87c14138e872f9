#!/usr/bin/env bash
# Test certificates and Authenticode-signed PE images made with public tools
# (openssl, osslsigncode), shared by the tests that make them at run time
# (support/code_signing.cc) and the build that makes them for the Windows
# tests (cmake/SignedTestImages.cmake).
#
#   test_pki.sh root DIR NAME SUBJECT          a root CA: DIR/NAME.key, DIR/NAME.crt
#   test_pki.sh leaf DIR NAME SUBJECT CA USAGE a certificate issued by DIR/CA for USAGE:
#                                              codesign, serverauth (an extended key
#                                              usage without code signing) or any (none);
#                                              DIR/NAME.key, .crt, .chain.pem (leaf, CA)
#   test_pki.sh self DIR NAME SUBJECT          a self-signed code-signing certificate
#   test_pki.sh sign CERTS KEY IN OUT          signs the PE image IN into OUT
#   test_pki.sh tamper IN OUT                  OUT: IN with one byte of .text flipped
#   test_pki.sh images DIR CC SOURCE           everything the Windows tests use, in DIR
#
# Options given are those osslsigncode 2.5 (Debian 12) and 2.9 both take.
set -euo pipefail

# P-256 keys by default (fast to make); RSA where wine verifies the images,
# as its trust verification cannot check an ECDSA certificate's signature.
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
rsa=(-newkey rsa:2048 -nodes)
quiet() { "$@" >/dev/null 2>&1 || { echo "test_pki.sh: failed: $*" >&2; return 1; }; }

root() {
  local dir=$1 name=$2 subject=$3
  quiet openssl req -x509 "${ec[@]}" -keyout "$dir/$name.key" -out "$dir/$name.crt" -days 30 \
    -subj "$subject" -addext 'basicConstraints=critical,CA:true' \
    -addext 'keyUsage=critical,keyCertSign'
}

leaf() {
  local dir=$1 name=$2 subject=$3 ca=$4 usage=$5
  {
    echo "keyUsage=digitalSignature"
    echo "basicConstraints=CA:false"
    case $usage in
      codesign) echo "extendedKeyUsage=codeSigning" ;;
      serverauth) echo "extendedKeyUsage=serverAuth" ;;
      any) ;;
      *) echo "test_pki.sh: unknown usage $usage" >&2; return 2 ;;
    esac
  } >"$dir/$name.ext"
  quiet openssl req "${ec[@]}" -keyout "$dir/$name.key" -out "$dir/$name.csr" -subj "$subject"
  quiet openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$ca.crt" -CAkey "$dir/$ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -out "$dir/$name.crt" -days 30 -extfile "$dir/$name.ext"
  cat "$dir/$name.crt" "$dir/$ca.crt" >"$dir/$name.chain.pem"
}

self() {
  local dir=$1 name=$2 subject=$3
  quiet openssl req -x509 "${ec[@]}" -keyout "$dir/$name.key" -out "$dir/$name.crt" -days 30 \
    -subj "$subject" -addext 'basicConstraints=CA:false' -addext 'keyUsage=digitalSignature' \
    -addext 'extendedKeyUsage=codeSigning'
  cp "$dir/$name.crt" "$dir/$name.chain.pem"
}

sign() {
  rm -f "$4"
  quiet osslsigncode sign -certs "$1" -key "$2" -in "$3" -out "$4"
}

# Little-endian unsigned integer of $3 bytes at offset $2 of file $1.
le() { od -An -tu"$3" -j"$2" -N"$3" --endian=little "$1" | tr -d ' '; }

tamper() {
  local in=$1 out=$2 pe sections table i at=""
  pe=$(le "$in" 60 4)
  sections=$(le "$in" $((pe + 6)) 2)
  table=$((pe + 24 + $(le "$in" $((pe + 20)) 2)))
  for ((i = 0; i < sections; i++)); do
    if [[ $(dd if="$in" bs=1 skip=$((table + 40 * i)) count=8 status=none | tr -d '\0') == .text ]]; then
      at=$(le "$in" $((table + 40 * i + 20)) 4)  # PointerToRawData
    fi
  done
  [[ -n $at && $at -gt 0 ]] || { echo "test_pki.sh: no .text in $in" >&2; return 1; }
  cp "$in" "$out"
  local byte
  byte=$(od -An -tu1 -j"$at" -N1 "$in" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$out" bs=1 seek="$at" conv=notrunc status=none
}

images() {
  local dir=$1 cc=$2 source=$3
  mkdir -p "$dir"
  ec=("${rsa[@]}")
  "$cc" -shared -O1 -s -o "$dir/unsigned.dll" "$source"
  root "$dir" root "/CN=Orv Test Root"
  leaf "$dir" signer "/CN=Orv Test Signer/O=Orv Tests" root codesign
  leaf "$dir" server "/CN=Orv Server Only" root serverauth
  leaf "$dir" anyuse "/CN=Orv Any Use" root any
  self "$dir" selfsigned "/CN=Orv Self Signed"
  root "$dir" stranger "/CN=Orv Untrusted Root"
  leaf "$dir" strangeleaf "/CN=Orv Stranger Signer" stranger codesign
  sign "$dir/signer.chain.pem" "$dir/signer.key" "$dir/unsigned.dll" "$dir/good.dll"
  sign "$dir/server.chain.pem" "$dir/server.key" "$dir/unsigned.dll" "$dir/servereku.dll"
  sign "$dir/anyuse.chain.pem" "$dir/anyuse.key" "$dir/unsigned.dll" "$dir/anyuse.dll"
  sign "$dir/selfsigned.chain.pem" "$dir/selfsigned.key" "$dir/unsigned.dll" "$dir/selfsigned.dll"
  sign "$dir/strangeleaf.chain.pem" "$dir/strangeleaf.key" "$dir/unsigned.dll" "$dir/untrusted.dll"
  tamper "$dir/good.dll" "$dir/tampered.dll"
  quiet openssl x509 -in "$dir/root.crt" -outform DER -out "$dir/root.der"
  # Files to digest (one over several 256 KiB buffers, one empty), and their
  # digests as sha1sum gives them.
  seq 1 150000 >"$dir/digested.txt"
  : >"$dir/empty.txt"
  {
    echo "// Made by tests/support/test_pki.sh."
    echo "#define ORV_DIGESTED_FILE_SHA1 \"$(sha1sum <"$dir/digested.txt" | cut -d' ' -f1)\""
    echo "#define ORV_EMPTY_FILE_SHA1 \"$(sha1sum <"$dir/empty.txt" | cut -d' ' -f1)\""
  } >"$dir/signed_images.h.new"
  mv "$dir/signed_images.h.new" "$dir/signed_images.h"
}

command=$1
shift
"$command" "$@"
