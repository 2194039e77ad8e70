// DTMF for the selective call: the sender's segment table and tone synthesis, and the decoder's
// per-trigger step over the eight DTMF bins. The window wires them to its devices; the logic
// here is pure so that it can be tested and fuzzed on its own.
// Thread: main thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace station {

// --- Sender -------------------------------------------------------------------------------------

constexpr int kDTMFSegments = 258;

struct TDTMFSegment {
  double Schritt1 = 0, Schritt2 = 0;  // phase steps of the row and column tone; 0, 0 is silence
};

struct TDTMFSender {
  std::array<TDTMFSegment, kDTMFSegments> DTMFFolge{};
  int32_t DTMFAnzahl = 0;
  int32_t DTMFPos = 0;
  double Phase1 = 0, Phase2 = 0;
  double Schritt1 = 0, Schritt2 = 0;

  // Builds the sequence of `number`: 7 silent segments, then tone and pause per character.
  // `invalid` is told of each character that is no DTMF character (its tone becomes silence).
  // Characters beyond what the table holds are not sent: a number from a settings file is at
  // most 50 characters, which needs 107 segments.
  void Build(const std::string& number, const std::array<double, 8>& DTMFSchritt,
             const std::function<void(char)>& invalid);
  // Fills one buffer of 8-bit samples with the next segment; returns MoreBuffers.
  bool Fill(uint8_t* data, uint32_t length);
};

// Row and column position (0..3 each) of a DTMF character; false for any other character.
bool DTMFPosition(char c, int& row, int& column);

// --- Decoder ------------------------------------------------------------------------------------

struct TDTMFDecoder {
  int32_t TonAnzahl = 0;
  int32_t TonSchwelle = 0;
  bool ZifferErkannt = false;
  int32_t PausenZaehler = 0;
  std::string LM;  // caption of L_M, the current line
  std::string LA;  // caption of L_A, the previous line
  std::string Code;

  enum TResult { drNone = 0, drOwnNumber = 1, drMailbox = 2 };
  // One trigger: `s` are the magnitudes of the eight DTMF bins (rows 1..4, columns 1..4).
  // Returns which numbers the current line now equals (only when a new digit was taken).
  int Step(const std::array<int32_t, 8>& s, int32_t sensitivity, const std::string& own,
           const std::string& mailbox);
};

// The character of a two-position code (15 -> '1', 46 -> '0'); 0 for two rows or two columns.
char DTMFCharacter(int code);

// --- Mailbox -------------------------------------------------------------------------------------

// The 14-character stamp yyyymmddhhmmss from the German short date ("dd.mm.yyyy" or
// "dd.mm.yy") and time ("hh:mm:ss") texts, read by character positions.
std::string MailboxStamp(const std::string& dateText, const std::string& timeText);
// "m:ss.mmm" below an hour, "h:mm:ss.mmm" below a day, "d:hh:mm:ss.mmm" from a day on.
std::string FormatWavTime(int64_t ms);

}  // namespace station
