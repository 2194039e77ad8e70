// The guardian: a small process of our own that says the station's last words when the station
// dies in a way no handler of its own sees (SIGKILL, the kernel's out-of-memory killer).
//
// The station starts it once (StartGuardian) and keeps one end of a socket pair; the guardian
// holds the other. Each port that registers a last word (failsafe::Register) is passed over the
// socket with its descriptor (SCM_RIGHTS), so the guardian holds the same open port; each
// Unregister takes it back. When the station's end closes, for whatever reason the process
// ended, the guardian writes every word it still holds, closes the ports and exits. It never
// writes anything else, links nothing but the C library and stays around a megabyte resident, so
// the out-of-memory killer never prefers it to the station.
//
// What it cannot cover: a port that another process opened meanwhile (its own words are its
// own), and a guardian killed together with the station (a cgroup killed with SIGKILL as a whole,
// `kill -9 -PGID`).
//
// Thread: StartGuardian on the main thread before any port opens; the notifications come from
// failsafe::Register/Unregister on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::guardian {

// One message of the station to its guardian (a SOCK_SEQPACKET datagram).
struct TMessage {
  uint8_t Op = 0;  // kHold (with a descriptor) or kForget
  uint8_t Slot = 0;
  uint8_t Count = 0;
  uint8_t Bytes[4] = {};
};
constexpr uint8_t kHold = 'H';
constexpr uint8_t kForget = 'F';
constexpr int kSlots = 8;
// A program the guardian runs when the station is gone, for a radio that only a connection of its
// own can set to receive (a Hamlib rig: its backend's bytes are not known to the station). Args:
// the program and its arguments, each ended by a NUL. The guardian waits for it kCommandMs at
// most, then kills it.
constexpr uint8_t kCommand = 'C';
constexpr uint8_t kDropCommand = 'D';
constexpr int kCommandSlots = 2;
constexpr size_t kCommandBytes = 1024;
constexpr int kCommandMs = 5000;
struct TCommandMessage {
  uint8_t Op = 0;  // kCommand or kDropCommand
  uint8_t Slot = 0;
  uint16_t Length = 0;  // bytes of Args in use
  char Args[kCommandBytes] = {};
};
// The descriptor the guardian finds its end of the socket on.
constexpr int kSocketFd = 3;

// Starts the guardian program at `path`. False with `error` set when it could not be started;
// the station then runs without it (its own handlers still say the last words).
bool StartGuardian(const std::string& path, std::string* error);
// The guardian program beside the running executable, or in ../libexec/kanalo/ (an
// installation); the environment's KANALO_GUARD names another. Empty when none is there.
std::string FindGuardian();
// A helper program of the station beside the running executable or in ../libexec/kanalo/;
// empty when none is there.
std::string FindBeside(const std::string& name);
// The guardian's process id, or -1 when none runs.
int GuardianPid();

// Called by failsafe::Register/Unregister: the guardian holds or forgets a port's word.
void Hold(int slot, int fd, const uint8_t* bytes, size_t count);
void Forget(int slot);
// The guardian runs `argv` when the station is gone; the slot, or -1 when no guardian runs, the
// slots are taken or the arguments too long. DropCommand takes it back (-1: nothing).
int HoldCommand(const std::vector<std::string>& argv);
void DropCommand(int slot);

}  // namespace platform::guardian
