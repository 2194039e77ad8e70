// kanalo-rig-release MODEL PORT SPEED CONF: opens a Hamlib rig as kanalo.conf names it and sets it
// to receive. The guardian runs it when the station is gone without a word (SIGKILL, the
// out-of-memory killer, a crash): the station's own connection to the rig went with it, and only
// the rig's backend knows the bytes that unkey it. Exit status 0 when the rig heard it.
#include <hamlib/rig.h>

#include <cstdio>
#include <string>

#include "radio/HamlibOpen.h"

int main(int argc, char** argv) {
  radio::THamlibSettings s;
  if (!radio::ParseReleaseArguments(argc, argv, s)) {
    std::fprintf(stderr, "usage: kanalo-rig-release MODEL PORT SPEED CONF\n");
    return 2;
  }
  std::string error;
  // Longer than the station's own round: nothing else waits for this one, and a rig that just
  // lost its client may be slow for a moment. Each call is tried three times.
  RIG* rig = radio::OpenHamlibRig(s, 1000, 2, error);
  if (!rig) {
    std::fprintf(stderr, "kanalo-rig-release: %s\n", error.c_str());
    return 1;
  }
  int rc = rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_OFF);
  if (rc != RIG_OK) std::fprintf(stderr, "kanalo-rig-release: %s\n", rigerror(rc));
  rig_close(rig);
  rig_cleanup(rig);
  return rc == RIG_OK ? 0 : 1;
}
