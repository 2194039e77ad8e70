// Serial device seam: what the serial port component (comm/CommInt) relies on, below it a real
// termios backend (Posix.cpp) and an in-process simulated wire (Sim.cpp).
//
// Threads: a device is used by two threads at once, the component's event thread (WaitEvent
// only) and the main thread (everything else). Every function is safe to call concurrently with
// WaitEvent; CancelWait and Close may be called from any thread.
//
// Errors are returned, not thrown: 0 is success, anything else an errno value (the component
// turns them into its own exceptions with the code as "system error").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Event-mask bits. The values are the ones the component publishes, so they pass through as is.
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
constexpr uint32_t EV_ALL = 0x01FF;

// Modem status bits.
constexpr uint32_t MS_CTS_ON = 0x10;
constexpr uint32_t MS_DSR_ON = 0x20;
constexpr uint32_t MS_RING_ON = 0x40;
constexpr uint32_t MS_RLSD_ON = 0x80;

// Line error flags reported by ClearErrors (and the EV_ERR they raise).
constexpr uint32_t CE_RXOVER = 0x0001;    // input queue overflowed
constexpr uint32_t CE_OVERRUN = 0x0002;   // hardware overrun
constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
constexpr uint32_t CE_FRAME = 0x0008;     // framing error
constexpr uint32_t CE_BREAK = 0x0010;     // break received
constexpr uint32_t CE_IOE = 0x0400;       // device I/O error: hung up, unplugged, gone

// Escape functions for the modem lines.
constexpr int SETRTS = 3;
constexpr int CLRRTS = 4;
constexpr int SETDTR = 5;
constexpr int CLRDTR = 6;

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x1;
constexpr uint32_t PURGE_RXABORT = 0x2;
constexpr uint32_t PURGE_TXCLEAR = 0x4;
constexpr uint32_t PURGE_RXCLEAR = 0x8;

// Flags word of the line settings.
constexpr uint32_t DCB_fBinary = 0x0001;
constexpr uint32_t DCB_fParity = 0x0002;
constexpr uint32_t DCB_fOutxCtsFlow = 0x0004;
constexpr uint32_t DCB_fOutxDsrFlow = 0x0008;
constexpr uint32_t DCB_DtrControlEnable = 0x0010;
constexpr uint32_t DCB_DtrControlHandshake = 0x0020;
constexpr uint32_t DCB_fDsrSensitivity = 0x0040;
constexpr uint32_t DCB_fTXContinueOnXoff = 0x0080;
constexpr uint32_t DCB_fOutX = 0x0100;
constexpr uint32_t DCB_fInX = 0x0200;
constexpr uint32_t DCB_fErrorChar = 0x0400;
constexpr uint32_t DCB_fNull = 0x0800;
constexpr uint32_t DCB_RtsControlEnable = 0x1000;
constexpr uint32_t DCB_RtsControlHandshake = 0x2000;

// Line settings ("device control block"). Parity 0..4 = none, odd, even, mark, space;
// StopBits 0..2 = one, one and a half, two; ByteSize 4..8.
struct SerialDCB {
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;
  bool operator==(const SerialDCB&) const = default;
};

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

struct SerialTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

class ISerialDevice {
 public:
  virtual ~ISerialDevice() = default;

  // False when the opened name is not a character device (a plain file, a folder).
  virtual bool IsCharDevice() const = 0;

  virtual int GetState(SerialDCB& dcb) = 0;
  // EINVAL for a setting the device cannot take (a baud rate or byte size it does not know).
  virtual int SetState(const SerialDCB& dcb) = 0;
  // Only the "return at once with what has arrived" read mode (ReadIntervalTimeout MAXDWORD, the
  // rest 0) and "no driver time limit" writes are used; other values are accepted and stored.
  virtual int SetTimeouts(const SerialTimeouts& t) = 0;
  // Sizes of the input and output queues in bytes (each at least 16).
  virtual int SetupQueues(int inQueue, int outQueue) = 0;

  // Events the next waits report. Events that happen while nobody waits are kept and reported
  // by the next wait, as long as they are in the mask.
  virtual int SetEventMask(uint32_t mask) = 0;
  // Blocks until one of the masked events happened (mask receives them, result 0) or until
  // CancelWait (result ECANCELED, mask 0). After CancelWait every further wait returns at once.
  virtual int WaitEvent(uint32_t& mask) = 0;
  virtual void CancelWait() = 0;

  // Copies up to `count` bytes that have arrived and returns at once; `done` may be 0. Waits at
  // most `timeoutMs` only where the device itself is stuck (ETIMEDOUT then).
  virtual int Read(void* buffer, size_t count, size_t& done, int timeoutMs) = 0;
  // Queues `count` bytes, waiting up to `timeoutMs` (<0: no limit) for room in the output
  // queue. ETIMEDOUT when not everything fit in time; `done` tells what was queued. The caller's
  // buffer is never touched after the call returns.
  virtual int Write(const void* buffer, size_t count, size_t& done, int timeoutMs) = 0;

  virtual int Escape(int function) = 0;  // SETRTS, CLRRTS, SETDTR, CLRDTR
  virtual int GetModemStatus(uint32_t& status) = 0;
  // Returns and clears the line error flags; inQueue/outQueue receive the queued byte counts.
  virtual int ClearErrors(uint32_t& errors, uint32_t& inQueue, uint32_t& outQueue) = 0;
  virtual int Purge(uint32_t flags) = 0;

  // Bytes the device is to hear should the process die while it is open (a crash, a kill it
  // cannot answer in order); count 0 forgets them. Devices that cannot outlive the process
  // (the simulated wire) ignore it.
  virtual void SetLastWord(const uint8_t* bytes, size_t count) {
    (void)bytes;
    (void)count;
  }

  // Releases the device. A wait in progress ends first (as by CancelWait), so the name is free
  // for the next open as soon as Close returns. Further calls return EBADF.
  virtual void Close() = 0;
};

// The modem lines of a termios port. The real lines use TIOCMGET/TIOCMBIS/TIOCMBIC; a test can
// put in lines of its own (a pseudo-terminal has none and refuses these ioctls with ENOTTY).
class IModemLines {
 public:
  virtual ~IModemLines() = default;
  virtual int Get(uint32_t& msStatus) = 0;  // MS_* bits
  virtual int Escape(int function) = 0;
};

// Opens a host tty path exclusively. `lines` replaces the real modem lines when not null.
int OpenPosixSerial(const std::string& path, std::shared_ptr<IModemLines> lines,
                    std::shared_ptr<ISerialDevice>& out);

// --- Port names ---------------------------------------------------------------------------------
// "COM1", "COM2", ... (any case) resolve through the operator's port mapping; defaults are
// /dev/ttyS0, /dev/ttyS1, ... A mapped value "sim" or "sim:<wire>" names a simulated wire (see
// Sim.h; "sim" alone is the wire "sim"). Any other name is taken as a host path.
std::string ResolvePortName(const std::string& name);
// Where the mapping comes from: by default the keys COM1, COM2, ... of the host configuration
// file (platform/Host.h); tests put in a lookup of their own (nullptr restores the file). An
// empty answer means the default device.
void SetPortMappingLookup(std::function<std::string(const std::string& comName)> lookup);

// Opens a port by name (see ResolvePortName). Errors as errno: ENOENT for a missing device or
// an unknown simulated wire, EBUSY when another program holds the port, EACCES without
// permission.
int OpenSerialDevice(const std::string& name, std::shared_ptr<ISerialDevice>& out);

// A short note for the user that goes after the component's own message, or "" (EACCES: the
// group needed to use serial ports).
std::string SerialErrorHint(int error);

}  // namespace platform
