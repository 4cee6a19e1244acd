// Alone in its file (and library) so that a build can link another key.
#include "update/catalogkey.h"

#ifndef PAVONIX_CATALOGUE_PUBKEY_HEX
#error "PAVONIX_CATALOGUE_PUBKEY_HEX must be the key's hexadecimal text, or empty"
#endif
#ifndef PAVONIX_CATALOGUE_PUBKEY_VERSION
#error "PAVONIX_CATALOGUE_PUBKEY_VERSION must be the key's version in decimal"
#endif

const char* BuiltInCatalogueKey() {
  static const char kHex[] = PAVONIX_CATALOGUE_PUBKEY_HEX;
  static const char kKey[] = PAVONIX_CATALOGUE_PUBKEY_VERSION ":" PAVONIX_CATALOGUE_PUBKEY_HEX;
  return kHex[0] != '\0' ? kKey : "";
}
