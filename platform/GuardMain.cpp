// kanalo-guard: holds the station's open ports and says their last words when the station's end
// of the socket closes (see platform/Guardian.h). Links the C library only.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/Guardian.h"

namespace {

using platform::guardian::TCommandMessage;
using platform::guardian::TMessage;

struct THeld {
  int fd = -1;
  uint8_t bytes[sizeof TMessage::Bytes] = {};
  size_t count = 0;
};

void Say(const THeld& h) {
  size_t done = 0;
  // A full output queue or a signal may cut a write short; a few tries, never a wait.
  for (int tries = 0; done < h.count && tries < 8; ++tries) {
    const ssize_t w = ::write(h.fd, h.bytes + done, h.count - done);
    if (w > 0)
      done += static_cast<size_t>(w);
    else if (w < 0 && errno != EINTR && errno != EAGAIN)
      break;
  }
}

struct TCommand {
  bool held = false;
  char args[platform::guardian::kCommandBytes + 1] = {};
  size_t length = 0;
};

// Runs a held command and waits for it, kCommandMs at most: the rig it unkeys may not answer.
void Run(const TCommand& c) {
  char* argv[64];
  int argc = 0;
  for (size_t i = 0; i < c.length && argc < 63; i += std::strlen(c.args + i) + 1)
    argv[argc++] = const_cast<char*>(c.args + i);
  argv[argc] = nullptr;
  if (argc == 0) return;
  // The program is started with the guardian's own default signal actions restored, so that it
  // can be killed and its own children behave as usual.
  const pid_t child = ::fork();
  if (child == 0) {
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  if (child < 0) return;
  for (int waited = 0;; waited += 10) {
    if (::waitpid(child, nullptr, WNOHANG) != 0) return;
    if (waited >= platform::guardian::kCommandMs) break;
    const timespec ten{0, 10 * 1000 * 1000};
    ::nanosleep(&ten, nullptr);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace

int main() {
  // The station's process group and service get these too: the guardian outlives the station
  // by design and ends when the station's end of the socket closes, never before.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGTSTP,
                  SIGTTIN, SIGTTOU, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR})
    ::signal(sig, SIG_IGN);
  const int sock = platform::guardian::kSocketFd;
  // Whatever else the station left open without close-on-exec (a lock file, a socket) is not
  // the guardian's to keep: it would outlive the station by the guardian's few milliseconds.
  ::close_range(sock + 1, ~0U, 0);
  THeld held[platform::guardian::kSlots];
  TCommand commands[platform::guardian::kCommandSlots];
  for (;;) {
    // Either message; the first byte tells which.
    union {
      TMessage word;
      TCommandMessage command;
    } in{};
    TMessage& m = in.word;
    iovec iov{&in, sizeof in};
    msghdr h{};
    h.msg_iov = &iov;
    h.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(sock, &h, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the station is gone
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
        std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    const TCommandMessage& c = in.command;
    if ((c.Op == platform::guardian::kCommand || c.Op == platform::guardian::kDropCommand) &&
        static_cast<size_t>(n) >= offsetof(TCommandMessage, Args) &&
        c.Slot < platform::guardian::kCommandSlots &&
        static_cast<size_t>(n) == offsetof(TCommandMessage, Args) + c.Length) {
      if (fd >= 0) ::close(fd);
      TCommand& held = commands[c.Slot];
      held = TCommand{};
      if (c.Op == platform::guardian::kCommand && c.Length > 0) {
        held.held = true;
        held.length = c.Length;
        std::memcpy(held.args, c.Args, c.Length);
      }
      continue;
    }
    if (n != sizeof m || m.Slot >= platform::guardian::kSlots || m.Count > sizeof m.Bytes) {
      if (fd >= 0) ::close(fd);
      continue;
    }
    THeld& s = held[m.Slot];
    if (s.fd >= 0) ::close(s.fd);
    s = THeld{};
    if (m.Op == platform::guardian::kHold && fd >= 0) {
      s.fd = fd;
      s.count = m.Count;
      std::memcpy(s.bytes, m.Bytes, m.Count);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
  for (THeld& s : held) {
    if (s.fd < 0) continue;
    Say(s);
    ::close(s.fd);
  }
  // The words first: they take microseconds, a command opens a rig.
  for (const TCommand& c : commands)
    if (c.held) Run(c);
  return 0;
}
