// The platform's cryptography through the real CNG (bcrypt.dll from the
// system folder): the same known answers as the simulated suite.
#include "tests/platform/crypto_cases.h"

PAVONIX_CRYPTO_CASES(WinCrypto)
