#include "mixer/StationMixer.h"

namespace mixer {

namespace {

template <typename T>
T* Named(T* c, const char* name) {
  c->SetName(name);
  return c;
}

}  // namespace

StationMixer CreateStationMixer(rtl::TComponent* owner, QWidget* parent) {
  StationMixer m;
  m.MMMixerDevice1 = Named(new TMMMixerDevice(owner), "MMMixerDevice1");
  m.InpLine = Named(new TMMAudioLine(owner), "InpLine");
  m.MIcLine = Named(new TMMAudioLine(owner), "MIcLine");
  m.OutLine = Named(new TMMAudioLine(owner), "OutLine");
  m.CDLine = Named(new TMMAudioLine(owner), "CDLine");
  m.InVolControll = Named(new TMMVolumeControl(owner), "InVolControll");
  m.InMixControll = Named(new TMMMixerControl(owner), "InMixControll");
  m.MicVolControll = Named(new TMMVolumeControl(owner), "MicVolControll");
  m.MicMixControll = Named(new TMMMixerControl(owner), "MicMixControll");
  m.OutVolControll = Named(new TMMVolumeControl(owner), "OutVolControll");
  m.OutMixControll = Named(new TMMMixerControl(owner), "OutMixControll");
  m.CDVolControll = Named(new TMMVolumeControl(owner), "CDVolControll");
  m.CDMixControll = Named(new TMMMixerControl(owner), "CDMixControll");

  rtl::TComponent* components[] = {
      m.MMMixerDevice1, m.InpLine,       m.MIcLine,        m.OutLine,        m.CDLine,
      m.InVolControll,  m.InMixControll, m.MicVolControll, m.MicMixControll, m.OutVolControll,
      m.OutMixControll, m.CDVolControll, m.CDMixControll};
  for (auto* c : components) c->BeginLoading();

  struct LineSpec {
    TMMAudioLine* line;
    TMMComponentType type;
    TMMVolumeControl* vol;
    TMMMixerControl* mute;
  };
  const LineSpec lines[] = {
      {m.InpLine, ctSrcLine, m.InVolControll, m.InMixControll},
      {m.MIcLine, ctSrcMicrophone, m.MicVolControll, m.MicMixControll},
      {m.OutLine, ctDstSpeakers, m.OutVolControll, m.OutMixControll},
      {m.CDLine, ctSrcCD, m.CDVolControll, m.CDMixControll},
  };
  for (const LineSpec& l : lines) {
    l.line->SetMixer(m.MMMixerDevice1);
    l.line->SetComponentType(l.type);
    l.vol->SetAudioLine(l.line);
    l.mute->SetAudioLine(l.line);
    l.mute->SetControlType(ctMute);
  }
  for (auto* c : components) c->EndLoading();

  auto knob = [&](const char* name, TMMVolumeControl* ctl) {
    auto* w = new TMMMixerWheel(parent);
    w->setObjectName(name);
    w->BeginLoading();
    w->SetControl(ctl);
    w->EndLoading();
    return w;
  };
  // The mutes and the speaker's level are the station's to set (through its audio routing):
  // their widgets only show them and are bound to no control.
  auto box = [&](const char* name, bool checked) {
    auto* b = new TMMMixerCheckBox(parent);
    b->setObjectName(name);
    b->SetChecked(checked);
    b->hide();
    return b;
  };
  m.LineIn = knob("LineIn", m.InVolControll);
  m.Mic = knob("Mic", m.MicVolControll);
  m.CD = knob("CD", m.CDVolControll);
  m.MasterOut = new TMMMixerWheel(parent);
  m.MasterOut->setObjectName("MasterOut");
  // The range a knob bound to the speaker's volume would have: one step a mixer step.
  const int steps = m.OutVolControll->ControlInfo().Steps;
  m.MasterOut->SetMaxValue(steps > 0 ? steps : 1);
  m.MasterOut->hide();
  m.LineMute = box("LineMute", false);
  m.MicMute = box("MicMute", true);
  m.CDMute = box("CDMute", false);
  m.MasterMute = box("MasterMute", false);
  return m;
}

void SizeVolumeKnobs(const StationMixer& m, controls::TMMCustomWheel& Volume,
                     controls::TMMCustomWheel& LineOut) {
  // Without a speaker volume control the step count is 0, which would leave the knobs a range of
  // 0..-1; they keep their design maximum instead, so the station stays usable without a mixer.
  const int steps = m.OutVolControll->ControlInfo().Steps;
  if (steps <= 0) return;
  const int max = steps - 1;
  Volume.SetMaxValue(max);
  LineOut.SetMaxValue(max);
}

void FallBackToAux(const StationMixer& m) {
  if (m.InpLine->GetLineId() == -1) m.InpLine->SetComponentType(ctSrcAux);
}

}  // namespace mixer
