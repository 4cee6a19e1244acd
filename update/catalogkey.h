// The vendor's offline catalogue key and its version, compiled in from the
// CMake cache variables PAVONIX_CATALOGUE_PUBKEY and
// PAVONIX_CATALOGUE_PUBKEY_VERSION.
#pragma once

// "<version>:<128 lower-case hexadecimal digits of X then Y>", or "" for a
// build without a catalogue: then signed replies are used as the update key
// alone vouches for them.
const char* BuiltInCatalogueKey();
