#include "audio/MMWPlay.h"

#include "rtl/ResStrings.h"

namespace audio {

TMMWavePlayer::TMMWavePlayer(rtl::TComponent* AOwner) : TMMDSPComponent(AOwner) {
  PublishesOutput_ = true;
  WaveFile_ = new TMMWaveFile(this);
  Decoder_ = new TMMADPCMConverter(this);
  Converter_ = new TMMPCMConverter(this);
  WaveOut_ = new TMMWaveOut(this);
  WaveFile_->SetOutput(Decoder_);
  Decoder_->SetOutput(Converter_);
  Converter_->SetOutput(WaveOut_);
  AcceptsInput = true;
  WaveOut_->SetOutput(this);
  AcceptsInput = false;

  WaveOut_->OnOpen = [this](rtl::TObject*) {
    if (OnStart) OnStart(this);
  };
  WaveOut_->OnStop = [this](rtl::TObject*) {
    if (SavedPosition_ == -1) SavedPosition_ = Position();
    WaveOut_->Close();
  };
  WaveOut_->OnClose = [this](rtl::TObject*) {
    // The chain closed the file, which put its position back to 0.
    if (!ResetPosition && SavedPosition_ >= 0) Wave()->SetPosition(SavedPosition_);
    if (OnStop) OnStop(this);
  };
  WaveOut_->OnPause = [this](rtl::TObject*) {
    if (!Repositioning_ && OnPause) OnPause(this);
  };
  WaveOut_->OnRestart = [this](rtl::TObject*) {
    if (!Repositioning_ && OnRestart) OnRestart(this);
  };
  WaveOut_->OnBufferReady = [this](rtl::TObject*, PWaveHdr h) {
    if (OnData) OnData(this, h);
  };
  WaveFile_->OnChange = [this](rtl::TObject*) {
    Stop();
    if (OnChange) OnChange(this);
  };
  WaveFile_->OnChanged = [this](rtl::TObject*) { UpdateDecoder(); };
}

TMMWavePlayer::~TMMWavePlayer() {
  Destroying();
  WaveOut_->Close();
}

void TMMWavePlayer::UpdateDecoder() {
  // Whether the decoder could deliver PCM is asked with it switched on.
  Decoder_->SetEnabled(true);
  const bool can = Decoder_->CanDecode();
  Decoder_->SetEnabled(AutoConvert_ && can);
}

void TMMWavePlayer::LoadFile(const std::string& Name) {
  Wave()->SetFileName(Name);
  UpdateDecoder();
}

void TMMWavePlayer::SetTimeFormat(TMMTimeFormats V) {
  WaveOut_->SetTimeFormat(V);
  Wave()->SetTimeFormat(V);
}

void TMMWavePlayer::SetAutoConvert(bool V) {
  if (WaveOut_->State() & wsOpen) throw rtl::Exception(rtl::LoadResString(28060));
  AutoConvert_ = V;
  Decoder_->SetEnabled(V);
  Converter_->SetEnabled(V);
  if (V) UpdateDecoder();
}

void TMMWavePlayer::Play() {
  if ((WaveOut_->State() & wsStarted) || !Wave()->HasData()) return;
  if (Position() >= Wave()->DataSize()) Wave()->SetPosition(0);
  BaseOffset_ = Position();
  SavedPosition_ = -1;
  WaveOut_->Start();
}

void TMMWavePlayer::Stop() {
  SavedPosition_ = Position();
  WaveOut_->Stop();
  WaveOut_->Close();
}

int64_t TMMWavePlayer::Position() {
  if (!(WaveOut_->State() & wsStarted)) return Wave()->GetPosition();
  return BaseOffset_ + WaveOut_->Position();
}

void TMMWavePlayer::SetPosition(int64_t P) {
  if (!(WaveOut_->State() & wsOpen)) {
    Wave()->SetPosition(P);
    return;
  }
  Repositioning_ = true;
  const bool wasPaused = (WaveOut_->State() & wsPaused) != 0;
  try {
    WaveOut_->Pause();
    Wave()->SetPosition(P);
    BaseOffset_ = P;
    WaveOut_->Rewind();
    if (!wasPaused) WaveOut_->Restart();
  } catch (...) {
    Repositioning_ = false;
    throw;
  }
  Repositioning_ = false;
}

}  // namespace audio
