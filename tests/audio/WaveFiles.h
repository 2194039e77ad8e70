// Builds WAVE files byte by byte for the tests, including broken ones.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace audiotest {

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& tag(const char* t) {
    b.insert(b.end(), t, t + 4);
    return *this;
  }
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u16(uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  Bytes& raw(const std::vector<uint8_t>& v) {
    b.insert(b.end(), v.begin(), v.end());
    return *this;
  }
  Bytes& fill(size_t n, uint8_t v) {
    b.insert(b.end(), n, v);
    return *this;
  }
  Bytes& fmt(uint16_t tag, uint16_t ch, uint32_t rate, uint32_t avg, uint16_t align,
             uint16_t bits) {
    return this->tag("fmt ").u32(16).u16(tag).u16(ch).u32(rate).u32(avg).u16(align).u16(bits);
  }
};

// A RIFF WAVE file around `body` (the chunks after the form type); RIFF size correct unless given.
inline std::vector<uint8_t> Riff(const Bytes& body, int64_t riffSize = -1) {
  Bytes out;
  out.tag("RIFF").u32(riffSize < 0 ? static_cast<uint32_t>(body.b.size() + 4)
                                   : static_cast<uint32_t>(riffSize));
  out.tag("WAVE").raw(body.b);
  return out.b;
}

// A scratch folder removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "kanalo-audio-XXXXXX").string();
    path_ = mkdtemp(t.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Write(const std::string& name, const std::vector<uint8_t>& data) const {
    std::ofstream o(File(name), std::ios::binary);
    o.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return File(name);
  }
  static std::vector<uint8_t> Read(const std::string& path) {
    std::ifstream i(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>()};
  }

 private:
  std::string path_;
};

}  // namespace audiotest
