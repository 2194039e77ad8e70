#include "audio/MMADCvt.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "rtl/ResStrings.h"

namespace audio {

namespace adpcm {

namespace {
constexpr int kAdapt[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                            768, 614, 512, 409, 307, 230, 230, 230};
constexpr int kImaSteps[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kIndexMove[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

int16_t S16(const uint8_t* p) {
  return static_cast<int16_t>(p[0] | (p[1] << 8));
}
int16_t Clamp16(int32_t v) {
  return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}

// Tag 3 uses the shift-and-add form of the step product (truncating differently from the
// product formula) and lets the predictor wrap around in 16 bits.
int32_t ImaDiffShift(int step, int c) {
  int32_t d = step >> 3;
  if (c & 4) d += step;
  if (c & 2) d += step >> 1;
  if (c & 1) d += step >> 2;
  return d;
}
}  // namespace

bool ReadMSAdpcmInfo(const TWaveFormatEx* f, TMSAdpcmInfo& info) {
  info = TMSAdpcmInfo();
  if (!f || f->wFormatTag != 2 || f->cbSize < 4 || f->nChannels < 1 || f->nChannels > 2)
    return false;
  const auto* extra = reinterpret_cast<const uint8_t*>(f) + sizeof(TWaveFormatEx);
  info.SamplesPerBlock = static_cast<uint16_t>(extra[0] | (extra[1] << 8));
  const int num = extra[2] | (extra[3] << 8);
  if (num < 1 || f->cbSize < 4 + 4 * num || info.SamplesPerBlock < 2) return false;
  // A block must hold its header and no more nibbles than it has samples.
  const int header = 7 * f->nChannels;
  if (f->nBlockAlign < header) return false;
  for (int i = 0; i < num; ++i)
    info.Coefs.push_back({S16(extra + 4 + 4 * i), S16(extra + 6 + 4 * i)});
  return true;
}

bool DecodeMSAdpcmBlock(const uint8_t* in, size_t n, int channels, const TMSAdpcmInfo& info,
                        std::vector<int16_t>& out) {
  const size_t header = 7 * static_cast<size_t>(channels);
  if (n < header) return true;  // nothing decodable in a torn header
  int32_t c1[2], c2[2], delta[2], s1[2], s2[2];
  for (int ch = 0; ch < channels; ++ch) {
    const size_t pred = in[ch];
    if (pred >= info.Coefs.size()) return false;
    c1[ch] = info.Coefs[pred][0];
    c2[ch] = info.Coefs[pred][1];
    delta[ch] = S16(in + channels + 2 * ch);
    s1[ch] = S16(in + 3 * channels + 2 * ch);
    s2[ch] = S16(in + 5 * channels + 2 * ch);
  }
  for (int ch = 0; ch < channels; ++ch) out.push_back(static_cast<int16_t>(s2[ch]));
  for (int ch = 0; ch < channels; ++ch) out.push_back(static_cast<int16_t>(s1[ch]));
  const size_t total = static_cast<size_t>(info.SamplesPerBlock) * channels;
  size_t produced = 2 * static_cast<size_t>(channels);
  int ch = 0;
  for (size_t i = header; i < n && produced < total; ++i) {
    for (int shift = 4; shift >= 0 && produced < total; shift -= 4) {
      const int nib = (in[i] >> shift) & 0xF;
      const int32_t pred = (s1[ch] * c1[ch] + s2[ch] * c2[ch]) >> 8;  // floor, as published
      const int32_t sn = Clamp16(pred + (nib >= 8 ? nib - 16 : nib) * delta[ch]);
      s2[ch] = s1[ch];
      s1[ch] = sn;
      out.push_back(static_cast<int16_t>(sn));
      // Real streams keep the step far below this bound; a hostile one must not overflow it.
      delta[ch] = static_cast<int32_t>(
          std::clamp<int64_t>((static_cast<int64_t>(kAdapt[nib]) * delta[ch]) >> 8, 16, 0x7FFFFF));
      ++produced;
      ch = (ch + 1) % channels;
    }
  }
  return true;
}

bool IsFloat(const TWaveFormatEx* f) {
  return f && f->wFormatTag == 3 && f->wBitsPerSample == 32;
}

void DecodeFloat(const uint8_t* in, size_t n, std::vector<int16_t>& out) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    const uint32_t bits = static_cast<uint32_t>(in[i]) | (static_cast<uint32_t>(in[i + 1]) << 8) |
                          (static_cast<uint32_t>(in[i + 2]) << 16) |
                          (static_cast<uint32_t>(in[i + 3]) << 24);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isnan(v)) v = 0;
    out.push_back(static_cast<int16_t>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f)));
  }
}

void DecodeIma(uint16_t tag, const uint8_t* in, size_t n, int channels, TImaState& st,
               std::vector<int16_t>& out) {
  const auto step1 = [&](int ch, int c) {
    const int step = kImaSteps[st.Index[ch]];
    int32_t d;
    if (tag == 3) {
      d = ImaDiffShift(step, c & 7);
    } else {
      d = std::min((2 * (c & 7) + 1) * step / 8, 32767);
    }
    if (c & 8) d = -d;
    int32_t p = st.Predictor[ch] + d;
    p = tag == 3 ? static_cast<int16_t>(static_cast<uint16_t>(p)) : std::clamp(p, -32768, 32767);
    st.Predictor[ch] = p;
    st.Index[ch] = std::clamp(st.Index[ch] + kIndexMove[c & 7], 0, 88);
    out.push_back(static_cast<int16_t>(p));
  };
  if (channels == 1) {
    for (size_t i = 0; i < n; ++i) {
      step1(0, in[i] >> 4);
      step1(0, in[i] & 0xF);
    }
  } else if (tag == 3) {
    for (size_t i = 0; i < n; ++i) {
      step1(0, in[i] & 0xF);
      step1(1, in[i] >> 4);
    }
  } else {
    // Swapped byte pairs; an odd last byte stands alone.
    for (size_t i = 0; i < n; i += 2) {
      const size_t order[2] = {i + 1, i};
      for (size_t k : order) {
        if (k >= n) continue;
        step1(0, in[k] >> 4);
        step1(1, in[k] & 0xF);
      }
    }
  }
}

}  // namespace adpcm

void TMMADPCMConverter::SetBitLength(TMMBits V) {
  if (V == BitLength_) return;
  BitLength_ = V;
  Recompute();
}

TWaveFormatPtr TMMADPCMConverter::ComputeOutputFormat() {
  const TWaveFormatEx* in = InFormat_.get();
  if (!in || in->wFormatTag == WAVE_FORMAT_PCM) return CopyWaveFormat(in);
  const uint16_t tag = in->wFormatTag;
  adpcm::TMSAdpcmInfo info;
  const bool channels = in->nChannels >= 1 && in->nChannels <= 2;
  const bool ima = (tag == 3 && in->wBitsPerSample == 4) || tag == 51 || tag == 518;
  if ((tag == 2 && adpcm::ReadMSAdpcmInfo(in, info)) ||
      (channels && (ima || adpcm::IsFloat(in)) && in->nSamplesPerSec > 0)) {
    TWaveFormatEx out =
        MakePCMFormat(in->nSamplesPerSec, BitLength_ == b16Bit ? 16 : 8, in->nChannels);
    return CopyWaveFormat(&out);
  }
  return nullptr;
}

bool TMMADPCMConverter::PathExists(const TWaveFormatEx* out) {
  return out && out->wFormatTag == WAVE_FORMAT_PCM;
}

uint32_t TMMADPCMConverter::InputBlockSize() const {
  const uint32_t align = InFormat_ ? std::max<uint32_t>(InFormat_->nBlockAlign, 1) : 1;
  if (InFormat_ && (InFormat_->wFormatTag == 2 || adpcm::IsFloat(InFormat_.get())))
    return std::max<uint32_t>(4096 / align * align, align);
  return 4096;
}

bool TMMADPCMConverter::Prepare() {
  if (InFormat_->wFormatTag == 2 && !adpcm::ReadMSAdpcmInfo(InFormat_.get(), ms_)) return false;
  carry_.clear();
  samples_.clear();
  samples_.reserve(16384);
  ResetState();
  return true;
}

void TMMADPCMConverter::Release() {
  carry_.clear();
  carry_.shrink_to_fit();
  samples_.clear();
  samples_.shrink_to_fit();
}

void TMMADPCMConverter::ResetState() {
  ima_ = adpcm::TImaState();
  carry_.clear();
}

void TMMADPCMConverter::ConvertError() {
  throw EMMADPCMError("Unable to convert to destination format");
}

void TMMADPCMConverter::Emit(const std::vector<int16_t>& s, std::vector<uint8_t>& out) const {
  if (BitLength_ == b16Bit) {
    for (int16_t v : s) {
      out.push_back(static_cast<uint8_t>(v & 0xFF));
      out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
  } else {
    for (int16_t v : s) out.push_back(static_cast<uint8_t>(v / 256 + 128));
  }
}

void TMMADPCMConverter::Convert(const uint8_t* in, size_t n, bool last, std::vector<uint8_t>& out) {
  samples_.clear();
  const int channels = InFormat_->nChannels;
  if (InFormat_->wFormatTag == 2) {
    const size_t align = InFormat_->nBlockAlign;
    size_t pos = 0;
    // Finish a block that began in the previous request.
    if (!carry_.empty()) {
      const size_t take = std::min(align - carry_.size(), n);
      carry_.insert(carry_.end(), in, in + take);
      pos = take;
      if (carry_.size() == align || last) {
        if (!adpcm::DecodeMSAdpcmBlock(carry_.data(), carry_.size(), channels, ms_, samples_)) {
          carry_.clear();
          return;
        }
        carry_.clear();
      }
    }
    while (pos + align <= n) {
      if (!adpcm::DecodeMSAdpcmBlock(in + pos, align, channels, ms_, samples_)) return;
      pos += align;
    }
    if (pos < n) {
      if (last) {
        if (!adpcm::DecodeMSAdpcmBlock(in + pos, n - pos, channels, ms_, samples_)) return;
      } else {
        carry_.assign(in + pos, in + n);
      }
    }
  } else if (adpcm::IsFloat(InFormat_.get())) {
    // A sample cut by the request's edge is finished with the next request.
    size_t pos = 0;
    if (!carry_.empty()) {
      const size_t take = std::min(4 - carry_.size(), n);
      carry_.insert(carry_.end(), in, in + take);
      pos = take;
      if (carry_.size() == 4) {
        adpcm::DecodeFloat(carry_.data(), 4, samples_);
        carry_.clear();
      }
    }
    const size_t whole = (n - pos) / 4 * 4;
    adpcm::DecodeFloat(in + pos, whole, samples_);
    if (!last) carry_.assign(in + pos + whole, in + n);
  } else {
    adpcm::DecodeIma(InFormat_->wFormatTag, in, n, channels, ima_, samples_);
  }
  Emit(samples_, out);
}

}  // namespace audio
