// kanalo-dtmf: lists the DTMF digits the station would take from a recording.
//
//   kanalo-dtmf [--detector standard|precise] [--sensitivity N] FILE.wav
//   kanalo-dtmf [--detector standard|precise] [--sensitivity N] [--rate HZ] --raw < samples
//                                                 (signed 16-bit little-endian, mono)
//
// The precise detector runs at the input's rate (a file's own, or --rate); the standard one is
// the station's chain at 44100 Hz, so other files are converted for it and --raw input must be
// at 44100 Hz.
// Each digit is printed on its own line as the station appends it to its digit line, and
// standard output is flushed after each, so a pipe sees digits as they come. Exit 0 when the
// whole input was read; 2 with one line on standard error for bad usage or bad input (the digits
// found before a cut-short end are still printed).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Messages.h"
#include "station/DtmfPrecise.h"
#include "tools/DtmfScan.h"

namespace {

constexpr int kExitBadInput = 2;

int Fail(const std::string& message) {
  std::fprintf(stderr, "kanalo-dtmf: %s\n", message.c_str());
  return kExitBadInput;
}

void Usage(std::FILE* to) {
  std::fputs(
      "usage: kanalo-dtmf [--detector D] [--sensitivity N] FILE.wav\n"
      "       kanalo-dtmf [--detector D] [--sensitivity N] [--rate HZ] --raw < samples\n"
      "  --raw             read signed 16-bit little-endian mono samples from standard input\n"
      "  --rate HZ         their rate (default 44100; the standard detector takes 44100 only)\n"
      "  --detector D      'standard' (the station's block decoder, default) or 'precise'\n"
      "  --sensitivity N   threshold margin in percent as in the station's setting (default 50;\n"
      "                    the standard detector only)\n"
      "  --help            display this help and exit\n"
      "  --version         output version information and exit\n",
      to);
}

// Whole decimal numbers only; the station's setting is a 32-bit integer.
bool ParseInt(const char* text, int32_t& value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

void PrintDigit(char c) {
  std::fputc(c, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  rtl::MainThreadId();
  bool raw = false;
  bool precise = false;
  int32_t sensitivity = 50;
  int32_t rate = static_cast<int32_t>(tools::kScanRate);
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("kanalo-dtmf %s\n", KANALO_VERSION);
      return 0;
    } else if (a == "--raw") {
      raw = true;
    } else if (a == "--sensitivity" || a.rfind("--sensitivity=", 0) == 0) {
      const char* v = a == "--sensitivity" ? (i + 1 < argc ? argv[++i] : nullptr)
                                           : argv[i] + std::strlen("--sensitivity=");
      if (!ParseInt(v, sensitivity))
        return Fail("--sensitivity needs a whole number, got '" + std::string(v ? v : "") + "'");
    } else if (a == "--rate" || a.rfind("--rate=", 0) == 0) {
      const char* v =
          a == "--rate" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + std::strlen("--rate=");
      if (!ParseInt(v, rate) || rate < 8000 || rate > 192000)
        return Fail("--rate needs a rate from 8000 to 192000 Hz, got '" + std::string(v ? v : "") +
                    "'");
    } else if (a == "--detector" || a.rfind("--detector=", 0) == 0) {
      const char* v = a == "--detector" ? (i + 1 < argc ? argv[++i] : nullptr)
                                        : argv[i] + std::strlen("--detector=");
      const std::string d = v ? v : "";
      if (d != "standard" && d != "precise")
        return Fail("--detector is 'standard' or 'precise', got '" + d + "'");
      precise = d == "precise";
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unrecognized option '" + a + "' (try 'kanalo-dtmf --help')");
    } else if (!file.empty()) {
      return Fail("one input only (got '" + file + "' and '" + a + "')");
    } else {
      file = a;
    }
  }
  if (raw == !file.empty()) {
    Usage(stderr);
    return Fail(raw ? "--raw reads standard input and takes no file" : "no input given");
  }
  if (!precise && rate != static_cast<int32_t>(tools::kScanRate))
    return Fail("the standard detector reads 44100 Hz only (--rate is for --detector precise)");
  if (!raw && rate != static_cast<int32_t>(tools::kScanRate))
    return Fail("--rate is for --raw; a file states its own rate");

  try {
    tools::TDTMFScanner standard(precise ? nullptr : PrintDigit, sensitivity);
    // A file is opened first: the precise detector takes the file's own rate.
    std::unique_ptr<tools::TWaveSamples> wave;
    if (!raw) {
      wave = std::make_unique<tools::TWaveSamples>(file, precise);
      rate = static_cast<int32_t>(wave->Rate());
    }
    station::TDTMFPrecise detector(tools::kDefaultDTMFFrequencies, static_cast<uint32_t>(rate));
    detector.OnDigit = PrintDigit;
    auto feed = [&](const uint8_t* data, size_t n) {
      if (precise)
        detector.FeedBytes(data, n);
      else
        standard.Feed(data, n);
    };
    // The precise detector needs no padding at the end: its windows only hold whole audio.
    auto finish = [&] {
      if (!precise) standard.Finish();
    };
    auto partial = [&] {
      return precise ? detector.HasPartialSample() : standard.HasPartialSample();
    };
    if (raw) {
      std::vector<uint8_t> chunk(65536);
      size_t n;
      while ((n = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0) feed(chunk.data(), n);
      if (std::ferror(stdin))
        return Fail(std::string("reading standard input: ") + std::strerror(errno));
      finish();
      if (partial())
        return Fail("standard input ends in the middle of a sample (odd number of bytes)");
      return 0;
    }
    std::vector<uint8_t> samples;
    while (wave->Next(samples)) feed(samples.data(), samples.size());
    finish();
    if (wave->Truncated())
      return Fail(file + ": data cut short (the file holds less than its header declares)");
    return 0;
  } catch (const rtl::Exception& e) {
    return Fail(e.Message);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
