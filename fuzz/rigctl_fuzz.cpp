// Random input to the rig-control session, as the server feeds it: lines of at most 256 bytes.
// Each line's answer is bounded and made of whole lines; the station is only ever asked for
// values it can take; a command that waits is resumed with an arbitrary result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/RigCtl.h"

namespace {

struct Station : net::IRigStation {
  uint8_t mode = 0;  // drives what the station answers, from the input
  int64_t FrequencyHz() const override { return 27065000; }
  int Channel() const override { return 9; }
  int TuneToFrequency(int64_t hz) override {
    if (hz < 1) std::abort();
    return mode & 1 ? net::RIG_PENDING : -net::RIG_EINVAL;
  }
  int TuneToChannel(int c) override {
    if (c < 1 || c > 80) std::abort();
    return mode & 2 ? net::RIG_PENDING : net::RIG_OK;
  }
  int Ptt() const override { return 0; }
  int SetPtt(int p) override {
    if (p < 0 || p > 3) std::abort();
    return mode & 4 ? -net::RIG_ERJCTED : net::RIG_OK;
  }
  int StrengthDb() const override { return -54; }
  bool SquelchOpen() const override { return mode & 8; }
};

void Check(const std::string& answer) {
  const size_t bound = net::RigCtlSession::kMaxAnswer + net::DumpState().size() + 64;
  if (answer.size() > bound) std::abort();
  if (!answer.empty() && answer.back() != '\n') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Station st;
  st.mode = data[0];
  net::RigCtlSession s(st, 1);
  std::string line;
  for (size_t i = 1; i < size && !s.Quit(); ++i) {
    const char ch = static_cast<char>(data[i]);
    if (ch != '\n') {
      if (line.size() < 256) line += ch;
      continue;
    }
    Check(s.HandleLine(line));
    line.clear();
    for (int guard = 0; s.Waiting(); ++guard) {
      if (guard > 256) std::abort();  // one line cannot wait more often than it has commands
      Check(s.Resume(guard % 3 == 0 ? net::RIG_OK : -net::RIG_EIO));
    }
  }
  return 0;
}
