// The precise DTMF detector, the operator's alternative to the block decoder of the selective
// call. It reads every sample once: Goertzel filters on the eight tones and on bins in the gaps
// around and between them over sub-blocks of 2.5 ms, summed with their absolute phase into sliding
// windows of 15 ms, so that each window gives both a level and, from the phase advance between
// windows, the frequency of each tone. A window shows a pair when one row and one column stand 3 dB
// above the rest of their groups within 5 % of their nominal frequencies. Windows that show the
// same pair make a run, and the run is judged as a whole, its windows' powers summed: the pair 6 dB
// above the rest of its groups, a mean deviation within 2 %, the twist within limits, the pair
// a fair part of all the energy and of that between about 200 and 2200 Hz, and the gap bins
// (less what the tones leave there) well below the weaker tone and none of them alone near it:
// voiced speech that puts harmonics on a row and a column has its neighbouring harmonics there,
// noise fills the gaps evenly. Summed over the tone, noise averages out: a longer tone is judged
// more surely, and noise confined to the voice band, which fills each 15 ms window's band as much
// as the tones do at 0 dB, does not stop it. A digit is taken after seven windows at full strength
// (within 3 dB of the run's strongest three neighbouring windows): a tone of 20 ms gives at most
// six such windows, one of 30 ms nine. A repeated key needs seven windows with the pair gone or 6
// dB down: a pause of 20 ms gives eight, an interruption of 10 ms about four, which is bridged.
// Half a second without tones ends the digit line. Thread: one thread at a time (the thread that
// delivers the capture, the main thread here).
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "station/Dtmf.h"

namespace station {

class TDTMFPrecise {
 public:
  using TDigitEvent = std::function<void(char)>;
  using TLineEndEvent = std::function<void()>;

  // `Frequencies` as the settings hold them: rows 1..4, then columns 1..4.
  explicit TDTMFPrecise(const std::array<int32_t, 8>& Frequencies = {697, 770, 852, 941, 1209, 1336,
                                                                     1477, 1633},
                        uint32_t Rate = 44100);

  TDigitEvent OnDigit;      // a digit taken
  TLineEndEvent OnLineEnd;  // half a second without a tone pair after a digit

  void Feed(const int16_t* Samples, size_t Count);
  // Little-endian 16-bit bytes as the capture delivers them; an odd byte is kept for the next
  // call.
  void FeedBytes(const uint8_t* Data, size_t Count);
  bool HasPartialSample() const { return HaveOdd_; }
  // Back to the start: nothing held, no pending half sample.
  void Reset();

  // What the last window saw, for tests and tools: the digit it holds (0 for none).
  char WindowDigit() const { return LastCandidate_; }

  static constexpr int kSubBlocks = 6;    // sub-blocks per window
  static constexpr int kMinOnHops = 7;    // windows at full strength before a digit is taken
  static constexpr int kMinGapHops = 7;   // windows without the digit before it may repeat
  static constexpr int kLineEndMs = 500;  // quiet time that ends the digit line

 private:
  // The filters summed into windows: the 8 tones and bins in the gaps below, between and
  // above the groups.
  static constexpr int kGapBins = 8;
  static constexpr int kGaps = 11;
  static constexpr int kTones = kGapBins + kGaps;
  static constexpr int kBandBins = 5;  // then the band's bins
  static constexpr int kFilters = kTones + kBandBins;
  void Decimate(size_t Outputs);
  void Filter(const float* Samples, size_t Count);
  void EndSubBlock();
  char Classify();
  void Decide(char candidate);

  uint32_t Rate_;
  // The decimator: every Decimation_-th output of a linear-phase FIR over the capture, of
  // Decimation_ * kPhaseTaps taps. Its input is kept split into Decimation_ polyphase streams
  // (stream r holds the samples at r, r + D, r + 2D, ...), so that four consecutive outputs are
  // four neighbouring values of each stream. Groups_ whole groups of D samples are held, and
  // Pending_ samples of the next; Out_ and OutEnergy_ hold the decimated samples and the
  // capture's energy each of them stands for.
  static constexpr int kPhaseTaps = 4;
  static constexpr size_t kGroups = 256;
  int Decimation_ = 1;
  double OutRate_ = 0;
  std::vector<float> Taps_;
  std::vector<float> TapsWide_;  // each tap four times, as a vector register takes it
  std::vector<float> Streams_;
  size_t Groups_ = 0;
  int Pending_ = 0;
  std::vector<float> Out_;
  std::vector<float> OutEnergy_;
  int SubLength_;  // decimated samples per sub-block
  std::array<double, kFilters> Omega_{};
  static constexpr int kLanes = (kFilters + 3) / 4 * 4;  // whole vector registers
  alignas(16) std::array<float, kLanes> Coeff_{};
  std::array<std::complex<double>, kFilters> Tail_{};  // e^{-iw(M-1)} / the decimator's gain
  std::array<std::complex<double>, kFilters> Step_{};  // e^{-iwM}, phase of one sub-block
  // e^{-iw (t0 + M - 1)}: Goertzel's end phase at the running sub-block's start t0
  std::array<std::complex<double>, kFilters> Phase_{};
  std::array<std::complex<double>, kFilters> Back_{};  // e^{-iw}
  std::array<double, kFilters> InvGain_{};             // 1 / the decimator's gain at each filter
  std::array<double, 8> Nominal_{};
  alignas(16) std::array<float, kLanes> S1_{}, S2_{};
  double Energy_ = 0;
  // The DTMF band: the sub-block's own transform bins 1 to 5 (about 200 to 2200 Hz at 44.1 kHz),
  // measured by Goertzel filters beside the tone filters. The pair's share is taken against the
  // energy there, so that noise and speech far from the tones count as little as they disturb
  // the tone filters.
  std::array<double, 8> BandGain_{};  // power gain of the band at each tone
  std::array<double, kSubBlocks> SubBandEnergy_{};
  int Count_ = 0;
  // Ring of the last kSubBlocks sub-block sums and energies.
  std::array<std::array<std::complex<double>, kTones>, kSubBlocks> Sub_{};
  // Their sums over the window, kept up as sub-blocks come and go (and summed afresh now and
  // then, so that rounding cannot build up).
  std::array<std::complex<double>, kTones> WindowSum_{};
  double WindowEnergy_ = 0, WindowBand_ = 0;
  std::array<double, kSubBlocks> SubEnergy_{};
  int SubIndex_ = 0;
  int SubFilled_ = 0;
  std::array<std::complex<double>, 8> Prev_{};  // the previous window's tone sums
  bool HavePrev_ = false;
  int64_t SubBlocks_ = 0;

  // What a window saw of its pair, kept for the windows of a run: the decision integrates them.
  struct TWindow {
    std::array<double, kTones> P{};  // each filter's power
    std::array<double, 2> Amp2{};    // the row's and column's squared amplitude
    std::array<double, 2> Deviation{};
    double BandPair = 0, Band = 0, Energy = 0;
  };
  TWindow Window_;
  double Power_ = 0;   // the last window's pair power (squared amplitudes)
  char RawDigit_ = 0;  // the strongest pair before the finer tests
  double RawPower_ = 0;
  static constexpr int kRunWindows = 64;
  std::array<double, kRunWindows> RunPower_{};
  double RunMax_ = 0, TakenMax_ = 0;
  std::array<TWindow, kRunWindows> RunWindows_{};
  bool RunHolds(int r, int c) const;
  char LastCandidate_ = 0;
  char Run_ = 0;
  int RunLength_ = 0;
  int Miss_ = 0;
  char Taken_ = 0;     // the digit last taken, while it may still be held
  int64_t Quiet_ = 0;  // windows without any candidate
  bool LineOpen_ = false;
  bool HaveOdd_ = false;
  uint8_t Odd_ = 0;
};

// The precise path's digit line, kept in the same L_M / L_A captions as the block decoder's:
// appends `c` and reports whether the line now equals the own or the mailbox number (the
// TDTMFDecoder result bits). A line longer than 32 characters moves on as the block decoder's
// does.
int TakeDigit(TDTMFDecoder& Line, char c, const std::string& own, const std::string& mailbox);
// Half a second without tones: the first 31 characters go to L_A, L_M is emptied.
void EndLine(TDTMFDecoder& Line);

}  // namespace station
