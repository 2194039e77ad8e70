// Result codes of the multimedia seams (wave audio, mixer): 0 is success; the rest keep the
// numbering the components expect from a multimedia driver, so "no driver" stays 6 and "bad
// device id" stays 2 whichever backend answers.
#pragma once

namespace platform {

enum : int {
  MMSYSERR_NOERROR = 0,
  MMSYSERR_ERROR = 1,
  MMSYSERR_BADDEVICEID = 2,
  MMSYSERR_ALLOCATED = 4,
  MMSYSERR_INVALHANDLE = 5,
  MMSYSERR_NODRIVER = 6,
  MMSYSERR_NOMEM = 7,
  MMSYSERR_NOTSUPPORTED = 8,
  MMSYSERR_INVALFLAG = 10,
  MMSYSERR_INVALPARAM = 11,
};

}  // namespace platform
