// CHttpPostStatT: counters of a POST context, what was announced and what has
// been written. Every update is checked for overflow before bytes go out.
#pragma once
#include <cstdlib>
#include <cstring>

#include "httpclient/errors.h"
#include "platform/win.h"

namespace Corvu {

template <class HttpTool>
class CHttpPostStatT {
 public:
  typedef typename HttpTool::PSZ PSZ;
  typedef typename HttpTool::PCSZ PCSZ;

  CHttpPostStatT() : m_szCurrParamName(nullptr), m_szCurrParamFile(nullptr) { _Zero(); }
  CHttpPostStatT(const CHttpPostStatT&) = delete;
  CHttpPostStatT& operator=(const CHttpPostStatT&) = delete;
  virtual ~CHttpPostStatT() { Reset(); }

  // Back to inactive, all counters 0.
  void Reset() {
    std::free(m_szCurrParamName);
    std::free(m_szCurrParamFile);
    m_szCurrParamName = m_szCurrParamFile = nullptr;
    _Zero();
  }

  // Starts a context with its announced totals.
  void Activate(DWORD cbActualTotal, DWORD cbTotalValue, DWORD nTotalCount, DWORD nFileCount) {
    Reset();
    m_bActive = TRUE;
    m_cbActualTotal = cbActualTotal;
    m_cbTotalValue = cbTotalValue;
    m_nTotalCount = nTotalCount;
    m_nFileCount = nFileCount;
  }

  BOOL IsActive() const { return m_bActive; }

  DWORD ActualTotalByte() const {
    _Check("CHttpPostStatT::ActualTotalByte: The post context is not active.");
    return m_cbActualTotal;
  }
  DWORD ActualPostedByte() const {
    _Check("CHttpPostStatT::ActualPostedByte: The post context is not active.");
    return m_cbActualPosted;
  }
  DWORD TotalCount() const {
    _Check("CHttpPostStatT::TotalCount: The post context is not active.");
    return m_nTotalCount;
  }
  DWORD PostedCount() const {
    _Check("CHttpPostStatT::PostedCount: The post context is not active.");
    return m_nPostedCount;
  }
  DWORD FileCount() const {
    _Check("CHttpPostStatT::FileCount: The post context is not active.");
    return m_nFileCount;
  }
  DWORD PostedFileCount() const {
    _Check("CHttpPostStatT::PostedFileCount: The post context is not active.");
    return m_nPostedFileCount;
  }
  DWORD CurrParamPostedByte() const {
    _Check("CHttpPostStatT::CurrParamPostedByte: The post context is not active.");
    return m_cbCurrParamPosted;
  }
  DWORD CurrParamRemainByte() const {
    _Check("CHttpPostStatT::CurrParamRemainByte: The post context is not active.");
    return m_cbCurrParamTotal - m_cbCurrParamPosted;
  }
  BOOL CurrParamIsFile() const {
    _Check("CHttpPostStatT::CurrParamIsFile: The post context is not active.");
    return m_szCurrParamFile != nullptr;
  }
  BOOL CurrParamIsComplete() const {
    _Check("CHttpPostStatT::CurrParamIsComplete: The post context is not active.");
    return m_cbCurrParamPosted == m_cbCurrParamTotal;
  }
  PCSZ CurrParamName() const { return m_szCurrParamName; }
  PCSZ CurrParamFile() const { return m_szCurrParamFile; }
  DWORD TotalValueByte() const { return m_cbTotalValue; }
  DWORD PostedValueByte() const { return m_cbPostedValue; }

  void _TestAddActualPostedBytes(DWORD nBytes) const {
    _Check("CHttpPostStatT::_TestAddActualPostedBytes: The post context is not active.");
    if (m_cbActualPosted + nBytes < m_cbActualPosted)
      RaiseError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
  }
  void _TestAddPostedBytes(DWORD nBytes) const {
    _Check("CHttpPostStatT::_TestAddPostedBytes: The post context is not active.");
    _TestAddActualPostedBytes(nBytes);
    if (m_cbPostedValue + nBytes < m_cbPostedValue ||
        m_cbCurrParamPosted + nBytes < m_cbCurrParamPosted)
      RaiseError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
  }
  void _TestStartNewEntry(BOOL bIsFile) const {
    _Check("CHttpPostStatT::_TestStartNewEntry: The post context is not active.");
    if (m_nPostedCount == 0xFFFFFFFFu || (bIsFile && m_nPostedFileCount == 0xFFFFFFFFu))
      RaiseError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
  }

  void _StartNewEntry(PCSZ szName, DWORD cbTotal, BOOL bIsFile, PCSZ szFilePath) {
    _TestStartNewEntry(bIsFile);
    if (bIsFile) {
      _SetString(m_szCurrParamFile, szFilePath);
      ++m_nPostedFileCount;
    } else {
      std::free(m_szCurrParamFile);
      m_szCurrParamFile = nullptr;
    }
    _SetString(m_szCurrParamName, szName);
    ++m_nPostedCount;
    m_cbCurrParamTotal = cbTotal;
    m_cbCurrParamPosted = 0;
  }

  // Counts bytes already checked with the _Test functions.
  void _AddPostedBytes(DWORD nBytes, BOOL bIsValueData) {
    if (bIsValueData) {
      m_cbPostedValue += nBytes;
      m_cbCurrParamPosted += nBytes;
    }
    m_cbActualPosted += nBytes;
  }

 private:
  void _Check(PCSZ szMessage) const {
    if (!m_bActive) RaiseErrorMessage(szMessage, 0);
  }
  void _Zero() {
    m_bActive = FALSE;
    m_cbActualTotal = m_cbActualPosted = m_cbTotalValue = m_cbPostedValue = 0;
    m_nTotalCount = m_nPostedCount = m_nFileCount = m_nPostedFileCount = 0;
    m_cbCurrParamTotal = m_cbCurrParamPosted = 0;
  }
  // Replaces a held copy; an equal string is kept as it is.
  static void _SetString(PSZ& szHeld, PCSZ szNew) {
    if (szNew == nullptr) {
      std::free(szHeld);
      szHeld = nullptr;
      return;
    }
    if (szHeld != nullptr && std::strcmp(szHeld, szNew) == 0) return;
    size_t n = std::strlen(szNew) + 1;
    PSZ p = static_cast<PSZ>(std::malloc(n));
    if (p == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    std::memcpy(p, szNew, n);
    std::free(szHeld);
    szHeld = p;
  }

  BOOL m_bActive;
  DWORD m_cbActualTotal;
  DWORD m_cbActualPosted;
  DWORD m_cbTotalValue;
  DWORD m_cbPostedValue;
  DWORD m_nTotalCount;
  DWORD m_nPostedCount;
  DWORD m_nFileCount;
  DWORD m_nPostedFileCount;
  PSZ m_szCurrParamName;
  PSZ m_szCurrParamFile;
  DWORD m_cbCurrParamTotal;
  DWORD m_cbCurrParamPosted;
};

}  // namespace Corvu
