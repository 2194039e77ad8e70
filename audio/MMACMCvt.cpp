#include "audio/MMACMCvt.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "rtl/ResStrings.h"

namespace audio {

namespace {
constexpr uint16_t kALaw = 6, kMuLaw = 7;

bool IsPcmShape(const TWaveFormatEx* f) {
  return f && f->wFormatTag == WAVE_FORMAT_PCM &&
         (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) && f->nChannels >= 1 &&
         f->nChannels <= 2 && f->nSamplesPerSec > 0;
}
bool IsLaw(const TWaveFormatEx* f) {
  return f && (f->wFormatTag == kALaw || f->wFormatTag == kMuLaw) && f->wBitsPerSample == 8 &&
         f->nChannels >= 1 && f->nChannels <= 2 && f->nSamplesPerSec > 0;
}

constexpr uint16_t kFloat = 3, kExtensible = 0xFFFE;
// Every subformat GUID of WAVE_FORMAT_EXTENSIBLE ends in these bytes after its 16-bit tag.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
}  // namespace

// What one sample of a format is, for the formats the service reads: integer PCM of any width up
// to 32 bits in whole bytes, IEEE float of 32 or 64 bits, A-law and mu-law, plain or wrapped in
// WAVE_FORMAT_EXTENSIBLE, with any number of channels.
bool TPCMConvertStream::Describe(const TWaveFormatEx* f, TLayout& l) {
  if (!f || f->nChannels == 0 || f->nSamplesPerSec == 0) return false;
  uint16_t tag = f->wFormatTag;
  if (tag == kExtensible) {
    // wValidBitsPerSample, dwChannelMask, then the subformat GUID. The valid bits lie at the top
    // of each container, so reading the whole container is right for any of them.
    if (f->cbSize < 22) return false;
    const auto* guid = reinterpret_cast<const uint8_t*>(f) + sizeof(TWaveFormatEx) + 6;
    if (std::memcmp(guid + 2, kGuidTail, sizeof kGuidTail) != 0) return false;
    tag = static_cast<uint16_t>(guid[0] | guid[1] << 8);
    if (tag == kALaw || tag == kMuLaw) return false;
  }
  const int bits = f->wBitsPerSample;
  l.channels = f->nChannels;
  l.bytes = static_cast<size_t>((bits + 7) / 8);
  if (tag == WAVE_FORMAT_PCM && bits >= 1 && bits <= 32) {
    l.kind = l.bytes == 1 ? TLayout::U8 : static_cast<TLayout::Kind>(TLayout::S16 + l.bytes - 2);
  } else if (tag == kFloat && (bits == 32 || bits == 64)) {
    l.kind = bits == 32 ? TLayout::F32 : TLayout::F64;
  } else if ((tag == kALaw || tag == kMuLaw) && bits == 8) {
    l.kind = tag == kALaw ? TLayout::ALaw : TLayout::MuLaw;
    return IsLaw(f) || f->wFormatTag == kExtensible;
  } else {
    return false;
  }
  // The file is read in blocks of nBlockAlign: a block that is not one frame would shift every
  // channel. Plain PCM headers have it derived by the parser.
  return f->wFormatTag == WAVE_FORMAT_PCM || f->nBlockAlign == l.bytes * l.channels;
}

int32_t TPCMConvertStream::Sample(const uint8_t* p) const {
  switch (layout_.kind) {
    case TLayout::U8:
      return (static_cast<int32_t>(*p) - 128) * 256;
    case TLayout::S16:
      return static_cast<int16_t>(p[0] | (p[1] << 8));
    case TLayout::S24:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                  static_cast<uint32_t>(p[1]) << 16 |
                                  static_cast<uint32_t>(p[2]) << 24) >>
             16;
    case TLayout::S32:
      return static_cast<int32_t>(static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3])
                                                                          << 24) >>
             16;
    case TLayout::ALaw:
      return ALawToLinear(*p);
    case TLayout::MuLaw:
      return MuLawToLinear(*p);
    case TLayout::F32:
    case TLayout::F64: {
      double v;
      if (layout_.kind == TLayout::F32) {
        float f;
        std::memcpy(&f, p, sizeof f);
        v = f;
      } else {
        std::memcpy(&v, p, sizeof v);
      }
      // Full scale clamps, as our ADPCM decoder's float does; NaN is silence.
      if (std::isnan(v)) return 0;
      return static_cast<int32_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767.0));
    }
  }
  return 0;
}

int16_t ALawToLinear(uint8_t a) {
  a ^= 0x55;
  const int seg = (a & 0x70) >> 4;
  int t = (a & 0x0F) << 4;
  t += seg == 0 ? 8 : 0x108;
  if (seg > 1) t <<= seg - 1;
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

int16_t MuLawToLinear(uint8_t u) {
  u = static_cast<uint8_t>(~u);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return static_cast<int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

bool TPCMConvertStream::CanConvert(const TWaveFormatEx* in, const TWaveFormatEx* out) {
  // Rates outside what sound cards use are refused: a file that claims 1 Hz would otherwise be
  // stretched 44100-fold into gigabytes in one request. Within these bounds one request grows
  // at most 384-fold.
  const auto rateOk = [](const TWaveFormatEx* f) {
    return f->nSamplesPerSec >= kMinRate && f->nSamplesPerSec <= kMaxRate;
  };
  TLayout l;
  return Describe(in, l) && IsPcmShape(out) && rateOk(in) && rateOk(out);
}

std::unique_ptr<TPCMConvertStream> TPCMConvertStream::Open(const TWaveFormatEx* in,
                                                           const TWaveFormatEx* out) {
  if (!CanConvert(in, out)) return nullptr;
  auto s = std::unique_ptr<TPCMConvertStream>(new TPCMConvertStream(*in, *out));
  Describe(in, s->layout_);
  return s;
}

TWaveFormatPtr TPCMConvertStream::Suggest(const TWaveFormatEx* in) {
  if (IsPcmShape(in)) return CopyWaveFormat(in);
  TLayout l;
  if (!Describe(in, l)) return nullptr;
  // 16 bits keep what a wider sample says to a 16-bit sound card; more than two channels are
  // mixed to one, which is what goes on the air.
  TWaveFormatEx f = MakePCMFormat(in->nSamplesPerSec, 16, l.channels == 2 ? 2 : 1);
  return CopyWaveFormat(&f);
}

void TPCMConvertStream::Reset() {
  phase_ = 0;
  havePrev_ = false;
}

void TPCMConvertStream::Convert(const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
  // Decode to 16-bit frames of the output's channel count. Channels are mixed by their mean
  // where the output has fewer; more than two go to both sides of a stereo output as one.
  const int ich = layout_.channels, och = out_.nChannels;
  const size_t frameBytes = layout_.bytes * static_cast<size_t>(ich);
  const size_t frames = n / frameBytes;
  frames_.clear();
  frames_.reserve(frames * static_cast<size_t>(och));
  for (size_t i = 0; i < frames; ++i) {
    const uint8_t* frame = in + i * frameBytes;
    if (ich == och) {
      for (int c = 0; c < och; ++c) frames_.push_back(Sample(frame + c * layout_.bytes));
      continue;
    }
    int64_t sum = 0;
    for (int c = 0; c < ich; ++c) sum += Sample(frame + c * layout_.bytes);
    const auto mixed = static_cast<int32_t>(sum / ich);
    for (int c = 0; c < och; ++c) frames_.push_back(mixed);
  }
  const auto put = [&](int32_t v) {
    v = std::clamp(v, -32768, 32767);
    if (out_.wBitsPerSample == 8) {
      out.push_back(static_cast<uint8_t>(v / 256 + 128));
    } else {
      out.push_back(static_cast<uint8_t>(v & 0xFF));
      out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
  };
  const size_t nf = frames_.size() / static_cast<size_t>(och);
  if (in_.nSamplesPerSec == out_.nSamplesPerSec) {
    for (int32_t v : frames_) put(v);
    return;
  }
  // Linear interpolation: `phase_` is the time of the next output frame, in input frames after
  // the previous input frame. It runs on across calls so that buffer edges leave no gaps.
  const double step = static_cast<double>(in_.nSamplesPerSec) / out_.nSamplesPerSec;
  for (size_t i = 0; i < nf; ++i) {
    const int32_t* cur = &frames_[i * static_cast<size_t>(och)];
    if (!havePrev_) {
      for (int c = 0; c < och; ++c) prev_[c] = cur[c];
      havePrev_ = true;
      phase_ = 0;
      continue;
    }
    while (phase_ < 1.0) {
      for (int c = 0; c < och; ++c)
        put(static_cast<int32_t>(std::lround(prev_[c] + (cur[c] - prev_[c]) * phase_)));
      phase_ += step;
    }
    phase_ -= 1.0;
    for (int c = 0; c < och; ++c) prev_[c] = cur[c];
  }
}

// ---------------------------------------------------------------------------------------------

void TMMACMConverter::SetPWaveFormat(PWaveFormatEx Format) {
  Wanted_ = CopyWaveFormat(Format);
  Recompute();
}

void TMMACMConverter::BufferReady(PWaveHdr h) {
  if (!(Prepared_ && IsStarted_ && Enabled_ && ConvertNeeded_ && ConvertPossible_ && stream_))
    return TMMDSPComponent::BufferReady(h);
  pushed_.clear();
  stream_->Convert(h->lpData, h->dwBytesRecorded, pushed_);
  // A rate converter may hold a frame back for the next buffer; that is not a failure.
  const size_t piece = static_cast<size_t>(std::max<int32_t>(GetBufferSize(), 1));
  for (size_t pos = 0; pos < pushed_.size(); pos += piece) {
    TMMExtWaveHdr out = *h;
    out.lpData = pushed_.data() + pos;
    out.dwBufferLength = out.dwBytesRecorded =
        static_cast<uint32_t>(std::min(piece, pushed_.size() - pos));
    TMMDSPComponent::BufferReady(&out);
  }
}

TWaveFormatPtr TMMACMConverter::ComputeOutputFormat() {
  return Enabled_ ? CopyWaveFormat(Wanted_.get()) : nullptr;
}

bool TMMACMConverter::PathExists(const TWaveFormatEx* out) {
  const TWaveFormatEx* in = InFormat_.get();
  if (!in || !out) return false;
  if (in->wFormatTag == out->wFormatTag && in->wBitsPerSample == out->wBitsPerSample &&
      in->nChannels == out->nChannels && in->nSamplesPerSec == out->nSamplesPerSec)
    return true;
  return TPCMConvertStream::CanConvert(in, out);
}

bool TMMACMConverter::Prepare() {
  stream_ = TPCMConvertStream::Open(InFormat_.get(), GetPWaveFormat());
  return stream_ != nullptr;
}

uint32_t TMMACMConverter::InputBlockSize() const {
  const uint32_t align = InFormat_ ? std::max<uint32_t>(InFormat_->nBlockAlign, 1) : 1;
  return std::max<uint32_t>(8192 / align * align, align);
}

void TMMACMConverter::Convert(const uint8_t* in, size_t n, bool, std::vector<uint8_t>& out) {
  if (stream_) stream_->Convert(in, n, out);
}

void TMMACMConverter::ConvertError() {
  throw EMMConverterError("Unable to convert to destination format");
}

void TMMACMConverter::NothingConverted(int& retries) {
  // A rate converter may need more than one small block before it yields a frame.
  if (++retries > 5) ConvertError();
}

// ---------------------------------------------------------------------------------------------

TMMPCMConverter::TMMPCMConverter(rtl::TComponent* AOwner) : TMMACMConverter(AOwner) {}

void TMMPCMConverter::SetAutoConvert(bool V) {
  if (V == AutoConvert_) return;
  AutoConvert_ = V;
  Recompute();
}

void TMMPCMConverter::SetSampleRate(uint32_t V) {
  V = std::clamp<uint32_t>(V, 8000, 88200);
  if (V == SampleRate_) return;
  SampleRate_ = V;
  Recompute();
}

void TMMPCMConverter::SetBitLength(TMMBits V) {
  if (V == BitLength_) return;
  BitLength_ = V;
  Recompute();
}

void TMMPCMConverter::SetMode(TMMMode V) {
  if (V == Mode_) return;
  Mode_ = V;
  Recompute();
}

void TMMPCMConverter::SetRequired(TMMRequiredParams V) {
  if (V == Required_) return;
  Required_ = V;
  if (AutoConvert_) Recompute();
}

void TMMPCMConverter::SetPWaveFormat(PWaveFormatEx Format) {
  if (Format && !IsValidPCM(Format) && !IsDesigning())
    throw EMMConverterError(rtl::LoadResString(28062));
  if (IsValidPCM(Format)) {
    SampleRate_ = Format->nSamplesPerSec;
    BitLength_ = Format->wBitsPerSample == 16 ? b16Bit : b8Bit;
    Mode_ = Format->nChannels == 2 ? mStereo : mMono;
  }
  TMMACMConverter::SetPWaveFormat(Format);
}

TWaveFormatPtr TMMPCMConverter::ComputeOutputFormat() {
  const TWaveFormatEx* in = InFormat_.get();
  if (!in) {
    TWaveFormatEx f =
        MakePCMFormat(SampleRate_, BitLength_ == b16Bit ? 16 : 8, Mode_ == mStereo ? 2 : 1);
    return CopyWaveFormat(&f);
  }
  TWaveFormatPtr s = TPCMConvertStream::Suggest(in);
  if (AutoConvert_ || !s) return s;
  uint32_t rate = s->nSamplesPerSec;
  uint16_t bits = s->wBitsPerSample, ch = s->nChannels;
  if (Required_ & rpBits) bits = BitLength_ == b16Bit ? 16 : 8;
  if (Required_ & rpChannels) ch = Mode_ == mStereo ? 2 : 1;
  if (Required_ & rpSampleRate) rate = SampleRate_;
  TWaveFormatEx f = MakePCMFormat(rate, bits, ch);
  return CopyWaveFormat(&f);
}

}  // namespace audio
