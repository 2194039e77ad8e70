// Feeds arbitrary bytes to the WAVE header parser as if they were a file on disk, then decodes
// the data range it reports with the ADPCM decoders and the PCM conversion service, the way the
// player and kanalo-dtmf would.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/MMACMCvt.h"
#include "audio/MMADCvt.h"
#include "audio/MMWave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  audio::TWaveHeaderInfo info;
  const auto read = [&](int64_t off, size_t n, uint8_t* dst) -> size_t {
    if (off < 0 || static_cast<size_t>(off) >= size) return 0;
    const size_t k = std::min(n, size - static_cast<size_t>(off));
    std::memcpy(dst, data + off, k);
    return k;
  };
  if (audio::ParseWaveHeader(static_cast<int64_t>(size), read, info) != audio::TWaveParseResult::Ok)
    return 0;
  // Whatever the header said, the range it reports must lie inside the input.
  if (info.DataOffset < 0 || info.DataSize < 0 ||
      info.DataOffset + info.DataSize > static_cast<int64_t>(size) || !info.Format ||
      info.Format->nBlockAlign == 0 || info.DataSize % info.Format->nBlockAlign != 0)
    __builtin_trap();

  const audio::TWaveFormatEx* f = info.Format.get();
  const uint8_t* body = data + info.DataOffset;
  const auto n = static_cast<size_t>(info.DataSize);
  // Any format the service takes (float, wide, EXTENSIBLE, many channels) converts within bounds:
  // at most 44.1 output frames per input frame at the lowest rate it accepts.
  const audio::TWaveFormatEx mono = audio::MakePCMFormat(44100, 16, 1);
  if (auto s = audio::TPCMConvertStream::Open(f, &mono)) {
    std::vector<uint8_t> pcm;
    s->Convert(body, n, pcm);
    if (pcm.size() > 2 * (45 * n + 2)) __builtin_trap();
  }
  std::vector<int16_t> out;
  if (f->wFormatTag == 2) {
    audio::adpcm::TMSAdpcmInfo ms;
    if (!audio::adpcm::ReadMSAdpcmInfo(f, ms)) return 0;
    for (size_t pos = 0; pos < n; pos += f->nBlockAlign) {
      const size_t len = std::min<size_t>(f->nBlockAlign, n - pos);
      const size_t before = out.size();
      if (!audio::adpcm::DecodeMSAdpcmBlock(body + pos, len, f->nChannels, ms, out)) break;
      // A block never yields more than its declared samples.
      if (out.size() - before > static_cast<size_t>(ms.SamplesPerBlock) * f->nChannels)
        __builtin_trap();
    }
  } else if (f->nChannels >= 1 && f->nChannels <= 2) {
    audio::adpcm::TImaState st;
    for (uint16_t tag : {3, 51, 518}) {
      out.clear();
      audio::adpcm::DecodeIma(tag, body, n, f->nChannels, st, out);
      if (out.size() != n * 2) __builtin_trap();
      for (int ch = 0; ch < 2; ++ch)
        if (st.Index[ch] < 0 || st.Index[ch] > 88) __builtin_trap();
    }
  }
  return 0;
}
