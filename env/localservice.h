// The version query to the invoice control's local service: an HTTPS form
// POST on the loopback interface and its JSON reply.
#pragma once
#include <string>

// A text that is not JSON, or a reply without a member the query needs.
#define ERR_JSON_FORMAT 0x10000103

class CLocalServiceQuery {
 public:
  // 0 when the service answered with code 0 and a version (in *pstrVersion);
  // -1 when the exchange failed; ERR_JSON_FORMAT for an unusable reply;
  // otherwise the reply's non-zero code.
  int QueryVersion(std::string* pstrVersion);

  // The top-level members of a JSON object text (UTF-8) posted as form
  // fields to szUrl. 0 with the reply body, -1 on a library failure or an
  // empty, short or oversized body, ERR_JSON_FORMAT for a text that is not a
  // JSON object, otherwise the HTTP status.
  static int PostJsonAsForm(const char* szUrl, const char* szJson, std::string* pstrReply);

  // 0 or ERR_JSON_FORMAT. Stores the code once read, the message and the
  // version when present.
  static int ParseVersionReply(const char* szReply, int* pnCode, std::string* pstrMsg,
                               std::string* pstrVersion);

  std::string m_strCrosFlag;    // "0"
  std::string m_strClientMode;  // "0"
  std::string m_strApiVersion;  // "1.0"
  std::string m_strBaseUrl;     // "https://127.0.0.1:28000": no path, no trailing slash
  std::string m_strReserved;
};
