// Last words to devices when the process dies.
//
// A radio interface keeps the last command it heard: a station that dies while the transmitter is
// keyed would leave it transmitting. Each open device that must hear something at the end
// registers its file descriptor with the bytes to send; SayLastWords() writes them with plain
// write(2). It is async-signal-safe, so crash handlers and the watchdog of an orderly shutdown
// call it before the process ends.
//
// Thread: Register/Unregister from any thread; SayLastWords from anywhere, including a signal
// handler. The table has a fixed size and never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::failsafe {

constexpr int kSlots = 8;
constexpr size_t kMaxWord = 4;

// Registers `fd` to hear `bytes` (at most kMaxWord) at the end; returns the slot, or -1 when the
// table is full or the word too long.
int Register(int fd, const uint8_t* bytes, size_t count);
// Forgets a slot before its descriptor is closed (a reused descriptor must not hear it).
void Unregister(int slot);
// Writes every registered word once, in slot order. Returns how many were written whole.
int SayLastWords() noexcept;

// Crash signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS): say the last words,
// then die of the same signal with its default action (core dump as usual). Runs on an alternate
// stack, so a stack overflow is covered too. Safe to call more than once.
void InstallCrashHandlers();

}  // namespace platform::failsafe
