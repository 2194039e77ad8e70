// Real-input FFT of a power-of-two length in single precision, and the analysis windows with
// their integer tables.
//
// The transform reads the N reals as N/2 complex values, runs a split-radix complex FFT of N/2
// points, puts the result in natural order and splits it into the spectrum of the real input.
// Output layout (forward, unnormalised X[k] = sum x[n] e^(-2 pi i k n / N)):
//   [0] = X[0] (real), [1] = 0 (the Nyquist term is not kept),
//   [2k], [2k+1] = Re X[k], Im X[k] for k = 1 .. N/2-1.
//
// The inner routines are reached through a table of routine pointers chosen once, before the
// first plan is made: a vectorised set where the CPU has AVX2, the plain set otherwise. Both give
// the same results within single-precision rounding.
//
// Threads: plans are immutable after CreateFFT and may be shared; each concurrent transform needs
// its own data block. Everything here is free of locks.
#pragma once

#include <cstdint>

namespace analysis {

enum TMMFFTWindow {
  fwRectangular,
  fwHamming,
  fwHanning,
  fwBlackman,
  fwGaussian,
  fwWelch,
  fwParzen
};

struct TFFTPlan {
  int32_t Bits = 0;
  int32_t Length = 0;
  float InvLength = 0;
  // Bit-reversal permutation of 0 .. N/2-1 (Bits-1 bits).
  int32_t* BitReverse = nullptr;
  // For theta = 2 pi / (N/2) and j = 0 .. N/8-1 (at least one group): cos(j theta),
  // -sin(j theta), cos(3 j theta), -sin(3 j theta).
  float* Twiddles = nullptr;
  // For phi = 2 pi / N and j = 1 .. N/4: 0.5 cos(j phi), 0.5 (1 - sin(j phi)).
  float* SplitTable = nullptr;
  // Private to the vectorised routines: the twiddles of each radix stage laid out contiguously
  // (cos, sin, cos3, sin3 arrays per stage), so that eight neighbouring butterflies load them
  // with one instruction each. Belongs to the plan like the tables above.
  float* StageTwiddles = nullptr;
  // Private to the vectorised routines: for N/2 >= 32, what the last two stages do to each group
  // of four complex points (all bits set: a 4-point transform; zero: two 2-point transforms),
  // one entry per group, laid out in the lane order of the vector tail (see MMFFT.cpp).
  int32_t* TailKinds = nullptr;
};

// A plan for N = 2^Bits with every table filled; null for Bits <= 0 or Bits >= 31 (2^31 does not
// fit the 32-bit Length). Out of memory raises rtl::EOutOfMemory.
TFFTPlan* CreateFFT(int Bits);
// Releases the plan and its tables and sets `Plan` to null; null is accepted.
void FreeFFT(TFFTPlan*& Plan);
// Transforms the Plan->Length floats at Data in place. Nothing happens for a null plan or data.
// Direction is clamped to -1 .. 1; only the forward direction (1) is offered: any other value
// leaves the data untouched, since no user asks for an inverse.
void RealFFT(const TFFTPlan* Plan, float* Data, int Direction);

// The window's value at sample Index of a block of Length samples (computed in extended
// precision). Ordinals outside the enumeration give the rectangular window.
float WindowValue(TMMFFTWindow Window, int Index, int Length);
// Table[i] = Floor(WindowValue(Window, i, 2^Bits) * 32767 + 0.5) for i = 0 .. 2^Bits-1.
// Bits outside 0 .. 30 fill nothing.
void FillWindowTable(int32_t* Table, TMMFFTWindow Window, int Bits);

// --- the routine table -------------------------------------------------------------------------

struct TFFTRoutines {
  const char* Name;
  // Fills every table of a plan whose Bits and Length are set and whose tables are allocated.
  void (*MakeTables)(TFFTPlan* Plan);
  // The N/2-point complex FFT of the interleaved data, left in natural order.
  void (*ComplexFFT)(const TFFTPlan* Plan, float* Data);
  // Puts N/2 interleaved complex values into natural order from bit-reversed order.
  void (*BitReverse)(const TFFTPlan* Plan, float* Data);
  // Turns the complex spectrum into the spectrum of the real input, with the DC term folded.
  void (*SplitStep)(const TFFTPlan* Plan, float* Data);
};

enum class TFFTPath { Plain, Vector };

// The routines in use, chosen on first use (the library's start-up).
const TFFTRoutines& FFTRoutines();
// A given set; Vector is null where the CPU lacks it. For tests and the benchmark.
const TFFTRoutines* FFTRoutinesFor(TFFTPath Path);
// RealFFT with a given routine set.
void RealFFTWith(const TFFTRoutines& R, const TFFTPlan* Plan, float* Data, int Direction);

}  // namespace analysis
