// Alone in its file (and library) so that a build can link another key:
// the end-to-end program links its test key before this one.
#include "update/updatekey.h"

#ifndef PAVONIX_UPDATE_PUBKEY_HEX
#error "PAVONIX_UPDATE_PUBKEY_HEX must be the key's hexadecimal text, or empty"
#endif
#ifndef PAVONIX_UPDATE_PUBKEY_VERSION
#error "PAVONIX_UPDATE_PUBKEY_VERSION must be the key's version in decimal"
#endif

const char* BuiltInUpdateKey() {
  static const char kHex[] = PAVONIX_UPDATE_PUBKEY_HEX;
  static const char kKey[] = PAVONIX_UPDATE_PUBKEY_VERSION ":" PAVONIX_UPDATE_PUBKEY_HEX;
  return kHex[0] != '\0' ? kKey : "";
}
