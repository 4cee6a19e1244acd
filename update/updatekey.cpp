// Alone in its file (and library) so that a build can link another key:
// the end-to-end program links its test key before this one.
#include "update/updatekey.h"

#ifndef PAVONIX_UPDATE_PUBKEY_HEX
#error "PAVONIX_UPDATE_PUBKEY_HEX must be the key's hexadecimal text, or empty"
#endif

const char* BuiltInUpdateKey() { return PAVONIX_UPDATE_PUBKEY_HEX; }
