#include "net/RigCtl.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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

bool ParseNumber(const std::string& text, double& out) {
  if (text.empty() || text.size() > 32) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && std::isfinite(out);
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
  SkipBlanks(line_, pos_);
  extended_ = false;
  if (pos_ < line_.size() && line_[pos_] == '+') {
    extended_ = true;
    ++pos_;
  }
  return Continue();
}

std::string RigCtlSession::Resume(int result) {
  if (!waiting_) return {};
  waiting_ = false;
  std::string out;
  Report(result, waitName_, waitArgs_, out);
  return out + Continue();
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

void RigCtlSession::Report(int code, const std::string& name, const std::string& args,
                           std::string& out) const {
  if (extended_) out += name + ":" + (args.empty() ? "" : " " + args) + "\n";
  out += Rprt(code);
}

void RigCtlSession::RunOne(std::string& out) {
  const std::string& line = line_;
  size_t& pos = pos_;
  const bool extended = extended_;
  char cmd = line[pos];
  std::string name;
  if (cmd == '\\') {
    size_t start = ++pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    name = line.substr(start, pos - start);
    cmd = 0;
    for (const Names& n : kNames)
      if (name == n.longName) cmd = n.letter;
  } else {
    ++pos;
    for (const Names& n : kNames)
      if (n.letter == cmd) name = n.longName;
  }

  // Answers a query: plain values one per line, or the labelled form with RPRT 0.
  auto values = [&](std::initializer_list<std::pair<const char*, std::string>> vals,
                    const std::string& args = "") {
    if (extended) {
      out += name + ":" + (args.empty() ? "" : " " + args) + "\n";
      for (auto& [label, v] : vals) out += std::string(label) + ": " + v + "\n";
      out += Rprt(0);
    } else {
      for (auto& [label, v] : vals) out += v + "\n";
    }
  };
  auto report = [&](int code, const std::string& args = "") {
    if (code == RIG_PENDING) {
      waiting_ = true;
      waitName_ = name;
      waitArgs_ = args;
      return;
    }
    Report(code, name, args, out);
  };

  if (name == "chk_vfo") return values({{"CHKVFO", "0"}});
  if (name == "dump_state") {
    out += DumpState();
    return;
  }
  if (name == "get_dcd") return values({{"DCD", station_.SquelchOpen() ? "1" : "0"}});
  if (name == "get_powerstat") return values({{"Power Status", "1"}});

  switch (cmd) {
    case 'f':
      return values({{"Frequency", std::to_string(station_.FrequencyHz())}});
    case 'F': {
      std::string a = Arg(line, pos);
      double hz;
      // Channel frequencies are whole hertz; a fraction is no channel rather than rounded to one.
      if (!ParseNumber(a, hz) || hz < 1 || hz > 1e10 || hz != std::floor(hz))
        return report(-RIG_EINVAL, a);
      return report(station_.TuneToFrequency(static_cast<int64_t>(hz)), a);
    }
    case 'm':
      return values({{"Mode", station_.AmMode() ? "AM" : "FM"}, {"Passband", "6000"}});
    case 'M': {
      std::string mode = Arg(line, pos), width = Arg(line, pos);
      // The radio's mode is set on the radio itself; accept what it already is.
      bool same = mode == (station_.AmMode() ? "AM" : "FM");
      return report(same ? RIG_OK : -RIG_EINVAL, mode + " " + width);
    }
    case 'v':
      return values({{"VFO", "VFOA"}});
    case 'V': {
      std::string vfo = Arg(line, pos);
      return report(vfo == "VFOA" || vfo == "currVFO" ? RIG_OK : -RIG_EINVAL, vfo);
    }
    case 's':
      return values({{"Split", "0"}, {"TX VFO", "VFOA"}});
    case 't':
      return values({{"PTT", std::to_string(station_.Ptt())}});
    case 'T': {
      std::string a = Arg(line, pos);
      double v;
      if (!ParseNumber(a, v) || v < 0 || v > 3 || v != std::floor(v)) return report(-RIG_EINVAL, a);
      return report(station_.SetPttFrom(client_, static_cast<int>(v)), a);
    }
    case 'l': {
      std::string level = Arg(line, pos);
      if (level != "STRENGTH") {
        if (extended) out += name + ": " + level + "\n";
        out += Rprt(-RIG_EINVAL);
        return;
      }
      if (extended) {
        out += name + ": " + level + "\n" + level + ": " + std::to_string(station_.StrengthDb()) +
               "\n" + Rprt(0);
      } else {
        out += std::to_string(station_.StrengthDb()) + "\n";
      }
      return;
    }
    case 'e':
      return values({{"Memory#", std::to_string(station_.Channel())}});
    case 'E': {
      std::string a = Arg(line, pos);
      double v;
      if (!ParseNumber(a, v) || v != std::floor(v) || v < 1 || v > 80)
        return report(-RIG_EINVAL, a);
      return report(station_.TuneToChannel(static_cast<int>(v)), a);
    }
    case 'q':
      quit_ = true;
      return;
    default:
      // Unknown: the rest of the line cannot be trusted to be commands.
      pos = line.size();
      out += Rprt(-RIG_ENAVAIL);
      return;
  }
}

}  // namespace net
