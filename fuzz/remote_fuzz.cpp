// Random input to the browser front's own parsers, as the server meets it: a request head (with
// its cookie and form body), and a WebSocket message. Whatever comes in, a parsed command
// carries only values the station can take, and a parsed head stays within its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remote/HttpHead.h"
#include "remote/Protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  remote::HttpRequest req;
  size_t len = 0;
  if (remote::ParseHead(in, req, &len) == remote::HeadResult::Done) {
    if (len > remote::kMaxHead || len > size || req.contentLength > remote::kMaxBody ||
        req.path.empty() || req.path[0] != '/' || req.headers.size() > remote::kMaxHeaders)
      std::abort();
    (void)req.Cookie("kanalo");
    (void)req.IsWebSocketUpgrade();
    (void)remote::FormValue(in.substr(len), "password");
  }
  std::string why;
  if (auto c = remote::ParseCommand(QByteArray(in.data(), static_cast<qsizetype>(size)), &why)) {
    switch (c->cmd) {
      case remote::Cmd::Mode:
        if (c->number != 15 && c->number != 40 && c->number != 80) std::abort();
        break;
      case remote::Cmd::Squelch:
      case remote::Cmd::FreeLevel:
        if (c->number < 0 || c->number > 100) std::abort();
        break;
      case remote::Cmd::Call:
        if (c->text.empty() || c->text.size() > 16) std::abort();
        break;
      case remote::Cmd::Play:
        if (!remote::IsPlainName(c->text) || c->text.find('/') != std::string::npos) std::abort();
        break;
      default:
        break;
    }
  } else if (why.empty()) {
    std::abort();
  }
  return 0;
}
