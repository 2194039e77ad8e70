#include "remote/HttpHead.h"

#include <algorithm>
#include <cctype>

namespace remote {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (c <= 0x20 || c >= 0x7f ||
        std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos)
      return false;
  return true;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HttpRequest::Cookie(const std::string& name) const {
  std::string_view all = headers.count("cookie") ? std::string_view(headers.at("cookie")) : "";
  while (!all.empty()) {
    size_t semi = all.find_first_of(";,");
    std::string_view part = Trim(all.substr(0, semi));
    all = semi == std::string_view::npos ? std::string_view() : all.substr(semi + 1);
    size_t eq = part.find('=');
    if (eq != std::string_view::npos && Trim(part.substr(0, eq)) == name)
      return std::string(Trim(part.substr(eq + 1)));
  }
  return {};
}

bool HttpRequest::IsWebSocketUpgrade() const {
  return Lower(Header("upgrade")) == "websocket" &&
         Lower(Header("connection")).find("upgrade") != std::string::npos;
}

HeadResult ParseHead(std::string_view data, HttpRequest& out, size_t* headLength) {
  const size_t end = data.substr(0, kMaxHead + 4).find("\r\n\r\n");
  if (end == std::string_view::npos) {
    // A bare LF anywhere already tells that this is no request of ours.
    for (size_t i = 0; i < data.size() && i < kMaxHead; ++i)
      if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) return HeadResult::Bad;
    return data.size() > kMaxHead ? HeadResult::TooLarge : HeadResult::Incomplete;
  }
  if (end + 4 > kMaxHead) return HeadResult::TooLarge;
  out = HttpRequest{};
  std::string_view head = data.substr(0, end);
  size_t lines = 0;
  bool first = true, sawLength = false;
  while (true) {
    size_t eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    for (unsigned char c : line)
      if ((c < 0x20 && c != '\t') || c == 0x7f) return HeadResult::Bad;
    if (line.find('\n') != std::string_view::npos || line.find('\r') != std::string_view::npos)
      return HeadResult::Bad;
    if (first) {
      size_t a = line.find(' '), b = a == std::string_view::npos ? a : line.find(' ', a + 1);
      if (b == std::string_view::npos) return HeadResult::Bad;
      std::string_view method = line.substr(0, a), target = line.substr(a + 1, b - a - 1),
                       version = line.substr(b + 1);
      if (!IsToken(method) || target.empty() || target[0] != '/' ||
          target.find(' ') != std::string_view::npos)
        return HeadResult::Bad;
      if (version != "HTTP/1.1" && version != "HTTP/1.0") return HeadResult::Bad;
      out.method = std::string(method);
      out.target = std::string(target);
      out.minor = version.back() - '0';
      size_t q = target.find('?');
      out.path = std::string(target.substr(0, q));
      if (q != std::string_view::npos) out.query = std::string(target.substr(q + 1));
      first = false;
    } else {
      if (++lines > kMaxHeaders) return HeadResult::TooLarge;
      size_t colon = line.find(':');
      if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
        return HeadResult::Bad;
      const std::string name = Lower(line.substr(0, colon));
      const std::string value(Trim(line.substr(colon + 1)));
      if (name == "content-length") {
        if (sawLength || value.empty() || value.size() > 6 ||
            !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
          return HeadResult::Bad;
        sawLength = true;
        out.contentLength = std::stoul(value);
        if (out.contentLength > kMaxBody) return HeadResult::TooLarge;
      }
      if (name == "transfer-encoding") return HeadResult::Bad;
      auto [it, fresh] = out.headers.emplace(name, value);
      if (!fresh) it->second += ", " + value;
    }
    if (eol == std::string_view::npos) break;
    head.remove_prefix(eol + 2);
  }
  if (headLength) *headLength = end + 4;
  return HeadResult::Done;
}

std::string FormValue(std::string_view body, std::string_view key) {
  while (!body.empty()) {
    size_t amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos || pair.substr(0, eq) != key) continue;
    std::string out;
    std::string_view v = pair.substr(eq + 1);
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] == '+') {
        out += ' ';
      } else if (v[i] == '%') {
        if (i + 2 >= v.size()) return {};
        int h = Hex(v[i + 1]), l = Hex(v[i + 2]);
        if (h < 0 || l < 0) return {};
        out += static_cast<char>(h * 16 + l);
        i += 2;
      } else {
        out += v[i];
      }
    }
    return out;
  }
  return {};
}

}  // namespace remote
