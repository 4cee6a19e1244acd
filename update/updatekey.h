// The vendor's public key for signed update replies, compiled in from the
// CMake cache variable PAVONIX_UPDATE_PUBKEY.
#pragma once

// The key point as 128 lower-case hexadecimal digits (X then Y), or "" for a
// build without signing: then update replies are neither asked nor checked
// for a signature.
const char* BuiltInUpdateKey();
