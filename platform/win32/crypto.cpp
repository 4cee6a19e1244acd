// Cryptography through CNG. bcrypt.dll is loaded at run time from the system
// folder only: the program runs elevated from a folder any user can write
// (typically the downloads folder), so a DLL of that name beside it must
// never be taken. Nothing here imports bcrypt statically.
#include "platform/crypto.h"

#include <windows.h>
// bcrypt.h for its types and constants only.
#include <bcrypt.h>

#include "platform/syslib.h"

#include <cstring>
#include <vector>

namespace {

typedef NTSTATUS(WINAPI* PFN_OpenAlgorithmProvider)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
typedef NTSTATUS(WINAPI* PFN_CloseAlgorithmProvider)(BCRYPT_ALG_HANDLE, ULONG);
typedef NTSTATUS(WINAPI* PFN_CreateHash)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG,
                                         PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* PFN_HashData)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* PFN_FinishHash)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* PFN_DestroyHash)(BCRYPT_HASH_HANDLE);
typedef NTSTATUS(WINAPI* PFN_ImportKeyPair)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR,
                                            BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, ULONG);
typedef NTSTATUS(WINAPI* PFN_DestroyKey)(BCRYPT_KEY_HANDLE);
typedef NTSTATUS(WINAPI* PFN_VerifySignature)(BCRYPT_KEY_HANDLE, VOID*, PUCHAR, ULONG, PUCHAR,
                                              ULONG, ULONG);
typedef NTSTATUS(WINAPI* PFN_GenRandom)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);

const NTSTATUS kStatusSuccess = 0;
const NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

struct Cng {
  bool loaded = false;
  PFN_OpenAlgorithmProvider OpenAlgorithmProvider = nullptr;
  PFN_CloseAlgorithmProvider CloseAlgorithmProvider = nullptr;
  PFN_CreateHash CreateHash = nullptr;
  PFN_HashData HashData = nullptr;
  PFN_FinishHash FinishHash = nullptr;
  PFN_DestroyHash DestroyHash = nullptr;
  PFN_ImportKeyPair ImportKeyPair = nullptr;
  PFN_DestroyKey DestroyKey = nullptr;
  PFN_VerifySignature VerifySignature = nullptr;
  PFN_GenRandom GenRandom = nullptr;
};

template <class T>
bool Bind(HMODULE h, const char* name, T* pfn) {
  *pfn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(h, name)));
  return *pfn != nullptr;
}

Cng LoadCng() {
  Cng c;
  HMODULE h = LoadSystemLibrary("bcrypt.dll");
  // The module stays loaded for the life of the process.
  if (h == nullptr) return c;
  c.loaded = Bind(h, "BCryptOpenAlgorithmProvider", &c.OpenAlgorithmProvider) &&
             Bind(h, "BCryptCloseAlgorithmProvider", &c.CloseAlgorithmProvider) &&
             Bind(h, "BCryptCreateHash", &c.CreateHash) && Bind(h, "BCryptHashData", &c.HashData) &&
             Bind(h, "BCryptFinishHash", &c.FinishHash) &&
             Bind(h, "BCryptDestroyHash", &c.DestroyHash) &&
             Bind(h, "BCryptImportKeyPair", &c.ImportKeyPair) &&
             Bind(h, "BCryptDestroyKey", &c.DestroyKey) &&
             Bind(h, "BCryptVerifySignature", &c.VerifySignature) &&
             Bind(h, "BCryptGenRandom", &c.GenRandom);
  return c;
}

const Cng& Api() {
  static const Cng cng = LoadCng();  // thread-safe static initialisation
  return cng;
}

// A digest of the message, for the signature check.
bool Sha256(const void* pMsg, size_t cbMsg, unsigned char digest[kPlatSha256Bytes]) {
  CPlatSha256 h;
  return h.Update(pMsg, cbMsg) && h.Final(digest);
}

}  // namespace

struct CPlatSha256::State {
  BCRYPT_ALG_HANDLE hAlg;
  BCRYPT_HASH_HANDLE hHash;
};

CPlatSha256::CPlatSha256() : m_pState(nullptr) {
  const Cng& api = Api();
  if (!api.loaded) return;
  BCRYPT_ALG_HANDLE hAlg = nullptr;
  if (api.OpenAlgorithmProvider(&hAlg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != kStatusSuccess)
    return;
  // A null hash object lets CNG allocate it (Windows 7 and later).
  BCRYPT_HASH_HANDLE hHash = nullptr;
  if (api.CreateHash(hAlg, &hHash, nullptr, 0, nullptr, 0, 0) != kStatusSuccess) {
    api.CloseAlgorithmProvider(hAlg, 0);
    return;
  }
  m_pState = new State{hAlg, hHash};
}

CPlatSha256::~CPlatSha256() {
  if (m_pState == nullptr) return;
  Api().DestroyHash(m_pState->hHash);
  Api().CloseAlgorithmProvider(m_pState->hAlg, 0);
  delete m_pState;
}

bool CPlatSha256::Update(const void* pData, size_t cbData) {
  if (m_pState == nullptr) return false;
  const unsigned char* p = static_cast<const unsigned char*>(pData);
  // BCryptHashData takes a ULONG length.
  while (cbData > 0) {
    ULONG n = cbData > 0x40000000u ? 0x40000000u : static_cast<ULONG>(cbData);
    if (Api().HashData(m_pState->hHash, const_cast<PUCHAR>(p), n, 0) != kStatusSuccess)
      return false;
    p += n;
    cbData -= n;
  }
  return true;
}

bool CPlatSha256::Final(unsigned char digest[kPlatSha256Bytes]) {
  if (m_pState == nullptr) return false;
  bool ok = Api().FinishHash(m_pState->hHash, digest, kPlatSha256Bytes, 0) == kStatusSuccess;
  Api().DestroyHash(m_pState->hHash);
  Api().CloseAlgorithmProvider(m_pState->hAlg, 0);
  delete m_pState;
  m_pState = nullptr;
  return ok;
}

PlatVerifyResult PlatVerifyEcdsaP256(const unsigned char* pPoint, size_t cbPoint, const void* pMsg,
                                     size_t cbMsg, const unsigned char* pSig, size_t cbSig) {
  if (pPoint == nullptr || cbPoint != kPlatP256PointBytes) return PLAT_VERIFY_BAD_KEY;
  if (pSig == nullptr || cbSig != kPlatP256SignatureBytes) return PLAT_VERIFY_BAD_SIGNATURE;
  const Cng& api = Api();
  if (!api.loaded) return PLAT_VERIFY_ERROR;
  unsigned char digest[kPlatSha256Bytes];
  if (!Sha256(pMsg, cbMsg, digest)) return PLAT_VERIFY_ERROR;

  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + kPlatP256PointBytes);
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  std::memcpy(blob.data(), &header, sizeof(header));
  std::memcpy(blob.data() + sizeof(header), pPoint, kPlatP256PointBytes);

  BCRYPT_ALG_HANDLE hAlg = nullptr;
  if (api.OpenAlgorithmProvider(&hAlg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != kStatusSuccess)
    return PLAT_VERIFY_ERROR;
  BCRYPT_KEY_HANDLE hKey = nullptr;
  PlatVerifyResult result = PLAT_VERIFY_BAD_KEY;
  if (api.ImportKeyPair(hAlg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &hKey, blob.data(),
                        static_cast<ULONG>(blob.size()), 0) == kStatusSuccess) {
    NTSTATUS st = api.VerifySignature(hKey, nullptr, digest, sizeof(digest),
                                      const_cast<PUCHAR>(pSig), kPlatP256SignatureBytes, 0);
    if (st == kStatusSuccess)
      result = PLAT_VERIFY_OK;
    else if (st == kStatusInvalidSignature)
      result = PLAT_VERIFY_BAD_SIGNATURE;
    else
      result = PLAT_VERIFY_ERROR;
    api.DestroyKey(hKey);
  }
  api.CloseAlgorithmProvider(hAlg, 0);
  return result;
}

bool PlatGenRandom(void* pBuf, size_t cbBuf) {
  const Cng& api = Api();
  if (!api.loaded) return false;
  unsigned char* p = static_cast<unsigned char*>(pBuf);
  while (cbBuf > 0) {
    ULONG n = cbBuf > 0x10000u ? 0x10000u : static_cast<ULONG>(cbBuf);
    if (api.GenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != kStatusSuccess)
      return false;
    p += n;
    cbBuf -= n;
  }
  return true;
}
