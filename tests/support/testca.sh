#!/usr/bin/env bash
# Test certificates for loopback HTTPS servers.
#
#   testca.sh make DIR           a test CA and, signed by it, a server certificate
#                                for 127.0.0.1 (server.pem/server.key), plus a
#                                self-signed one for the same name (self.pem/self.key).
#                                Also ca.der and ca.sha1 (the CA's SHA-1 thumbprint).
#                                Reuses DIR's files when they are all there.
#   testca.sh trust DIR PREFIX   trust DIR's CA in the Wine prefix PREFIX (current
#                                user's Root store, as a registry Blob).
#   testca.sh untrust DIR PREFIX remove it again.
#
# Wine 8 does not match IP addresses in subjectAltName, so the server
# certificates carry both IP:127.0.0.1 and DNS:127.0.0.1.
set -euo pipefail

die() { printf 'testca: error: %s\n' "$*" >&2; exit 1; }
[[ $# -ge 2 ]] || die "usage: testca.sh make DIR | trust DIR PREFIX | untrust DIR PREFIX"
cmd=$1
dir=$2

make_certs() {
  mkdir -p "$dir"
  local f missing=0
  for f in ca.pem ca.key ca.der ca.sha1 server.pem server.key self.pem self.key; do
    [[ -s $dir/$f ]] || missing=1
  done
  ((missing)) || return 0
  local tmp
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  local san="subjectAltName=IP:127.0.0.1,DNS:127.0.0.1"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout "$tmp/ca.key" -out "$tmp/ca.pem" -subj "/CN=Pavonix Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$tmp/server.key" -out "$tmp/server.csr" \
    -subj "/CN=127.0.0.1" 2>/dev/null
  printf '%s\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    "$san" >"$tmp/server.ext"
  openssl x509 -req -in "$tmp/server.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/ca.key" -CAcreateserial \
    -days 3650 -sha256 -extfile "$tmp/server.ext" -out "$tmp/server.pem" 2>/dev/null
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout "$tmp/self.key" -out "$tmp/self.pem" -subj "/CN=127.0.0.1" -addext "$san" 2>/dev/null
  openssl x509 -in "$tmp/ca.pem" -outform DER -out "$tmp/ca.der"
  openssl x509 -in "$tmp/ca.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'a-f' 'A-F' >"$tmp/ca.sha1"
  cp "$tmp"/ca.pem "$tmp"/ca.key "$tmp"/ca.der "$tmp"/ca.sha1 "$tmp"/server.pem "$tmp"/server.key \
    "$tmp"/self.pem "$tmp"/self.key "$dir"/
}

wine_reg() {
  local prefix=$1
  shift
  WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree=;mshtml="} \
    timeout 120 "${PAVONIX_WINE_DIR:-/usr/lib/wine}/wine64" reg "$@" >/dev/null 2>&1
}

key_of() { printf 'HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\%s' "$(<"$dir/ca.sha1")"; }

trust() {
  local prefix=$1
  [[ -s $dir/ca.der && -s $dir/ca.sha1 ]] || die "no CA in $dir (run make first)"
  [[ -d $prefix ]] || die "no Wine prefix at $prefix"
  # A serialized store element: property 32 (the encoded certificate), a
  # reserved 1, the length, then the DER bytes; all numbers little-endian.
  local len hex
  len=$(stat -c %s "$dir/ca.der")
  hex=$(printf '20000000''01000000''%02x%02x%02x%02x' $((len & 255)) $((len >> 8 & 255)) \
    $((len >> 16 & 255)) $((len >> 24 & 255)))
  hex+=$(od -An -v -tx1 "$dir/ca.der" | tr -d ' \n')
  wine_reg "$prefix" add "$(key_of)" /v Blob /t REG_BINARY /d "$hex" /f || die "reg add failed"
}

untrust() {
  local prefix=$1
  wine_reg "$prefix" delete "$(key_of)" /f || true
}

case $cmd in
  make) make_certs ;;
  trust) [[ $# -eq 3 ]] || die "trust needs DIR PREFIX"; make_certs; trust "$3" ;;
  untrust) [[ $# -eq 3 ]] || die "untrust needs DIR PREFIX"; untrust "$3" ;;
  *) die "unknown command $cmd" ;;
esac
