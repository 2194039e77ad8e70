#include "platform/Guardian.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace platform::guardian {

namespace {

std::mutex mu;
int sock = -1;  // the station's end; closed with the process, which the guardian hears
int pid = -1;

bool commandTaken[kCommandSlots] = {};

bool Send(const void* m, size_t size, int fd) {
  iovec iov{const_cast<void*>(m), size};
  msghdr h{};
  h.msg_iov = &iov;
  h.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  for (;;) {
    if (::sendmsg(sock, &h, MSG_NOSIGNAL) == static_cast<ssize_t>(size)) return true;
    if (errno != EINTR) return false;
  }
}

bool IsExecutable(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindBeside(const std::string& name) {
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  std::string dir(exe, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  for (const std::string& rel : {name, "../libexec/kanalo/" + name})
    if (IsExecutable(dir + rel)) return dir + rel;
  return {};
}

std::string FindGuardian() {
  if (const char* env = std::getenv("KANALO_GUARD"); env && *env)
    return IsExecutable(env) ? env : std::string();
  return FindBeside("kanalo-guard");
}

bool StartGuardian(const std::string& path, std::string* error) {
  std::lock_guard lk(mu);
  if (sock >= 0) return true;
  int fds[2];
  // Close-on-exec on both ends: no other child of the station (a player, a helper program) may
  // hold the station's end open, or the guardian would not hear the station die.
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  // The child's end must not already sit on the number it is to get: dup2 onto itself would
  // keep close-on-exec.
  const int child = ::fcntl(fds[1], F_DUPFD_CLOEXEC, kSocketFd + 1);
  ::close(fds[1]);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, child, kSocketFd);
  for (int std = 0; std <= 2; ++std)
    posix_spawn_file_actions_addopen(&fa, std, "/dev/null", std == 0 ? O_RDONLY : O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t p = -1;
  const int r = child >= 0 ? ::posix_spawn(&p, path.c_str(), &fa, nullptr, argv, environ) : errno;
  posix_spawn_file_actions_destroy(&fa);
  if (child >= 0) ::close(child);
  if (r != 0) {
    ::close(fds[0]);
    if (error) *error = path + ": " + std::strerror(r);
    return false;
  }
  sock = fds[0];
  pid = p;
  return true;
}

int GuardianPid() {
  std::lock_guard lk(mu);
  return pid;
}

void Hold(int slot, int fd, const uint8_t* bytes, size_t count) {
  std::lock_guard lk(mu);
  if (sock < 0 || slot < 0 || slot >= kSlots || count > sizeof TMessage::Bytes) return;
  TMessage m;
  m.Op = kHold;
  m.Slot = static_cast<uint8_t>(slot);
  m.Count = static_cast<uint8_t>(count);
  std::memcpy(m.Bytes, bytes, count);
  if (!Send(&m, sizeof m, fd)) {
    // The guardian is gone; the station's own handlers still say the last words.
    ::close(sock);
    sock = -1;
    pid = -1;
  }
}

void Forget(int slot) {
  std::lock_guard lk(mu);
  if (sock < 0 || slot < 0 || slot >= kSlots) return;
  TMessage m;
  m.Op = kForget;
  m.Slot = static_cast<uint8_t>(slot);
  if (!Send(&m, sizeof m, -1)) {
    ::close(sock);
    sock = -1;
    pid = -1;
  }
}

int HoldCommand(const std::vector<std::string>& argv) {
  std::lock_guard lk(mu);
  TCommandMessage m;
  m.Op = kCommand;
  size_t used = 0;
  for (const std::string& a : argv) {
    if (used + a.size() + 1 > kCommandBytes) return -1;
    std::memcpy(m.Args + used, a.c_str(), a.size() + 1);
    used += a.size() + 1;
  }
  if (sock < 0 || argv.empty()) return -1;
  int slot = 0;
  while (slot < kCommandSlots && commandTaken[slot]) ++slot;
  if (slot == kCommandSlots) return -1;
  m.Slot = static_cast<uint8_t>(slot);
  m.Length = static_cast<uint16_t>(used);
  if (!Send(&m, offsetof(TCommandMessage, Args) + used, -1)) {
    ::close(sock);
    sock = -1;
    pid = -1;
    return -1;
  }
  commandTaken[slot] = true;
  return slot;
}

void DropCommand(int slot) {
  std::lock_guard lk(mu);
  if (slot < 0 || slot >= kCommandSlots) return;
  commandTaken[slot] = false;
  if (sock < 0) return;
  TCommandMessage m;
  m.Op = kDropCommand;
  m.Slot = static_cast<uint8_t>(slot);
  if (!Send(&m, offsetof(TCommandMessage, Args), -1)) {
    ::close(sock);
    sock = -1;
    pid = -1;
  }
}

}  // namespace platform::guardian
