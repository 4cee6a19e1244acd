// Simulated WinInet: an in-memory HTTP peer scripted by the tests. Requests
// are recorded as the client makes them; answers come from what the tests
// serve at a host and port. Internet handles live in the kernel handle table
// with the kinds "internet", "connect" and "request".
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/core.h"
#include "platform/sim/net/ctl/wininet.h"
#include "platform/sim/kernel.h"
#include "platform/sim/net/wininet.h"

namespace simwin {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

struct InetObject : core::Object {
  std::string kind;
  explicit InetObject(const char* k) : kind(k) {}
  const char* Kind() const override { return kind.c_str(); }
};

struct Session : InetObject {
  Session() : InetObject("internet") {}
  std::string agent, proxy, bypass;
  bool hasProxy = false, hasBypass = false;
  DWORD accessType = 0, flags = 0;
  std::map<DWORD, std::string> options;
};

struct Connection : InetObject {
  Connection() : InetObject("connect") {}
  std::shared_ptr<Session> session;
  std::string host;
  INTERNET_PORT port = 0;
  DWORD service = 0;
  bool hasUser = false, hasPassword = false;
  std::map<DWORD, std::string> options;
};

struct Request : InetObject {
  Request() : InetObject("request") {}
  std::shared_ptr<Connection> connection;
  size_t record = 0;  // index into the request records
  enum State { kOpened, kWriting, kAnswered } state = kOpened;
  HttpReply reply;
  std::vector<std::pair<std::string, std::string>> responseHeaders;
  size_t readPos = 0;
  std::map<DWORD, std::string> options;
  int loginRounds = 0;  // login challenges answered so far
};

struct Server {
  HttpReply reply;
  HttpHandler handler;
};

struct State {
  std::mutex lock;
  std::map<std::pair<std::string, INTERNET_PORT>, Server> servers;
  std::vector<HttpRequestRecord> records;
  std::vector<InternetHandleInfo> open;
  std::vector<InternetHandleInfo> closed;
  std::vector<InternetOptionRecord> options;
  DWORD maxWriteChunk = 0;
  bool stallWrites = false;
};

State& S() {
  static State s;
  return s;
}

struct WinInetReset {
  WinInetReset() {
    core::OnReset([] {
      State& s = S();
      std::lock_guard<std::mutex> g(s.lock);
      s.servers.clear();
      s.records.clear();
      s.open.clear();
      s.closed.clear();
      s.options.clear();
      s.maxWriteChunk = 0;
      s.stallWrites = false;
    });
  }
};
WinInetReset g_winInetReset;

bool Fault(const char* api) {
  DWORD err;
  if (!core::TakeFault(api, &err)) return false;
  SetLastError(err);
  return true;
}

template <class T>
std::shared_ptr<T> Find(HINTERNET h, DWORD* error) {
  auto obj = core::FindHandle(h);
  if (!obj || !std::dynamic_pointer_cast<InetObject>(obj)) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  auto t = std::dynamic_pointer_cast<T>(obj);
  if (!t) *error = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
  return t;
}

HINTERNET AddInet(std::shared_ptr<InetObject> obj) {
  std::string kind = obj->kind;
  HINTERNET h = core::AddHandle(obj);
  std::lock_guard<std::mutex> g(S().lock);
  S().open.push_back(InternetHandleInfo{h, kind});
  return h;
}

// Splits header text at CR LF into non-empty lines.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    std::string line = text.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    if (!line.empty()) lines.push_back(line);
    if (e == std::string::npos) break;
    pos = e + 2;
  }
  return lines;
}

std::string HeaderName(const std::string& line) {
  size_t c = line.find(':');
  return c == std::string::npos ? line : Trim(line.substr(0, c));
}

// Adds header lines to a request record with the WinInet modifiers.
DWORD AddHeaderLines(HttpRequestRecord& rec, const std::string& text, DWORD modifiers) {
  std::vector<std::string> lines = SplitLines(text);
  for (const std::string& line : lines)
    if (line.find(':') == std::string::npos || HeaderName(line).empty())
      return ERROR_INVALID_PARAMETER;
  for (const std::string& line : lines) {
    std::string name = HeaderName(line);
    auto same = [&](const std::string& l) { return SameName(HeaderName(l), name); };
    bool exists = std::any_of(rec.headerLines.begin(), rec.headerLines.end(), same);
    if ((modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) && exists)
      return ERROR_HTTP_HEADER_ALREADY_EXISTS;
    if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      rec.headerLines.erase(std::remove_if(rec.headerLines.begin(), rec.headerLines.end(), same),
                            rec.headerLines.end());
      if (!Trim(line.substr(line.find(':') + 1)).empty() || (modifiers & HTTP_ADDREQ_FLAG_ADD))
        rec.headerLines.push_back(line);
    } else {
      rec.headerLines.push_back(line);
    }
  }
  return 0;
}

void BuildResponseHeaders(Request& req) {
  req.responseHeaders.clear();
  const HttpReply& r = req.reply;
  auto has = [&](const char* n) {
    return std::any_of(r.headers.begin(), r.headers.end(),
                       [&](const auto& h) { return SameName(h.first, n); });
  };
  if (r.framing == HttpReply::kContentLength && !has("Content-Length"))
    req.responseHeaders.emplace_back("Content-Length", std::to_string(r.body.size()));
  if (r.framing == HttpReply::kChunked && !has("Transfer-Encoding"))
    req.responseHeaders.emplace_back("Transfer-Encoding", "chunked");
  for (const auto& h : r.headers) req.responseHeaders.push_back(h);
}

// The peer at the request's host and port: false when nothing answers there.
bool FindServer(const Request& req, Server* out) {
  std::lock_guard<std::mutex> g(S().lock);
  auto it = S().servers.find({Lower(req.connection->host), req.connection->port});
  if (it == S().servers.end()) return false;
  *out = it->second;
  return true;
}

HttpRequestRecord RecordOf(const Request& req) {
  std::lock_guard<std::mutex> g(S().lock);
  return S().records[req.record];
}

template <class F>
void UpdateRecord(const Request& req, F f) {
  std::lock_guard<std::mutex> g(S().lock);
  f(S().records[req.record]);
}

// The peer's reply to a complete request.
HttpReply ReplyOf(const Request& req, const Server& server) {
  return server.handler ? server.handler(RecordOf(req)) : server.reply;
}

// Takes the peer's reply: false with *error when it is a failure.
bool Answer(Request& req, const HttpReply& reply, DWORD* error) {
  if (reply.sendError != 0) {
    *error = reply.sendError;
    return false;
  }
  req.reply = reply;
  req.readPos = 0;
  BuildResponseHeaders(req);
  req.state = Request::kAnswered;
  return true;
}

bool QueryText(const std::string& value, LPVOID buffer, LPDWORD len) {
  DWORD need = static_cast<DWORD>(value.size());
  if (buffer == nullptr || *len < need + 1) {
    *len = need + 1;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::memcpy(buffer, value.c_str(), need + 1);
  *len = need;
  return true;
}

}  // namespace

std::string HttpRequestRecord::Header(const std::string& name) const {
  for (const std::string& line : headerLines)
    if (SameName(HeaderName(line), name)) return Trim(line.substr(line.find(':') + 1));
  return "";
}

size_t HttpRequestRecord::HeaderCount(const std::string& name) const {
  return static_cast<size_t>(
      std::count_if(headerLines.begin(), headerLines.end(),
                    [&](const std::string& l) { return SameName(HeaderName(l), name); }));
}

void ServeAt(const std::string& host, INTERNET_PORT port, const HttpReply& reply) {
  std::lock_guard<std::mutex> g(S().lock);
  Server s;
  s.reply = reply;
  S().servers[{Lower(host), port}] = s;
}

void ServeAt(const std::string& host, INTERNET_PORT port, HttpHandler handler) {
  std::lock_guard<std::mutex> g(S().lock);
  Server s;
  s.handler = std::move(handler);
  S().servers[{Lower(host), port}] = s;
}

void StopServing(const std::string& host, INTERNET_PORT port) {
  std::lock_guard<std::mutex> g(S().lock);
  S().servers.erase({Lower(host), port});
}

void SetMaxWriteChunk(DWORD bytes) {
  std::lock_guard<std::mutex> g(S().lock);
  S().maxWriteChunk = bytes;
}

void StallWrites(bool stall) {
  std::lock_guard<std::mutex> g(S().lock);
  S().stallWrites = stall;
}

std::vector<HttpRequestRecord> HttpRequests() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().records;
}

std::vector<InternetHandleInfo> OpenInternetHandles() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().open;
}

std::vector<InternetHandleInfo> ClosedInternetHandles() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().closed;
}

std::vector<InternetOptionRecord> InternetOptions() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().options;
}

}  // namespace simwin

using namespace simwin;

HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                        LPCSTR lpszProxyBypass, DWORD dwFlags) {
  if (Fault("InternetOpenA")) return nullptr;
  auto s = std::make_shared<Session>();
  s->agent = lpszAgent ? lpszAgent : "";
  s->accessType = dwAccessType;
  s->hasProxy = lpszProxy != nullptr;
  s->proxy = lpszProxy ? lpszProxy : "";
  s->hasBypass = lpszProxyBypass != nullptr;
  s->bypass = lpszProxyBypass ? lpszProxyBypass : "";
  s->flags = dwFlags;
  SetLastError(ERROR_SUCCESS);
  return AddInet(s);
}

HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                           LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD,
                           DWORD_PTR) {
  if (Fault("InternetConnectA")) return nullptr;
  DWORD err = 0;
  auto s = Find<Session>(hInternet, &err);
  if (!s) {
    SetLastError(err);
    return nullptr;
  }
  if (lpszServerName == nullptr || *lpszServerName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (dwService != INTERNET_SERVICE_HTTP) {
    SetLastError(ERROR_INTERNET_INVALID_OPTION);
    return nullptr;
  }
  auto c = std::make_shared<Connection>();
  c->session = s;
  c->host = lpszServerName;
  c->port = nServerPort == INTERNET_INVALID_PORT_NUMBER ? INTERNET_DEFAULT_HTTP_PORT : nServerPort;
  c->service = dwService;
  c->hasUser = lpszUserName != nullptr;
  c->hasPassword = lpszPassword != nullptr;
  SetLastError(ERROR_SUCCESS);
  return AddInet(c);
}

HINTERNET HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName,
                           LPCSTR lpszVersion, LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes,
                           DWORD dwFlags, DWORD_PTR) {
  if (Fault("HttpOpenRequestA")) return nullptr;
  DWORD err = 0;
  auto c = Find<Connection>(hConnect, &err);
  if (!c) {
    SetLastError(err);
    return nullptr;
  }
  HttpRequestRecord rec;
  rec.agent = c->session->agent;
  rec.accessType = c->session->accessType;
  rec.proxy = c->session->proxy;
  rec.hasProxy = c->session->hasProxy;
  rec.proxyBypass = c->session->bypass;
  rec.hasProxyBypass = c->session->hasBypass;
  rec.openFlags = c->session->flags;
  rec.host = c->host;
  rec.port = c->port;
  rec.service = c->service;
  rec.hasUserName = c->hasUser;
  rec.hasPassword = c->hasPassword;
  rec.verb = lpszVerb && *lpszVerb ? lpszVerb : "GET";
  rec.object = lpszObjectName && *lpszObjectName ? lpszObjectName : "/";
  rec.hasVersion = lpszVersion != nullptr;
  rec.version = lpszVersion ? lpszVersion : "";
  rec.hasReferrer = lpszReferrer != nullptr;
  rec.referrer = lpszReferrer ? lpszReferrer : "";
  if (lplpszAcceptTypes)
    for (LPCSTR* p = lplpszAcceptTypes; *p; ++p) rec.acceptTypes.push_back(*p);
  rec.flags = dwFlags;

  auto r = std::make_shared<Request>();
  r->connection = c;
  {
    std::lock_guard<std::mutex> g(S().lock);
    r->record = S().records.size();
    S().records.push_back(rec);
  }
  SetLastError(ERROR_SUCCESS);
  return AddInet(r);
}

BOOL HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                            DWORD dwModifiers) {
  if (Fault("HttpAddRequestHeadersA")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hRequest, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (lpszHeaders == nullptr || dwHeadersLength == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t n = dwHeadersLength == 0xFFFFFFFFu ? std::strlen(lpszHeaders) : dwHeadersLength;
  std::string text(lpszHeaders, n);
  UpdateRecord(*r, [&](HttpRequestRecord& rec) {
    rec.headerCalls.push_back(HttpRequestRecord::HeaderCall{text, dwHeadersLength, dwModifiers});
    err = AddHeaderLines(rec, text, dwModifiers);
  });
  if (err != 0) {
    SetLastError(err);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                      LPVOID lpOptional, DWORD dwOptionalLength) {
  if (Fault("HttpSendRequestA")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hRequest, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (r->state == Request::kWriting) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  if (lpszHeaders != nullptr && dwHeadersLength != 0) {
    size_t n = dwHeadersLength == 0xFFFFFFFFu ? std::strlen(lpszHeaders) : dwHeadersLength;
    UpdateRecord(*r, [&](HttpRequestRecord& rec) {
      err = AddHeaderLines(rec, std::string(lpszHeaders, n), HTTP_ADDREQ_FLAG_ADD);
    });
    if (err != 0) {
      SetLastError(err);
      return FALSE;
    }
  }
  UpdateRecord(*r, [&](HttpRequestRecord& rec) {
    rec.body = lpOptional && dwOptionalLength
                   ? std::string(static_cast<const char*>(lpOptional), dwOptionalLength)
                   : "";
  });
  Server server;
  if (!FindServer(*r, &server)) {
    SetLastError(ERROR_INTERNET_CANNOT_CONNECT);
    return FALSE;
  }
  if (!Answer(*r, ReplyOf(*r, server), &err)) {
    SetLastError(err);
    return FALSE;
  }
  UpdateRecord(*r, [&](HttpRequestRecord& rec) { rec.sent = true; });
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL HttpSendRequestExA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersIn, LPINTERNET_BUFFERSA,
                        DWORD, DWORD_PTR) {
  if (Fault("HttpSendRequestExA")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hRequest, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (r->state != Request::kOpened) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  if (lpBuffersIn != nullptr && lpBuffersIn->dwStructSize != sizeof(INTERNET_BUFFERSA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Server server;
  if (!FindServer(*r, &server)) {
    SetLastError(ERROR_INTERNET_CANNOT_CONNECT);
    return FALSE;
  }
  if (!server.handler && server.reply.sendError != 0) {
    SetLastError(server.reply.sendError);
    return FALSE;
  }
  UpdateRecord(*r, [&](HttpRequestRecord& rec) {
    rec.sent = rec.sentEx = true;
    rec.announced = lpBuffersIn != nullptr;
    rec.announcedLength = lpBuffersIn ? lpBuffersIn->dwBufferTotal : 0;
    rec.buffersStructSize = lpBuffersIn ? lpBuffersIn->dwStructSize : 0;
    rec.body.clear();
    rec.sendBodies.emplace_back();
  });
  r->state = Request::kWriting;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL InternetWriteFile(HINTERNET hFile, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                       LPDWORD lpdwNumberOfBytesWritten) {
  if (Fault("InternetWriteFile")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hFile, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (lpdwNumberOfBytesWritten == nullptr || (lpBuffer == nullptr && dwNumberOfBytesToWrite != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (r->state != Request::kWriting) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  DWORD n = dwNumberOfBytesToWrite;
  {
    std::lock_guard<std::mutex> g(S().lock);
    if (S().maxWriteChunk != 0 && n > S().maxWriteChunk) n = S().maxWriteChunk;
    if (S().stallWrites) n = 0;
  }
  std::string bytes(static_cast<const char*>(lpBuffer), n);
  if (n != 0)
    UpdateRecord(*r, [&](HttpRequestRecord& rec) {
      rec.writes.push_back(bytes);
      rec.body += bytes;
      if (!rec.sendBodies.empty()) rec.sendBodies.back() += bytes;
    });
  *lpdwNumberOfBytesWritten = n;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL HttpEndRequestA(HINTERNET hRequest, LPINTERNET_BUFFERSA, DWORD, DWORD_PTR) {
  if (Fault("HttpEndRequestA")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hRequest, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (r->state != Request::kWriting) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  HttpRequestRecord rec = RecordOf(*r);
  // A peer still waiting for announced bytes never answers.
  if (rec.announced && rec.body.size() < rec.announcedLength) {
    SetLastError(ERROR_INTERNET_TIMEOUT);
    return FALSE;
  }
  Server server;
  if (!FindServer(*r, &server)) {
    SetLastError(ERROR_INTERNET_CONNECTION_RESET);
    return FALSE;
  }
  const HttpReply reply = ReplyOf(*r, server);
  // A login challenge: WinInet leaves the handle to be sent again.
  if (r->loginRounds < reply.loginRounds) {
    ++r->loginRounds;
    r->state = Request::kOpened;
    SetLastError(ERROR_INTERNET_FORCE_RETRY);
    return FALSE;
  }
  if (!Answer(*r, reply, &err)) {
    SetLastError(err);
    return FALSE;
  }
  UpdateRecord(*r, [&](HttpRequestRecord& x) { x.ended = true; });
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                    LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
  if (Fault("HttpQueryInfoA")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hRequest, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (lpdwBufferLength == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD level = dwInfoLevel & HTTP_QUERY_HEADER_MASK;
  bool number = (dwInfoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;
  bool requestHeaders = (dwInfoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
  if (!requestHeaders && r->state != Request::kAnswered) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }

  std::vector<std::pair<std::string, std::string>> headers;
  if (requestHeaders) {
    for (const std::string& line : RecordOf(*r).headerLines)
      headers.emplace_back(HeaderName(line), Trim(line.substr(line.find(':') + 1)));
  } else {
    headers = r->responseHeaders;
  }

  std::string value;
  bool found = true;
  std::string name;
  switch (level) {
    case HTTP_QUERY_STATUS_CODE:
      if (requestHeaders) found = false;
      value = std::to_string(r->reply.status);
      break;
    case HTTP_QUERY_STATUS_TEXT:
      if (requestHeaders) found = false;
      value = r->reply.statusText;
      break;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
      value = "HTTP/1.1 " + std::to_string(r->reply.status) + " " + r->reply.statusText + "\r\n";
      for (const auto& h : headers) value += h.first + ": " + h.second + "\r\n";
      value += "\r\n";
      break;
    case HTTP_QUERY_CONTENT_LENGTH:
      name = "Content-Length";
      break;
    case HTTP_QUERY_CONTENT_TYPE:
      name = "Content-Type";
      break;
    case HTTP_QUERY_TRANSFER_ENCODING:
      name = "Transfer-Encoding";
      break;
    case HTTP_QUERY_DATE:
      name = "Date";
      break;
    case HTTP_QUERY_CUSTOM:
      if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      name = static_cast<const char*>(lpBuffer);
      break;
    default:
      SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
      return FALSE;
  }
  if (!name.empty()) {
    DWORD want = lpdwIndex ? *lpdwIndex : 0, seen = 0;
    found = false;
    for (const auto& h : headers) {
      if (!SameName(h.first, name)) continue;
      if (seen++ == want) {
        value = h.second;
        found = true;
        break;
      }
    }
  }
  if (!found) {
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return FALSE;
  }
  if (number) {
    if (lpBuffer == nullptr || *lpdwBufferLength < sizeof(DWORD)) {
      *lpdwBufferLength = sizeof(DWORD);
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    DWORD v = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
    std::memcpy(lpBuffer, &v, sizeof(v));
    *lpdwBufferLength = sizeof(DWORD);
  } else if (!QueryText(value, lpBuffer, lpdwBufferLength)) {
    return FALSE;
  }
  if (lpdwIndex) ++*lpdwIndex;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                      LPDWORD lpdwNumberOfBytesRead) {
  if (Fault("InternetReadFile")) return FALSE;
  DWORD err = 0;
  auto r = Find<Request>(hFile, &err);
  if (!r) {
    SetLastError(err);
    return FALSE;
  }
  if (lpdwNumberOfBytesRead == nullptr || (lpBuffer == nullptr && dwNumberOfBytesToRead != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpdwNumberOfBytesRead = 0;
  if (r->state != Request::kAnswered) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  const HttpReply& rep = r->reply;
  size_t limit = std::min(rep.body.size(), rep.closeAfter);
  if (r->readPos >= limit) {
    if (limit < rep.body.size() && rep.resetOnClose) {
      SetLastError(rep.resetError);
      return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  size_t n = std::min<size_t>(dwNumberOfBytesToRead, limit - r->readPos);
  if (rep.maxReadChunk != 0) n = std::min<size_t>(n, rep.maxReadChunk);
  std::memcpy(lpBuffer, rep.body.data() + r->readPos, n);
  r->readPos += n;
  *lpdwNumberOfBytesRead = static_cast<DWORD>(n);
  UpdateRecord(*r, [&](HttpRequestRecord& rec) { rec.bytesRead += static_cast<DWORD>(n); });
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                        DWORD dwBufferLength) {
  if (Fault("InternetSetOptionA")) return FALSE;
  std::string kind;
  if (hInternet != nullptr) {
    auto obj = std::dynamic_pointer_cast<InetObject>(core::FindHandle(hInternet));
    if (!obj) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    kind = obj->kind;
  }
  if (lpBuffer == nullptr && dwBufferLength != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string bytes =
      lpBuffer ? std::string(static_cast<const char*>(lpBuffer), dwBufferLength) : "";
  {
    std::lock_guard<std::mutex> g(S().lock);
    S().options.push_back(InternetOptionRecord{hInternet, kind, dwOption, bytes});
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL InternetQueryOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                          LPDWORD lpdwBufferLength) {
  if (Fault("InternetQueryOptionA")) return FALSE;
  if (lpdwBufferLength == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The last value set on this handle, else WinInet's defaults for time-outs.
  std::string value;
  bool found = false;
  {
    std::lock_guard<std::mutex> g(S().lock);
    for (const auto& o : S().options)
      if (o.handle == hInternet && o.option == dwOption) {
        value = o.bytes;
        found = true;
      }
  }
  if (!found) {
    DWORD def = 0;
    if (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT || dwOption == INTERNET_OPTION_SEND_TIMEOUT ||
        dwOption == INTERNET_OPTION_RECEIVE_TIMEOUT)
      def = 60000;
    else {
      SetLastError(ERROR_INTERNET_INVALID_OPTION);
      return FALSE;
    }
    value.assign(reinterpret_cast<const char*>(&def), sizeof(def));
  }
  if (lpBuffer == nullptr || *lpdwBufferLength < value.size()) {
    *lpdwBufferLength = static_cast<DWORD>(value.size());
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(lpBuffer, value.data(), value.size());
  *lpdwBufferLength = static_cast<DWORD>(value.size());
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET hInternet) {
  if (Fault("InternetCloseHandle")) return FALSE;
  auto obj = std::dynamic_pointer_cast<InetObject>(core::FindHandle(hInternet));
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  core::RemoveHandle(hInternet);
  std::lock_guard<std::mutex> g(S().lock);
  auto& open = S().open;
  open.erase(std::remove_if(open.begin(), open.end(),
                            [&](const InternetHandleInfo& i) { return i.handle == hInternet; }),
             open.end());
  S().closed.push_back(InternetHandleInfo{hInternet, obj->kind});
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
