// The head of an HTTP/1.1 request, read within bounds before anything is done with it. The
// server needs only the request line and a few headers (Host, Origin, Cookie, Upgrade,
// Content-Length) to route, check the session and hand WebSocket upgrades to Qt WebSockets,
// which then reads the head again itself.
// Refused: heads over kMaxHead, more than kMaxHeaders lines, bytes below 0x20 other than tab
// inside a line, bare LF line ends, chunked bodies, bodies over kMaxBody, duplicate
// Content-Length, and anything that is not "METHOD SP TARGET SP HTTP/1.x".
// Thread: any (pure).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace remote {

struct HttpRequest {
  std::string method, target, path, query;
  int minor = 1;                               // HTTP/1.minor
  std::map<std::string, std::string> headers;  // names in lower case; repeats joined by ", "
  size_t contentLength = 0;
  std::string Header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
  }
  // A cookie's value from the Cookie header, empty when absent.
  std::string Cookie(const std::string& name) const;
  bool IsWebSocketUpgrade() const;
};

enum class HeadResult { Incomplete, Done, Bad, TooLarge };

constexpr size_t kMaxHead = 8192;
constexpr size_t kMaxHeaders = 64;
constexpr size_t kMaxBody = 2048;

// Parses the head at the start of `data`; on Done, `headLength` is its length including the
// blank line.
HeadResult ParseHead(std::string_view data, HttpRequest& out, size_t* headLength);
// "a=1&b=x%20y" -> value of `key`, percent and '+' decoded; empty when absent or malformed.
std::string FormValue(std::string_view body, std::string_view key);

}  // namespace remote
