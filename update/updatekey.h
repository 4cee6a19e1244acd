// The vendor's public key for signed update replies and its version,
// compiled in from the CMake cache variables PAVONIX_UPDATE_PUBKEY and
// PAVONIX_UPDATE_PUBKEY_VERSION.
#pragma once

// "<version>:<128 lower-case hexadecimal digits of X then Y>", or "" for a
// build without signing: then update replies are neither asked nor checked
// for a signature.
const char* BuiltInUpdateKey();
