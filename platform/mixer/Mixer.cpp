#include "platform/mixer/Mixer.h"

#include <mutex>

namespace platform::mixer {

namespace {
std::mutex g_mu;
std::shared_ptr<IMixerBackend> g_backend;
}  // namespace

IMixerBackend& MixerBackend() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_backend) g_backend = CreateAlsaMixerBackend();
  return *g_backend;
}

void SetMixerBackend(std::shared_ptr<IMixerBackend> backend) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_backend = std::move(backend);
}

std::string StandardMixerErrorText(int code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The command was successful.";
    case MMSYSERR_ERROR:
      return "Unspecified mixer error.";
    case MMSYSERR_BADDEVICEID:
      return "The mixer device id is out of range.";
    case MMSYSERR_ALLOCATED:
      return "The mixer device is already in use.";
    case MMSYSERR_INVALHANDLE:
      return "The mixer handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "There is no mixer driver.";
    case MMSYSERR_NOMEM:
      return "The mixer is out of memory.";
    case MMSYSERR_NOTSUPPORTED:
      return "The mixer does not support this function.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to the mixer.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to the mixer.";
    case MIXERR_INVALLINE:
      return "The mixer line is invalid.";
    case MIXERR_INVALCONTROL:
      return "The mixer control is invalid.";
    case MIXERR_INVALVALUE:
      return "The mixer control value is out of range.";
    default:
      return "";
  }
}

}  // namespace platform::mixer
