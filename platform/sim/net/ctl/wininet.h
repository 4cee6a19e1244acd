// Test controls of the simulated WinInet: script the peer at a host and port,
// then read back everything the client did.
//
//   simwin::HttpReply r;  r.body = "{\"code\":0}";
//   simwin::ServeAt("127.0.0.1", 9006, r);               // same answer each time
//   simwin::ServeAt("h", 80, [](const simwin::HttpRequestRecord& q) { ... });
//   ... run the client ...
//   auto reqs = simwin::HttpRequests();                   // what was sent
//   EXPECT_TRUE(simwin::OpenInternetHandles().empty());   // nothing leaked
//
// Single calls fail with simwin::FailCall("InternetReadFile", 12030) etc.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>
#include "platform/sim/wintypes.h"
#include "platform/sim/net/wininet.h"

namespace simwin {

// What the peer answers.
struct HttpReply {
  enum Framing {
    kContentLength,  // "Content-Length: <body size>" is sent
    kChunked,        // "Transfer-Encoding: chunked", no length
    kUntilClose      // neither: the body ends when the peer closes
  };
  DWORD status = 200;
  std::string statusText = "OK";
  std::vector<std::pair<std::string, std::string>> headers;  // added after the framing header
  std::string body;
  Framing framing = kContentLength;
  // The peer stops after this many body bytes: an early FIN (reads return
  // TRUE with 0 bytes) or, with resetOnClose, a reset (reads fail with
  // resetError; Wine reports the socket's 10054, Windows 12031).
  size_t closeAfter = static_cast<size_t>(-1);
  bool resetOnClose = false;
  DWORD resetError = ERROR_INTERNET_CONNECTION_RESET;
  // At most this many bytes per InternetReadFile (0: as many as asked).
  DWORD maxReadChunk = 0;
  // The peer asks for a Windows login (401 or 407 with NTLM or Negotiate)
  // this many times before it answers a request sent with HttpSendRequestExA:
  // each time HttpEndRequestA fails with ERROR_INTERNET_FORCE_RETRY and the
  // handle takes HttpSendRequestExA again, body and all, as WinInet leaves it
  // (NTLM: 2). Requests sent with HttpSendRequestA are answered at once.
  int loginRounds = 0;
  // Non-zero: the send fails with this error instead of answering
  // (12029 refused, 12045 unknown CA, 12057 revocation, 12038 name mismatch).
  DWORD sendError = 0;
};

// One request as the client made it.
struct HttpRequestRecord {
  // Internet handle
  std::string agent;
  DWORD accessType = 0;
  std::string proxy, proxyBypass;
  bool hasProxy = false, hasProxyBypass = false;
  DWORD openFlags = 0;
  // Connection
  std::string host;
  INTERNET_PORT port = 0;
  DWORD service = 0;
  bool hasUserName = false, hasPassword = false;
  // Request
  std::string verb;
  std::string object;
  std::string version;  // empty when null was passed
  bool hasVersion = false;
  std::string referrer;
  bool hasReferrer = false;
  std::vector<std::string> acceptTypes;
  DWORD flags = 0;
  // Each HttpAddRequestHeadersA call: the exact bytes, the length passed, the
  // modifiers.
  struct HeaderCall {
    std::string text;
    DWORD length;
    DWORD modifiers;
  };
  std::vector<HeaderCall> headerCalls;
  // Header lines in the order they would go out (split at CR LF).
  std::vector<std::string> headerLines;
  // Sending
  bool sent = false;    // HttpSendRequestA or HttpSendRequestExA succeeded
  bool sentEx = false;  // through HttpSendRequestExA
  bool announced = false;
  DWORD announcedLength = 0;        // dwBufferTotal of HttpSendRequestExA
  DWORD buffersStructSize = 0;      // dwStructSize of that INTERNET_BUFFERSA
  std::vector<std::string> writes;  // every successful InternetWriteFile
  std::string body;                 // what the last send wrote (or the optional data)
  bool ended = false;               // HttpEndRequestA succeeded
  DWORD bytesRead = 0;              // body bytes handed out by InternetReadFile
  // What each HttpSendRequestExA send wrote, in order.
  std::vector<std::string> sendBodies;

  // Value of the first header line with that name (case-insensitive), or "".
  std::string Header(const std::string& name) const;
  size_t HeaderCount(const std::string& name) const;
};

typedef std::function<HttpReply(const HttpRequestRecord&)> HttpHandler;

// Answers at host:port (host compared case-insensitively). Nothing served:
// the send fails with 12029, as a refused connection does.
void ServeAt(const std::string& host, INTERNET_PORT port, const HttpReply& reply);
void ServeAt(const std::string& host, INTERNET_PORT port, HttpHandler handler);
void StopServing(const std::string& host, INTERNET_PORT port);

// Each InternetWriteFile accepts at most this many bytes (0: all).
void SetMaxWriteChunk(DWORD bytes);
// InternetWriteFile succeeds but takes no byte (a peer that stopped reading).
void StallWrites(bool stall);

// Requests in the order they were opened.
std::vector<HttpRequestRecord> HttpRequests();

struct InternetHandleInfo {
  HINTERNET handle;
  std::string kind;  // "internet", "connect" or "request"
};
// Handles not yet closed, oldest first.
std::vector<InternetHandleInfo> OpenInternetHandles();
// Closed handles, in closing order.
std::vector<InternetHandleInfo> ClosedInternetHandles();

struct InternetOptionRecord {
  HINTERNET handle;
  std::string kind;
  DWORD option;
  std::string bytes;  // the buffer as given (length bytes)
};
std::vector<InternetOptionRecord> InternetOptions();

}  // namespace simwin
