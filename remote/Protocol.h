// The messages between the page and the station over the WebSocket: JSON text frames.
// From the page: {"c":"up"}, {"c":"ptt","v":true}, {"c":"squelch","v":40}, ... (ParseCommand);
// to the page: {"t":"state",...}, {"t":"hello",...}, {"t":"error","text":...}, lists.
// Anything that is not one whole, well-typed command within bounds is refused with a reason and
// nothing of it runs.
// Thread: any (pure functions).
#pragma once

#include <QByteArray>
#include <optional>
#include <string>
#include <vector>

#include "remote/Station.h"

namespace remote {

enum class Cmd {
  Up,
  Down,
  Mode,  // number: 15, 40 or 80
  Scan,
  Free,
  Auto,
  Skip,
  Squelch,     // number 0..100
  FreeLevel,   // number 0..100
  ArmCall,     // flag
  ArmMailbox,  // flag
  Call,        // text: digits
  Recordings,
  Play,  // text: a recording's name
  Log,
  Ptt,  // flag: hold / let go
  Heartbeat,
  Hidden,      // the page went out of sight
  Connect,     // text: "COM1" or "COM2", as the window's menu connects
  Disconnect,  // as the window's "Trennen"
};

struct Command {
  Cmd cmd = Cmd::Heartbeat;
  int number = 0;
  bool flag = false;
  std::string text;
};

constexpr size_t kMaxMessage = 1024;

// One message from a page; nullopt with `why` set for anything else.
std::optional<Command> ParseCommand(const QByteArray& message, std::string* why);
// Whether a command changes the station (listeners may not give these).
bool IsControl(Cmd c);
// A recording name as the page may ask for it: a plain file name, no path, no control bytes.
bool IsPlainName(const std::string& name);

QByteArray StateMessage(const RemoteState& s);
QByteArray HelloMessage(int session, bool listener, const std::string& fingerprint);
QByteArray ErrorMessage(const std::string& text);
QByteArray RecordingsMessage(const std::vector<Recording>& items);
QByteArray LogMessage(const std::vector<std::string>& lines);

}  // namespace remote
