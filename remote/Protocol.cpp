#include "remote/Protocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace remote {

namespace {

struct Name {
  const char* name;
  Cmd cmd;
  enum { None, Number, Flag, Text } arg;
};

constexpr Name kNames[] = {
    {"up", Cmd::Up, Name::None},
    {"dn", Cmd::Down, Name::None},
    {"mode", Cmd::Mode, Name::Number},
    {"scan", Cmd::Scan, Name::None},
    {"free", Cmd::Free, Name::None},
    {"auto", Cmd::Auto, Name::None},
    {"skip", Cmd::Skip, Name::None},
    {"squelch", Cmd::Squelch, Name::Number},
    {"freelevel", Cmd::FreeLevel, Name::Number},
    {"armcall", Cmd::ArmCall, Name::Flag},
    {"armmailbox", Cmd::ArmMailbox, Name::Flag},
    {"call", Cmd::Call, Name::Text},
    {"recordings", Cmd::Recordings, Name::None},
    {"play", Cmd::Play, Name::Text},
    {"log", Cmd::Log, Name::None},
    {"ptt", Cmd::Ptt, Name::Flag},
    {"hb", Cmd::Heartbeat, Name::None},
    {"hidden", Cmd::Hidden, Name::None},
    {"connect", Cmd::Connect, Name::Text},
    {"disconnect", Cmd::Disconnect, Name::None},
};

QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

bool CheckArg(Command& c, std::string* why) {
  switch (c.cmd) {
    case Cmd::Mode:
      return c.number == 15 || c.number == 40 || c.number == 80 ||
             Fail(why, "Kanalmodus: 15, 40 oder 80");
    case Cmd::Squelch:
    case Cmd::FreeLevel:
      return (c.number >= 0 && c.number <= 100) || Fail(why, "Wert: 0 bis 100");
    case Cmd::Call:
      if (c.text.empty() || c.text.size() > 16) return Fail(why, "Rufnummer: 1 bis 16 Zeichen");
      for (char ch : c.text)
        if (!((ch >= '0' && ch <= '9') || ch == '*' || ch == '#' || (ch >= 'A' && ch <= 'D')))
          return Fail(why, "Rufnummer: nur 0-9, *, #, A-D");
      return true;
    case Cmd::Play:
      return IsPlainName(c.text) || Fail(why, "Aufnahme: ungültiger Name");
    case Cmd::Connect:
      return c.text == "COM1" || c.text == "COM2" || Fail(why, "Anschluss: COM1 oder COM2");
    default:
      return true;
  }
}

}  // namespace

bool IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name == "." || name == "..") return false;
  for (unsigned char ch : name)
    if (ch < 0x20 || ch == 0x7f || ch == '/' || ch == '\\') return false;
  return true;
}

std::optional<Command> ParseCommand(const QByteArray& message, std::string* why) {
  if (message.size() > static_cast<qsizetype>(kMaxMessage)) {
    Fail(why, "Nachricht zu lang");
    return std::nullopt;
  }
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(message, &err);
  if (err.error != QJsonParseError::NoError || !doc.isObject()) {
    Fail(why, "kein JSON-Objekt");
    return std::nullopt;
  }
  const QJsonObject o = doc.object();
  const QJsonValue c = o.value("c");
  if (!c.isString()) {
    Fail(why, "Befehl fehlt");
    return std::nullopt;
  }
  const QString name = c.toString();
  for (const Name& n : kNames) {
    if (name != QLatin1String(n.name)) continue;
    Command out;
    out.cmd = n.cmd;
    const QJsonValue v = o.value("v");
    switch (n.arg) {
      case Name::None:
        break;
      case Name::Number: {
        const double d = v.toDouble(-1e9);
        if (!v.isDouble() || d != static_cast<double>(static_cast<int>(d))) {
          Fail(why, "Zahl erwartet");
          return std::nullopt;
        }
        out.number = static_cast<int>(d);
        break;
      }
      case Name::Flag:
        if (!v.isBool()) {
          Fail(why, "true oder false erwartet");
          return std::nullopt;
        }
        out.flag = v.toBool();
        break;
      case Name::Text:
        if (!v.isString()) {
          Fail(why, "Text erwartet");
          return std::nullopt;
        }
        out.text = v.toString().toStdString();
        break;
    }
    if (!CheckArg(out, why)) return std::nullopt;
    return out;
  }
  Fail(why, "unbekannter Befehl");
  return std::nullopt;
}

bool IsControl(Cmd c) {
  switch (c) {
    case Cmd::Recordings:
    case Cmd::Log:
    case Cmd::Heartbeat:
    case Cmd::Hidden:
      return false;
    default:
      return true;
  }
}

QByteArray StateMessage(const RemoteState& s) {
  QJsonArray band;
  for (int v : s.band) band.append(v);
  QJsonObject o{
      {"t", "state"},
      {"linked", s.linked},
      {"link", Q(s.link)},
      {"channel", s.channel},
      {"frequency", Q(s.frequency)},
      {"s", s.sValue},
      {"squelch", s.squelch},
      {"squelchOpen", s.squelchOpen},
      {"freeLevel", s.freeLevel},
      {"tx", s.tx},
      {"txBy", Q(s.txBy)},
      {"holder", s.remoteHolder},
      {"callLamp", Q(s.callLamp)},
      {"callArmed", s.callArmed},
      {"lm", Q(s.lm)},
      {"la", Q(s.la)},
      {"mailbox", s.mailboxArmed},
      {"recording", s.recording},
      {"scan", s.scanMode},
      {"auto", s.autoScan},
      {"first", s.firstChannel},
      {"last", s.lastChannel},
      {"band", band},
      {"timeout", s.timeoutSeconds},
      {"calling", s.calling},
  };
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray HelloMessage(int session, bool listener, const std::string& fingerprint) {
  QJsonObject o{{"t", "hello"},
                {"session", session},
                {"role", listener ? "listener" : "operator"},
                {"fingerprint", Q(fingerprint)}};
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray ErrorMessage(const std::string& text) {
  return QJsonDocument(QJsonObject{{"t", "error"}, {"text", Q(text)}})
      .toJson(QJsonDocument::Compact);
}

QByteArray RecordingsMessage(const std::vector<Recording>& items) {
  QJsonArray a;
  for (const auto& r : items)
    a.append(QJsonObject{
        {"name", Q(r.name)}, {"bytes", static_cast<double>(r.bytes)}, {"when", Q(r.when)}});
  return QJsonDocument(QJsonObject{{"t", "recordings"}, {"items", a}})
      .toJson(QJsonDocument::Compact);
}

QByteArray LogMessage(const std::vector<std::string>& lines) {
  QJsonArray a;
  for (const auto& l : lines) a.append(Q(l));
  return QJsonDocument(QJsonObject{{"t", "log"}, {"lines", a}}).toJson(QJsonDocument::Compact);
}

}  // namespace remote
