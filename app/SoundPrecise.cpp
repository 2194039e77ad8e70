// The precise DTMF detector in the station: the operator's choice between it and the block
// decoder, its input from the capture chain, and the digits it takes, which go to the same
// selective call and mailbox as the block decoder's.
#include "app/Main.h"
#include "app/StationLog.h"
#include "app/Text.h"
#include "platform/Host.h"

namespace app {

namespace {
const QColor kLampCalled(255, 0, 0);
constexpr char kDetectorKey[] = "dtmf.detector";
constexpr char kLineEnd = '\n';  // in the queue of taken digits: the line ends here
}  // namespace

void TMain::BuildPrecise() {
  HostConfigPath = platform::HostConfig::DefaultPath();
  SetChecked(PraeziserDecoder,
             platform::HostConfig::Instance().GetValid(kDetectorKey, "standard") == "precise");
  // The block decoder's spectrum is not needed while the precise detector decodes.
  MMPeakDetect1->SetEnabled(!PreciseDecoding());
  // The peak detector passes every captured buffer on whole; reading them there leaves the
  // chain and the block decoder's spectrum as they are.
  MMPeakDetect1->OnBufferReady = [this](rtl::TObject*, audio::PWaveHdr h) { PreciseBuffer(h); };
  // Digits wait for the connector's next trigger: acting on them inside the capture's own
  // buffer notification would close the input from within it.
  DTMFPrecise.OnDigit = [this](char c) { PreciseDigits += c; };
  DTMFPrecise.OnLineEnd = [this] { PreciseDigits += kLineEnd; };
}

bool TMain::PreciseDecoding() const {
  return PraeziserDecoder && PraeziserDecoder->isChecked();
}

void TMain::ResetPrecise() {
  DTMFPrecise.Reset();
  PreciseDigits.clear();
}

void TMain::PraeziserDecoderClick() {
  const bool precise = !PraeziserDecoder->isChecked();
  SetChecked(PraeziserDecoder, precise);
  MMPeakDetect1->SetEnabled(!precise);
  ResetPrecise();
  const char* value = precise ? "precise" : "standard";
  platform::HostConfig::Instance().Set(kDetectorKey, value);
  // The choice holds for this session even when it cannot be stored; the operator is told.
  const std::string error = platform::HostConfig::StoreKey(HostConfigPath, kDetectorKey, value);
  if (!error.empty()) throw rtl::Exception(error);
}

void TMain::PreciseBuffer(audio::PWaveHdr h) {
  if (!PreciseDecoding() || !h || !h->lpData) return;
  const audio::TWaveFormatEx* f = DTMF_In->GetPWaveFormat();
  // The capture is 16-bit mono; any other shape would be read as noise.
  if (!f || f->wBitsPerSample != 16 || f->nChannels != 1) return;
  const uint32_t bytes = std::min(h->dwBytesRecorded, h->dwBufferLength);
  DTMFPrecise.FeedBytes(reinterpret_cast<const uint8_t*>(h->lpData), bytes);
}

void TMain::DecodePrecise() {
  if (PreciseDigits.empty()) return;
  TEinstellungen& e = Einstellungen;
  const std::string digits = std::move(PreciseDigits);
  PreciseDigits.clear();
  for (char c : digits) {
    if (c == kLineEnd) {
      EndLine(DTMFDecoder);
      continue;
    }
    const int r = TakeDigit(DTMFDecoder, c, e.EigeneRufnummer.str(), e.MailboxRufnummer.str());
    if (r) CallTaken(r);
    bool stop = false;
    if (r & TDTMFDecoder::drOwnNumber) {
      Disarm(kLampCalled);
      stop = true;
    }
    if ((r & TDTMFDecoder::drMailbox) && DTMF_Rec->isChecked()) {
      SetLamp(kLampCalled);
      RecWavClick();
      stop = true;
    }
    // The input is closed: what came after the number is not decoded, as with the block
    // decoder.
    if (stop) break;
  }
  L_M->setText(QString::fromStdString(AnsiToUtf8(DTMFDecoder.LM)));
  L_A->setText(QString::fromStdString(AnsiToUtf8(DTMFDecoder.LA)));
}

}  // namespace app
