#include "platform/wave/Wave.h"

#include <mutex>

namespace platform::wave {

namespace {
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<IWaveBackend>& Current() {
  static std::shared_ptr<IWaveBackend> b;
  return b;
}
}  // namespace

IWaveBackend& WaveBackend() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  if (!Current()) Current() = CreateAlsaBackend();
  return *Current();
}

void SetWaveBackend(std::shared_ptr<IWaveBackend> backend) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Current() = std::move(backend);
}

std::string StandardErrorText(int code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The command was carried out.";
    case MMSYSERR_ERROR:
      return "Undefined external error.";
    case MMSYSERR_BADDEVICEID:
      return "A device ID has been used that is out of range for your system.";
    case MMSYSERR_ALLOCATED:
      return "The specified device is already in use. Wait until it is free, and then try again.";
    case MMSYSERR_INVALHANDLE:
      return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "There is no driver installed on your system.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory available for this task.";
    case MMSYSERR_NOTSUPPORTED:
      return "This function is not supported.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to a system function.";
    case WAVERR_BADFORMAT:
      return "The specified format is not supported or cannot be translated.";
    case WAVERR_STILLPLAYING:
      return "Cannot perform this operation while media data is still playing.";
    case WAVERR_DEVICEGONE:
      return "The sound device is no longer there (unplugged, or its sound server has ended).";
    default:
      return "";
  }
}

}  // namespace platform::wave
