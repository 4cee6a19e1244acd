// CHttpClientMapT: ordered multimap of name/value entries for parameters and
// headers. Names compare case-insensitively; equal names keep insertion order.
#pragma once
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>

#include "httpclient/errors.h"
#include "platform/win.h"

namespace Corvu {

// Entry flags.
enum : DWORD {
  CHttpClientMapFlagFile = 1,     // the value is the path of a file to upload
  CHttpClientMapFlagRawName = 2,  // the name is sent without URL encoding
  CHttpClientMapFlagRawValue = 4  // the value is sent without URL encoding
};

template <class HttpTool>
class CHttpClientMapT {
 public:
  typedef typename HttpTool::PSZ PSZ;
  typedef typename HttpTool::PCSZ PCSZ;

  struct MapValue {
    PSZ szValue;
    DWORD dwFlags;
  };

 private:
  struct NameLess {
    bool operator()(PCSZ a, PCSZ b) const { return HttpTool::StringICmp(a, b) < 0; }
  };
  typedef std::multimap<PCSZ, MapValue, NameLess> MapType;

 public:
  typedef typename MapType::const_iterator ConstIter;

  CHttpClientMapT() = default;
  CHttpClientMapT(const CHttpClientMapT&) = delete;
  CHttpClientMapT& operator=(const CHttpClientMapT&) = delete;
  virtual ~CHttpClientMapT() { RemoveAll(); }

  // Copies both strings; a null value stays null.
  void Add(PCSZ szName, PCSZ szValue, DWORD dwFlags = 0) {
    if (szName == nullptr) RaiseErrorMessage("CHttpClientMapT::Add: szName can not be NULL.", 0);
    PSZ szNameCopy = _Copy(szName);
    if (szNameCopy == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    PSZ szValueCopy = nullptr;
    if (szValue != nullptr) {
      szValueCopy = _Copy(szValue);
      if (szValueCopy == nullptr) {
        std::free(szNameCopy);
        RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
      }
    }
    try {
      AddPointerDirectly(szNameCopy, szValueCopy, dwFlags);
    } catch (...) {
      std::free(szNameCopy);
      std::free(szValueCopy);
      throw;
    }
  }

  // Takes ownership of two malloc'ed strings once inserted.
  void AddPointerDirectly(PSZ szName, PSZ szValue, DWORD dwFlags = 0) {
    if (szName == nullptr)
      RaiseErrorMessage("CHttpClientMapT::AddPointerDirectly: szName can not be NULL.", 0);
    if (m_map.size() >= 0xFFFFFFFFu) RaiseError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    try {
      MapValue v;
      v.szValue = szValue;
      v.dwFlags = dwFlags;
      m_map.insert(typename MapType::value_type(szName, v));  // after equal names
    } catch (const std::exception& e) {
      RaiseErrorMessage(e.what(), HTTPCLIENT_ERR_STD_EXCEPTION);
    } catch (...) {
      RaiseError(HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    }
  }

  DWORD Count() const { return static_cast<DWORD>(m_map.size()); }
  bool Empty() const { return m_map.empty(); }

  void RemoveAll() {
    for (auto& e : m_map) {
      std::free(e.second.szValue);
      std::free(const_cast<PSZ>(e.first));
    }
    m_map.clear();
  }

  ConstIter Begin() const { return m_map.begin(); }
  ConstIter End() const { return m_map.end(); }
  // Entry at a position in map order; the caller keeps nIndex < Count().
  ConstIter At(DWORD nIndex) const {
    return std::next(m_map.begin(), static_cast<std::ptrdiff_t>(nIndex));
  }

 private:
  static PSZ _Copy(PCSZ sz) {
    size_t n = std::strlen(sz) + 1;
    PSZ p = static_cast<PSZ>(std::malloc(n));
    if (p != nullptr) std::memcpy(p, sz, n);
    return p;
  }

  MapType m_map;
};

}  // namespace Corvu
