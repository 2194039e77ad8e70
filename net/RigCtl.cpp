#include "net/RigCtl.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace net {

namespace {

// CB band limits of the station's channel tables (26.565 .. 27.405 MHz, 80 channels).
constexpr int64_t kBandLow = 26565000;
constexpr int64_t kBandHigh = 27405000;
constexpr unsigned kModes = 0x1 | 0x20;  // AM | FM
constexpr unsigned long kLevelStrength = 1ul << 30;
constexpr unsigned kVfoA = 0x1;

std::string Rprt(int code) {
  return "RPRT " + std::to_string(code) + "\n";
}

void SkipBlanks(const std::string& s, size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

// The next blank-separated argument, or "" at the end of the line.
std::string Arg(const std::string& s, size_t& pos) {
  SkipBlanks(s, pos);
  size_t start = pos;
  while (pos < s.size() && s[pos] != ' ' && s[pos] != '\t') ++pos;
  return s.substr(start, pos - start);
}

bool IsDigits(std::string_view t) {
  return !t.empty() && t.size() <= 18 &&
         std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A plain decimal integer in [lo, hi]: digits only (a minus sign where negatives are allowed), no
// exponent, no trailing bytes. "1e1" or "1x" is no number rather than 10 or 1.
bool ParseInt(const std::string& text, int64_t lo, int64_t hi, int64_t& out) {
  std::string_view t = text;
  const bool negative = !t.empty() && t[0] == '-' && lo < 0;
  if (negative) t.remove_prefix(1);
  if (!IsDigits(t)) return false;
  int64_t v = 0;
  std::from_chars(t.data(), t.data() + t.size(), v);
  if (negative) v = -v;
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// A frequency as clients write it: whole hertz, optionally with a fraction of zeros
// ("27185000.000000"). A fraction that is not zero names no channel and is refused, not rounded.
bool ParseHz(const std::string& text, int64_t& out) {
  const size_t dot = text.find('.');
  if (dot != std::string::npos) {
    const std::string_view frac = std::string_view(text).substr(dot + 1);
    if (!std::all_of(frac.begin(), frac.end(), [](char c) { return c == '0'; })) return false;
  }
  return ParseInt(text.substr(0, dot), 1, 10'000'000'000, out);
}

// Bytes that have no place in a command line. A NUL in particular would end the line for a C
// parser and hide the rest ("T 1\0junk"); the whole line is refused instead.
bool HasControlByte(const std::string& line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
  });
}

// The VFO names Hamlib's clients send; the first ones name the radio's one VFO.
constexpr std::string_view kOwnVfos[] = {"currVFO", "VFOA", "VFO", "Main", "MainA", "TX", "RX"};
constexpr std::string_view kOtherVfos[] = {"VFOB", "VFOC",  "MEM",   "Sub",  "SubA",    "SubB",
                                           "SubC", "MainB", "MainC", "None", "OtherVFO"};

bool IsVfoName(std::string_view t, bool ownOnly) {
  for (auto v : kOwnVfos)
    if (t == v) return true;
  if (ownOnly) return false;
  for (auto v : kOtherVfos)
    if (t == v) return true;
  return false;
}

struct Names {
  char letter;
  const char* longName;
};

// The long names clients may use instead of the letters (without the backslash).
constexpr Names kNames[] = {
    {'f', "get_freq"},
    {'F', "set_freq"},
    {'m', "get_mode"},
    {'M', "set_mode"},
    {'v', "get_vfo"},
    {'V', "set_vfo"},
    {'s', "get_split_vfo"},
    {'t', "get_ptt"},
    {'T', "set_ptt"},
    {'l', "get_level"},
    {'e', "get_mem"},
    {'E', "set_mem"},
    {'q', "quit"},
    {'\0', "set_vfo_opt"},
    // Commands without a letter travel as single bytes above 0x7F in the short form.
    {'\x8b', "get_dcd"},
    {'\x88', "get_powerstat"},
    {'\xf0', "chk_vfo"},
    {'\x8f', "dump_state"},
};

}  // namespace

std::string DumpState() {
  std::string s;
  auto line = [&](const std::string& l) { s += l + "\n"; };
  line("1");  // protocol version
  line("2");  // rig model: the network rig
  line("1");  // ITU region
  char buf[160];
  std::snprintf(buf, sizeof buf, "%lld.000000 %lld.000000 0x%x -1 -1 0x%x 0x%x",
                static_cast<long long>(kBandLow), static_cast<long long>(kBandHigh), kModes, kVfoA,
                0x1);
  line(buf);
  line("0 0 0 0 0 0 0");
  std::snprintf(buf, sizeof buf, "%lld.000000 %lld.000000 0x%x 500 4000 0x%x 0x%x",
                static_cast<long long>(kBandLow), static_cast<long long>(kBandHigh), kModes, kVfoA,
                0x1);
  line(buf);
  line("0 0 0 0 0 0 0");
  std::snprintf(buf, sizeof buf, "0x%x 10000", kModes);  // one channel is 10 kHz
  line(buf);
  line("0 0");
  std::snprintf(buf, sizeof buf, "0x%x 6000", kModes);
  line(buf);
  line("0 0");
  line("0");    // max RIT
  line("0");    // max XIT
  line("0");    // max IF shift
  line("0");    // announces
  line("");     // preamps
  line("");     // attenuators
  line("0x0");  // get functions
  line("0x0");  // set functions
  std::snprintf(buf, sizeof buf, "0x%lx", kLevelStrength);
  line(buf);    // get levels
  line("0x0");  // set levels
  line("0x0");  // get parms
  line("0x0");  // set parms
  line("vfo_ops=0x0");
  line("ptt_type=0x1");
  line("targetable_vfo=0x0");
  line("has_set_vfo=0");
  line("has_get_vfo=1");
  line("has_set_freq=1");
  line("has_get_freq=1");
  line("done");
  return s;
}

std::string RigCtlSession::HandleLine(const std::string& raw) {
  line_ = raw;
  while (!line_.empty() && (line_.back() == '\r' || line_.back() == '\n')) line_.pop_back();
  pos_ = 0;
  waiting_ = false;
  readingWait_ = false;
  readingDone_ = false;
  if (HasControlByte(line_)) return Rprt(-RIG_EPROTO);
  return Continue();
}

std::string RigCtlSession::Resume(int result) {
  if (!waiting_ || readingWait_) return {};
  waiting_ = false;
  std::string out;
  Report(result, waitForm_, waitName_, waitArgs_, out);
  return out + Continue();
}

std::string RigCtlSession::ResumeReading() {
  if (!WaitingForReading()) return {};
  waiting_ = false;
  readingWait_ = false;
  readingDone_ = true;
  return Continue();
}

std::string RigCtlSession::Continue() {
  std::string out;
  while (pos_ < line_.size() && !quit_ && !waiting_) {
    SkipBlanks(line_, pos_);
    if (pos_ >= line_.size()) break;
    if (out.size() >= kMaxAnswer) {
      pos_ = line_.size();
      out += Rprt(-RIG_EINVAL);
      break;
    }
    RunOne(out);
  }
  return out;
}

void RigCtlSession::Report(int code, const Form& form, const std::string& name,
                           const std::string& args, std::string& out) {
  if (form.extended) out += name + ":" + (args.empty() ? "" : " " + args) + form.separator;
  out += Rprt(code);
}

void RigCtlSession::RunOne(std::string& out) {
  const std::string& line = line_;
  size_t& pos = pos_;
  const size_t start = pos;
  Form form;
  if (std::string_view("+;|,").find(line[pos]) != std::string_view::npos) {
    form.extended = true;
    form.separator = line[pos] == '+' ? '\n' : line[pos];
    ++pos;
  }
  char cmd = pos < line.size() ? line[pos] : ' ';
  std::string name;
  if (cmd == '\\') {
    size_t start = ++pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    name = line.substr(start, pos - start);
    cmd = 0;
    for (const Names& n : kNames)
      if (name == n.longName) cmd = n.letter;
  } else {
    pos = std::min(pos + 1, line.size());
    for (const Names& n : kNames)
      if (n.letter == cmd && cmd != '\0') name = n.longName;
  }

  // The VFO a command may name in Hamlib's VFO mode; it is part of the echoed arguments.
  std::string vfo;
  auto takeVfo = [&] {
    size_t at = pos;
    std::string t = Arg(line, at);
    if (IsVfoName(t, false)) {
      vfo = t;
      pos = at;
    }
  };
  auto withVfo = [&](const std::string& args) {
    return vfo.empty() ? args : args.empty() ? vfo : vfo + " " + args;
  };
  auto report = [&](int code, const std::string& args = "") {
    if (code == RIG_PENDING) {
      waiting_ = true;
      waitForm_ = form;
      waitName_ = name;
      waitArgs_ = withVfo(args);
      return;
    }
    Report(code, form, name, withVfo(args), out);
  };
  // Answers a query: plain values one per line, or the labelled form with RPRT 0.
  auto values = [&](std::initializer_list<std::pair<const char*, std::string>> vals,
                    const std::string& args = "") {
    if (form.extended) {
      const std::string a = withVfo(args);
      out += name + ":" + (a.empty() ? "" : " " + a) + form.separator;
      for (auto& [label, v] : vals) out += std::string(label) + ": " + v + form.separator;
      out += Rprt(0);
    } else {
      for (auto& [label, v] : vals) out += v + "\n";
    }
  };

  if (name == "chk_vfo") return values({{"ChkVFO", vfoMode_ ? "1" : "0"}});
  if (name == "set_vfo_opt") {
    const std::string a = Arg(line, pos);
    int64_t on = 0;
    if (!ParseInt(a, 0, 1, on)) return report(-RIG_EINVAL, a);
    vfoMode_ = on != 0;
    return report(RIG_OK, a);
  }
  if (name == "dump_state") {
    if (form.extended) out += name + ":" + form.separator;
    out += DumpState();
    if (form.extended) out += Rprt(0);
    return;
  }
  if (name == "get_powerstat") return values({{"Power Status", "1"}});
  // Hamlib 4.5 asks before every mode change and sends none when this fails, so that a refused
  // mode looked accepted; the radio's controls are never locked from here.
  if (name == "get_lock_mode") {
    takeVfo();
    return values({{"Locked", "0"}});
  }

  if (name == "get_dcd" || std::string_view("fFmMvstTleE").find(cmd) != std::string_view::npos)
    takeVfo();
  // The radio has one VFO: a command for another one is refused (after its arguments are read,
  // so that the rest of the line stays in step). get_vfo only tells which one is used.
  const bool otherVfo = !vfo.empty() && !IsVfoName(vfo, true) && cmd != 'v';
  if (otherVfo && std::string_view("FMTlE").find(cmd) == std::string_view::npos)
    return report(-RIG_EINVAL);
  // A reading taken right after a channel change waits for the new channel's; the command is
  // read again when it resumes.
  auto holdReading = [&] {
    if (readingDone_ || station_.ReadingFresh()) return false;
    pos = start;
    waiting_ = true;
    readingWait_ = true;
    return true;
  };
  if (name == "get_dcd") {
    if (holdReading()) return;
    if (!station_.HasReading()) return report(-RIG_EIO);
    return values({{"DCD", station_.SquelchOpen() ? "1" : "0"}});
  }

  switch (cmd) {
    case 'f':
      return values({{"Frequency", std::to_string(station_.FrequencyHz())}});
    case 'F': {
      const std::string a = Arg(line, pos);
      int64_t hz = 0;
      if (otherVfo || !ParseHz(a, hz)) return report(-RIG_EINVAL, a);
      return report(station_.TuneToFrequency(hz), a);
    }
    case 'm':
      return values({{"Mode", station_.AmMode() ? "AM" : "FM"}, {"Passband", "6000"}});
    case 'M': {
      const std::string mode = Arg(line, pos);
      const std::string width = Arg(line, pos);
      const std::string args = width.empty() ? mode : mode + " " + width;
      int64_t w = 0;
      // The passband: 0 the default, -1 unchanged, else hertz.
      if (otherVfo || (!width.empty() && !ParseInt(width, -1, 1'000'000, w)))
        return report(-RIG_EINVAL, args);
      // The radio's mode is set on the radio itself; accept what it already is.
      const bool same = mode == (station_.AmMode() ? "AM" : "FM");
      return report(same ? RIG_OK : -RIG_EINVAL, args);
    }
    case 'v':
      return values({{"VFO", "VFOA"}});
    case 'V': {
      const std::string v = Arg(line, pos);
      return report(IsVfoName(v, true) ? RIG_OK : -RIG_EINVAL, v);
    }
    case 's':
      return values({{"Split", "0"}, {"TX VFO", "VFOA"}});
    case 't':
      return values({{"PTT", std::to_string(station_.Ptt())}});
    case 'T': {
      const std::string a = Arg(line, pos);
      int64_t v = 0;
      if (otherVfo || !ParseInt(a, 0, 3, v)) return report(-RIG_EINVAL, a);
      return report(station_.SetPttFrom(client_, static_cast<int>(v)), a);
    }
    case 'l': {
      const std::string level = Arg(line, pos);
      if (otherVfo || level != "STRENGTH") return report(-RIG_EINVAL, level);
      if (holdReading()) return;
      if (!station_.HasReading()) return report(-RIG_EIO, level);
      const std::string v = std::to_string(station_.StrengthDb());
      if (!form.extended) {
        out += v + "\n";
        return;
      }
      return values({{"STRENGTH", v}}, level);
    }
    case 'e':
      return values({{"Memory#", std::to_string(station_.Channel())}});
    case 'E': {
      const std::string a = Arg(line, pos);
      int64_t v = 0;
      if (otherVfo || !ParseInt(a, 1, 80, v)) return report(-RIG_EINVAL, a);
      return report(station_.TuneToChannel(static_cast<int>(v)), a);
    }
    case 'q':
      // Hamlib's network rig waits for this answer before it closes its side.
      quit_ = true;
      return report(RIG_OK);
    default:
      // Unknown: the rest of the line cannot be trusted to be commands.
      pos = line.size();
      out += Rprt(-RIG_ENAVAIL);
      return;
  }
}

}  // namespace net
