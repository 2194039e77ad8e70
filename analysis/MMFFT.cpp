#include "analysis/MMFFT.h"

#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KANALO_FFT_X86 1
#endif

#include "rtl/SysUtils.h"

namespace analysis {

namespace {

// Half the transform length: the number of complex points of the inner FFT.
inline int64_t Half(const TFFTPlan* P) {
  return static_cast<int64_t>(P->Length) / 2;
}

int64_t TwiddleFloats(int64_t half) {
  return half < 4 ? 4 : half;
}
// The stage arrays hold 4 * n4 floats for every radix stage, n4 = n2/4 for n2 = half .. 4.
int64_t StageFloats(int64_t half) {
  int64_t total = 0;
  for (int64_t n2 = half; n2 >= 4; n2 >>= 1) total += n2;
  return total;
}

// One L-shaped split-radix butterfly (decimation in frequency): the first half stays for the
// half-length transform, the two quarters are turned by w^j and w^3j.
inline void Butterfly(float& x0r, float& x0i, float& x1r, float& x1i, float& x2r, float& x2i,
                      float& x3r, float& x3i, float c1, float s1, float c3, float s3) {
  float r1 = x0r - x2r;
  x0r += x2r;
  float r2 = x1r - x3r;
  x1r += x3r;
  const float t1 = x0i - x2i;
  x0i += x2i;
  float t2 = x1i - x3i;
  x1i += x3i;
  const float t3 = r1 - t2;
  r1 += t2;
  t2 = r2 - t1;
  r2 += t1;
  x2r = r1 * c1 - t2 * s1;
  x2i = -t2 * c1 - r1 * s1;
  x3r = t3 * c3 + r2 * s3;
  x3i = r2 * c3 - t3 * s3;
}

// Calls fn(base) for the start of every L-shaped block of the stage of length n2; the blocks are
// the same for every twiddle index j, which is what lets the vector path run along j.
template <typename Fn>
inline void ForEachBlock(int64_t n, int64_t n2, Fn fn) {
  for (int64_t is = 0, id = 2 * n2; is < n - 1; is = 2 * id - n2, id *= 4)
    for (int64_t b = is; b < n - 1; b += id) fn(b);
}

template <typename Fn>
inline void ForEachPair(int64_t n, Fn fn) {
  for (int64_t is = 0, id = 4; is < n - 1; is = 2 * id - 2, id *= 4)
    for (int64_t i0 = is; i0 < n; i0 += id) fn(i0);
}

void MakeTables(TFFTPlan* P) {
  const long double pi = std::acos(-1.0L);
  const int64_t half = Half(P);
  const int bits = P->Bits - 1;
  for (int64_t i = 0; i < half; ++i) {
    int64_t r = 0;
    for (int b = 0; b < bits; ++b)
      if (i & (int64_t{1} << b)) r |= int64_t{1} << (bits - 1 - b);
    P->BitReverse[i] = static_cast<int32_t>(r);
  }
  const int64_t groups = TwiddleFloats(half) / 4;
  const long double theta = half > 0 ? 2 * pi / static_cast<long double>(half) : 0;
  for (int64_t j = 0; j < groups; ++j) {
    const long double a = theta * static_cast<long double>(j);
    P->Twiddles[4 * j + 0] = static_cast<float>(std::cos(a));
    P->Twiddles[4 * j + 1] = static_cast<float>(-std::sin(a));
    P->Twiddles[4 * j + 2] = static_cast<float>(std::cos(3 * a));
    P->Twiddles[4 * j + 3] = static_cast<float>(-std::sin(3 * a));
  }
  const long double phi = 2 * pi / static_cast<long double>(P->Length);
  for (int64_t j = 1; j <= P->Length / 4; ++j) {
    const long double a = phi * static_cast<long double>(j);
    P->SplitTable[2 * (j - 1) + 0] = static_cast<float>(0.5L * std::cos(a));
    P->SplitTable[2 * (j - 1) + 1] = static_cast<float>(0.5L * (1 - std::sin(a)));
  }
  float* st = P->StageTwiddles;
  for (int64_t n2 = half; n2 >= 4; n2 >>= 1) {
    const int64_t n4 = n2 / 4;
    const long double e = 2 * pi / static_cast<long double>(n2);
    for (int64_t j = 0; j < n4; ++j) {
      const long double a = e * static_cast<long double>(j);
      st[j] = static_cast<float>(std::cos(a));
      st[n4 + j] = static_cast<float>(std::sin(a));
      st[2 * n4 + j] = static_cast<float>(std::cos(3 * a));
      st[3 * n4 + j] = static_cast<float>(std::sin(3 * a));
    }
    st += 4 * n4;
  }
  // Once the stages down to length 8 are done, every aligned group of four points is either a
  // whole 4-point transform (the first half of an 8-point one, or a quarter of a 16-point one)
  // or the two 2-point transforms that are the quarters of an 8-point one. The vector tail takes
  // 32 points at a time as four vectors of two groups each and transposes them, so lane
  // h * 4 + k of chunk c holds group 8 c + 2 k + h.
  if (half >= 32) {
    std::vector<int32_t> kind(static_cast<size_t>(half / 4), 0);
    ForEachBlock(half, 8, [&](int64_t b) { kind[static_cast<size_t>(b / 4)] = -1; });
    ForEachBlock(half, 16, [&](int64_t b) {
      kind[static_cast<size_t>((b + 8) / 4)] = -1;
      kind[static_cast<size_t>((b + 12) / 4)] = -1;
    });
    for (int64_t c = 0; c < half / 32; ++c)
      for (int64_t h = 0; h < 2; ++h)
        for (int64_t k = 0; k < 4; ++k)
          P->TailKinds[8 * c + 4 * h + k] = kind[static_cast<size_t>(8 * c + 2 * k + h)];
  }
}

void PlainBitReverse(const TFFTPlan* P, float* d) {
  const int64_t half = Half(P);
  for (int64_t i = 0; i < half; ++i) {
    const int64_t r = P->BitReverse[i];
    if (i < r) {
      std::swap(d[2 * i], d[2 * r]);
      std::swap(d[2 * i + 1], d[2 * r + 1]);
    }
  }
}

void PlainComplexFFT(const TFFTPlan* P, float* d) {
  const int64_t n = Half(P);
  if (n < 2) return;  // one point is its own transform
  const float* tw = P->Twiddles;
  for (int64_t n2 = n; n2 >= 4; n2 >>= 1) {
    const int64_t n4 = n2 / 4;
    const int64_t stride = (n / n2) * 4;
    ForEachBlock(n, n2, [&](int64_t b) {
      for (int64_t j = 0; j < n4; ++j) {
        const float* w = tw + j * stride;
        float* x0 = d + 2 * (b + j);
        float* x1 = x0 + 2 * n4;
        float* x2 = x1 + 2 * n4;
        float* x3 = x2 + 2 * n4;
        Butterfly(x0[0], x0[1], x1[0], x1[1], x2[0], x2[1], x3[0], x3[1], w[0], -w[1], w[2], -w[3]);
      }
    });
  }
  ForEachPair(n, [&](int64_t i0) {
    float* a = d + 2 * i0;
    const float r = a[0], i = a[1];
    a[0] = r + a[2];
    a[1] = i + a[3];
    a[2] = r - a[2];
    a[3] = i - a[3];
  });
  PlainBitReverse(P, d);
}

// The split step for the pairs k, M-k with k = from .. M/2.
void SplitRange(const TFFTPlan* P, float* d, int64_t from) {
  const int64_t m = Half(P);
  const float* t = P->SplitTable;
  for (int64_t k = from; 2 * k <= m; ++k) {
    const float c = t[2 * (k - 1)], a = t[2 * (k - 1) + 1];
    float* zk = d + 2 * k;
    float* zm = d + 2 * (m - k);
    const float ar = zk[0], ai = zk[1];
    const float br = zm[0], bi = -zm[1];  // conj Z[M-k]
    const float dr = ar - br, di = ai - bi;
    // X[k] = B + (a - i c) D, with B = conj Z[M-k] and D = Z[k] - B.
    zk[0] = br + a * dr + c * di;
    zk[1] = bi + a * di - c * dr;
    if (2 * k != m) {
      // X[M-k] = conj Z[k] - (a + i c) conj D.
      zm[0] = ar - a * dr - c * di;
      zm[1] = -ai - c * dr + a * di;
    }
  }
}

void SplitStep(const TFFTPlan* P, float* d) {
  // X[0] = Re Z[0] + Im Z[0]; the Nyquist term Re Z[0] - Im Z[0] is not kept.
  d[0] = d[0] + d[1];
  d[1] = 0;
  SplitRange(P, d, 1);
}

#ifdef KANALO_FFT_X86

// Split-array scratch of the vector path, one per thread: plans stay read-only and shareable.
std::vector<float>& Scratch(size_t n) {
  thread_local std::vector<float> s;
  if (s.size() < n) s.resize(n);
  return s;
}

// Eight interleaved complex values at p as their real and imaginary parts.
__attribute__((target("avx2"))) inline void LoadSplit(const float* p, __m256& re, __m256& im) {
  const __m256 a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
  // Within each 128-bit lane: (r0 r1 r4 r5 | r2 r3 r6 r7); the 64-bit swap puts them in order.
  const __m256 r = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 i = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  re = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), _MM_SHUFFLE(3, 1, 2, 0)));
  im = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(i), _MM_SHUFFLE(3, 1, 2, 0)));
}

// The inverse of LoadSplit.
__attribute__((target("avx2"))) inline void StoreSplit(float* p, __m256 re, __m256 im) {
  re = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(re), _MM_SHUFFLE(3, 1, 2, 0)));
  im = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(im), _MM_SHUFFLE(3, 1, 2, 0)));
  _mm256_storeu_ps(p, _mm256_unpacklo_ps(re, im));
  _mm256_storeu_ps(p + 8, _mm256_unpackhi_ps(re, im));
}

void ScalarStageSplit(float* re, float* im, int64_t n, int64_t n2, const float* st) {
  const int64_t n4 = n2 / 4;
  ForEachBlock(n, n2, [&](int64_t b) {
    for (int64_t j = 0; j < n4; ++j) {
      const int64_t i0 = b + j, i1 = i0 + n4, i2 = i1 + n4, i3 = i2 + n4;
      Butterfly(re[i0], im[i0], re[i1], im[i1], re[i2], im[i2], re[i3], im[i3], st[j], st[n4 + j],
                st[2 * n4 + j], st[3 * n4 + j]);
    }
  });
}

// Eight neighbouring butterflies of one block at a time. Written without lambdas: a lambda would
// not inherit the target attribute, and the intrinsics could not be inlined into it.
__attribute__((target("avx2"))) inline void AvxBlock(float* re, float* im, int64_t b, int64_t n4,
                                                     const float* st) {
  const __m256 zero = _mm256_setzero_ps();
  for (int64_t j = 0; j < n4; j += 8) {
    const int64_t i0 = b + j, i1 = i0 + n4, i2 = i1 + n4, i3 = i2 + n4;
    const __m256 c1 = _mm256_loadu_ps(st + j), s1 = _mm256_loadu_ps(st + n4 + j);
    const __m256 c3 = _mm256_loadu_ps(st + 2 * n4 + j), s3 = _mm256_loadu_ps(st + 3 * n4 + j);
    const __m256 x0r = _mm256_loadu_ps(re + i0), x0i = _mm256_loadu_ps(im + i0);
    const __m256 x1r = _mm256_loadu_ps(re + i1), x1i = _mm256_loadu_ps(im + i1);
    const __m256 x2r = _mm256_loadu_ps(re + i2), x2i = _mm256_loadu_ps(im + i2);
    const __m256 x3r = _mm256_loadu_ps(re + i3), x3i = _mm256_loadu_ps(im + i3);
    __m256 r1 = _mm256_sub_ps(x0r, x2r);
    __m256 r2 = _mm256_sub_ps(x1r, x3r);
    const __m256 t1 = _mm256_sub_ps(x0i, x2i);
    __m256 t2 = _mm256_sub_ps(x1i, x3i);
    _mm256_storeu_ps(re + i0, _mm256_add_ps(x0r, x2r));
    _mm256_storeu_ps(re + i1, _mm256_add_ps(x1r, x3r));
    _mm256_storeu_ps(im + i0, _mm256_add_ps(x0i, x2i));
    _mm256_storeu_ps(im + i1, _mm256_add_ps(x1i, x3i));
    const __m256 t3 = _mm256_sub_ps(r1, t2);
    r1 = _mm256_add_ps(r1, t2);
    t2 = _mm256_sub_ps(r2, t1);
    r2 = _mm256_add_ps(r2, t1);
    _mm256_storeu_ps(re + i2, _mm256_sub_ps(_mm256_mul_ps(r1, c1), _mm256_mul_ps(t2, s1)));
    _mm256_storeu_ps(
        im + i2, _mm256_sub_ps(_mm256_sub_ps(zero, _mm256_mul_ps(t2, c1)), _mm256_mul_ps(r1, s1)));
    _mm256_storeu_ps(re + i3, _mm256_add_ps(_mm256_mul_ps(t3, c3), _mm256_mul_ps(r2, s3)));
    _mm256_storeu_ps(im + i3, _mm256_sub_ps(_mm256_mul_ps(r2, c3), _mm256_mul_ps(t3, s3)));
  }
}

// The stage of length 16: four butterflies per block, one 128-bit vector each, with the same
// arithmetic as AvxBlock.
__attribute__((target("avx2"))) inline void Sse4Block(float* re, float* im, int64_t b,
                                                      const float* st) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 c1 = _mm_loadu_ps(st), s1 = _mm_loadu_ps(st + 4);
  const __m128 c3 = _mm_loadu_ps(st + 8), s3 = _mm_loadu_ps(st + 12);
  const __m128 x0r = _mm_loadu_ps(re + b), x0i = _mm_loadu_ps(im + b);
  const __m128 x1r = _mm_loadu_ps(re + b + 4), x1i = _mm_loadu_ps(im + b + 4);
  const __m128 x2r = _mm_loadu_ps(re + b + 8), x2i = _mm_loadu_ps(im + b + 8);
  const __m128 x3r = _mm_loadu_ps(re + b + 12), x3i = _mm_loadu_ps(im + b + 12);
  __m128 r1 = _mm_sub_ps(x0r, x2r);
  __m128 r2 = _mm_sub_ps(x1r, x3r);
  const __m128 t1 = _mm_sub_ps(x0i, x2i);
  __m128 t2 = _mm_sub_ps(x1i, x3i);
  _mm_storeu_ps(re + b, _mm_add_ps(x0r, x2r));
  _mm_storeu_ps(re + b + 4, _mm_add_ps(x1r, x3r));
  _mm_storeu_ps(im + b, _mm_add_ps(x0i, x2i));
  _mm_storeu_ps(im + b + 4, _mm_add_ps(x1i, x3i));
  const __m128 t3 = _mm_sub_ps(r1, t2);
  r1 = _mm_add_ps(r1, t2);
  t2 = _mm_sub_ps(r2, t1);
  r2 = _mm_add_ps(r2, t1);
  _mm_storeu_ps(re + b + 8, _mm_sub_ps(_mm_mul_ps(r1, c1), _mm_mul_ps(t2, s1)));
  _mm_storeu_ps(im + b + 8, _mm_sub_ps(_mm_sub_ps(zero, _mm_mul_ps(t2, c1)), _mm_mul_ps(r1, s1)));
  _mm_storeu_ps(re + b + 12, _mm_add_ps(_mm_mul_ps(t3, c3), _mm_mul_ps(r2, s3)));
  _mm_storeu_ps(im + b + 12, _mm_sub_ps(_mm_mul_ps(r2, c3), _mm_mul_ps(t3, s3)));
}

// The stage of length 8: its two butterflies side by side in one 128-bit vector, the low half
// for the first quarter pair, the high half for the second. The sums land where they belong at
// once; the differences are paired up with one half swap. Each result is formed from the same
// products as in Butterfly (negation and reordered addition are exact), so it is the same value.
__attribute__((target("avx2"))) inline void Sse8Block(float* re, float* im, int64_t b,
                                                      const __m128 k1, const __m128 k2,
                                                      const __m128 k3) {
  const __m128 v0 = _mm_loadu_ps(re + b), v1 = _mm_loadu_ps(re + b + 4);  // x0 x1 | x2 x3
  const __m128 w0 = _mm_loadu_ps(im + b), w1 = _mm_loadu_ps(im + b + 4);
  _mm_storeu_ps(re + b, _mm_add_ps(v0, v1));
  _mm_storeu_ps(im + b, _mm_add_ps(w0, w1));
  const __m128 a = _mm_sub_ps(v0, v1);                              // r1 | r2
  const __m128 t = _mm_sub_ps(w0, w1);                              // t1 | t2
  const __m128 ts = _mm_shuffle_ps(t, t, _MM_SHUFFLE(1, 0, 3, 2));  // t2 | t1
  const __m128 p = _mm_add_ps(a, ts);                               // r1' | r2'
  const __m128 m = _mm_sub_ps(a, ts);                               // t3 | t2'
  const __m128 v = _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2));   // t2' | t3
  _mm_storeu_ps(re + b + 4, _mm_add_ps(_mm_mul_ps(p, k1), _mm_mul_ps(v, k2)));
  _mm_storeu_ps(im + b + 4, _mm_add_ps(_mm_mul_ps(v, k3), _mm_mul_ps(p, k2)));
}

// One radix stage on the split arrays. The block walk of ForEachBlock is spelled out here: in a
// lambda the small vector blocks could not be inlined (a lambda does not inherit the target), and
// a call per 8- or 16-point block costs as much as its arithmetic.
__attribute__((target("avx2"))) void AvxStageSplit(float* re, float* im, int64_t n, int64_t n2,
                                                   const float* st) {
  if (n2 == 8) {
    // Lanes: (c1, c1', s3, s3'), (-s1, -s1', c3, c3'), (-c1, -c1', -s3, -s3') for j = 0, 1.
    const __m128 k1 = _mm_setr_ps(st[0], st[1], st[6], st[7]);
    const __m128 k2 = _mm_setr_ps(-st[2], -st[3], st[4], st[5]);
    const __m128 k3 = _mm_setr_ps(-st[0], -st[1], -st[6], -st[7]);
    for (int64_t is = 0, id = 2 * n2; is < n - 1; is = 2 * id - n2, id *= 4)
      for (int64_t b = is; b < n - 1; b += id) Sse8Block(re, im, b, k1, k2, k3);
  } else if (n2 == 16) {
    for (int64_t is = 0, id = 2 * n2; is < n - 1; is = 2 * id - n2, id *= 4)
      for (int64_t b = is; b < n - 1; b += id) Sse4Block(re, im, b, st);
  } else {
    for (int64_t is = 0, id = 2 * n2; is < n - 1; is = 2 * id - n2, id *= 4)
      for (int64_t b = is; b < n - 1; b += id) AvxBlock(re, im, b, n2 / 4, st);
  }
}

// The caller's interleaved block into the split arrays, eight complex values at a time.
__attribute__((target("avx2"))) void Deinterleave(const float* d, float* re, float* im, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 r, m;
    LoadSplit(d + 2 * i, r, m);
    _mm256_storeu_ps(re + i, r);
    _mm256_storeu_ps(im + i, m);
  }
  for (; i < n; ++i) {
    re[i] = d[2 * i];
    im[i] = d[2 * i + 1];
  }
}

// Transposes the 8 x 8 matrix whose rows are r[0] .. r[7].
__attribute__((target("avx2"))) inline void Transpose8(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Natural order from bit-reversed order, back into the caller's block interleaved. With b index
// bits and 8 x 8 tiles: an index is hi (3 bits) | mid (b - 6 bits) | lo (3 bits), its reverse is
// rev(lo) | rev(mid) | rev(hi). For one mid the 64 values with every hi and lo form a tile: rows
// loaded in the order rev(hi) and transposed give, for each lo, eight values that belong next to
// each other at rev(lo) | rev(mid) | 0 .. 7. A pure permutation, so the values are untouched.
// (An index loop, and indexed vector loads, were slower.) Below 64 points the index loop stays.
__attribute__((target("avx2"))) void ReorderInterleave(const TFFTPlan* P, const float* re,
                                                       const float* im, float* d) {
  const int64_t n = Half(P);
  const int32_t* rev = P->BitReverse;
  if (n < 64) {
    for (int64_t k = 0; k < n; ++k) {
      d[2 * k] = re[rev[k]];
      d[2 * k + 1] = im[rev[k]];
    }
    return;
  }
  static constexpr int kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  const int64_t rowShift = n / 8;  // hi (or rev(lo)) steps through the top three bits
  for (int64_t mid = 0; mid < n / 64; ++mid) {
    const int64_t src = mid * 8;
    const int64_t dst = rev[src];  // rev(mid) << 3, the low and high parts being zero
    __m256 r[8], m[8];
    for (int j = 0; j < 8; ++j) {
      r[j] = _mm256_loadu_ps(re + kRev3[j] * rowShift + src);
      m[j] = _mm256_loadu_ps(im + kRev3[j] * rowShift + src);
    }
    Transpose8(r);
    Transpose8(m);
    for (int l = 0; l < 8; ++l) StoreSplit(d + 2 * (kRev3[l] * rowShift + dst), r[l], m[l]);
  }
}

// Transposes the 4 x 4 matrices in the low and in the high halves of r[0] .. r[3].
__attribute__((target("avx2"))) inline void Transpose4x2(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  r[0] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0));
  r[1] = _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2));
  r[2] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0));
  r[3] = _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2));
}

// The 4-point stage and the 2-point pairs together, for N/2 >= 32. Every aligned group of four
// points is either a whole 4-point transform or two pairs (TailKinds); eight neighbouring groups
// are transposed so that each vector holds the same element of all eight, both kinds are computed
// with plain lane-wise arithmetic and each lane keeps the result of its own kind. The 4-point
// butterfly's twiddles are 1 and 0, so its products are left out; what remains is the same sums
// and differences as in Butterfly and the pair step.
__attribute__((target("avx2"))) void AvxTail(const TFFTPlan* P, float* re, float* im) {
  const int64_t n = Half(P);
  const __m256 zero = _mm256_setzero_ps();
  for (int64_t c = 0; c < n / 32; ++c) {
    float* pr = re + 32 * c;
    float* pi = im + 32 * c;
    __m256 a[4], b[4];
    for (int k = 0; k < 4; ++k) {
      a[k] = _mm256_loadu_ps(pr + 8 * k);
      b[k] = _mm256_loadu_ps(pi + 8 * k);
    }
    Transpose4x2(a);
    Transpose4x2(b);
    // A 4-point transform: the L butterfly with unit twiddles, then the pair on its first half.
    const __m256 r1 = _mm256_sub_ps(a[0], a[2]), s0 = _mm256_add_ps(a[0], a[2]);
    const __m256 r2 = _mm256_sub_ps(a[1], a[3]), s1 = _mm256_add_ps(a[1], a[3]);
    const __m256 t1 = _mm256_sub_ps(b[0], b[2]), u0 = _mm256_add_ps(b[0], b[2]);
    const __m256 t2 = _mm256_sub_ps(b[1], b[3]), u1 = _mm256_add_ps(b[1], b[3]);
    const __m256 f2r = _mm256_add_ps(r1, t2), f3r = _mm256_sub_ps(r1, t2);
    const __m256 f2i = _mm256_sub_ps(zero, _mm256_sub_ps(r2, t1)), f3i = _mm256_add_ps(r2, t1);
    const __m256 f0r = _mm256_add_ps(s0, s1), f1r = _mm256_sub_ps(s0, s1);
    const __m256 f0i = _mm256_add_ps(u0, u1), f1i = _mm256_sub_ps(u0, u1);
    // Two pairs.
    const __m256 p0r = _mm256_add_ps(a[0], a[1]), p1r = _mm256_sub_ps(a[0], a[1]);
    const __m256 p2r = _mm256_add_ps(a[2], a[3]), p3r = _mm256_sub_ps(a[2], a[3]);
    const __m256 p0i = _mm256_add_ps(b[0], b[1]), p1i = _mm256_sub_ps(b[0], b[1]);
    const __m256 p2i = _mm256_add_ps(b[2], b[3]), p3i = _mm256_sub_ps(b[2], b[3]);
    const __m256 four = _mm256_castsi256_ps(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P->TailKinds + 8 * c)));
    a[0] = _mm256_blendv_ps(p0r, f0r, four);
    a[1] = _mm256_blendv_ps(p1r, f1r, four);
    a[2] = _mm256_blendv_ps(p2r, f2r, four);
    a[3] = _mm256_blendv_ps(p3r, f3r, four);
    b[0] = _mm256_blendv_ps(p0i, f0i, four);
    b[1] = _mm256_blendv_ps(p1i, f1i, four);
    b[2] = _mm256_blendv_ps(p2i, f2i, four);
    b[3] = _mm256_blendv_ps(p3i, f3i, four);
    Transpose4x2(a);
    Transpose4x2(b);
    for (int k = 0; k < 4; ++k) {
      _mm256_storeu_ps(pr + 8 * k, a[k]);
      _mm256_storeu_ps(pi + 8 * k, b[k]);
    }
  }
}

void AvxComplexFFT(const TFFTPlan* P, float* d) {
  const int64_t n = Half(P);
  if (n < 2) return;
  std::vector<float>& s = Scratch(static_cast<size_t>(2 * n));
  float* re = s.data();
  float* im = re + n;
  Deinterleave(d, re, im, n);
  const float* st = P->StageTwiddles;
  for (int64_t n2 = n; n2 >= 4; n2 >>= 1) {
    if (n2 >= 8)
      AvxStageSplit(re, im, n, n2, st);
    else if (n >= 32)
      break;  // the 4-point stage and the pairs go to the vector tail
    else
      ScalarStageSplit(re, im, n, n2, st);
    st += n2;
  }
  if (n >= 32)
    AvxTail(P, re, im);
  else
    ForEachPair(n, [&](int64_t i0) {
      const float r = re[i0], i = im[i0];
      re[i0] = r + re[i0 + 1];
      im[i0] = i + im[i0 + 1];
      re[i0 + 1] = r - re[i0 + 1];
      im[i0 + 1] = i - im[i0 + 1];
    });
  ReorderInterleave(P, re, im, d);
}

// The split step for eight pairs k, M-k at a time, with the same arithmetic as the plain one
// (so the results match to the last bit); the pairs that do not fill a vector, and k = M/2, are
// left to the plain loop. Within one group the values of k are all below M/2 and those of M-k all
// above it, so no group reads what another has written.
__attribute__((target("avx2"))) void AvxSplitStep(const TFFTPlan* P, float* d) {
  const int64_t m = Half(P);
  d[0] = d[0] + d[1];
  d[1] = 0;
  const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  const __m256 zero = _mm256_setzero_ps();
  int64_t k0 = 1;
  for (; 2 * (k0 + 7) < m; k0 += 8) {
    __m256 c, a, ar, ai, br, bi;
    LoadSplit(P->SplitTable + 2 * (k0 - 1), c, a);
    LoadSplit(d + 2 * k0, ar, ai);
    float* zm = d + 2 * (m - k0 - 7);
    LoadSplit(zm, br, bi);
    br = _mm256_permutevar8x32_ps(br, reverse);
    bi = _mm256_sub_ps(zero, _mm256_permutevar8x32_ps(bi, reverse));  // conj Z[M-k]
    const __m256 dr = _mm256_sub_ps(ar, br), di = _mm256_sub_ps(ai, bi);
    const __m256 adr = _mm256_mul_ps(a, dr), cdi = _mm256_mul_ps(c, di);
    const __m256 adi = _mm256_mul_ps(a, di), cdr = _mm256_mul_ps(c, dr);
    StoreSplit(d + 2 * k0, _mm256_add_ps(_mm256_add_ps(br, adr), cdi),
               _mm256_sub_ps(_mm256_add_ps(bi, adi), cdr));
    const __m256 xr = _mm256_sub_ps(_mm256_sub_ps(ar, adr), cdi);
    const __m256 xi = _mm256_add_ps(_mm256_sub_ps(_mm256_sub_ps(zero, ai), cdr), adi);
    StoreSplit(zm, _mm256_permutevar8x32_ps(xr, reverse), _mm256_permutevar8x32_ps(xi, reverse));
  }
  // The rest goes to plain SSE code, often as a tail jump the compiler does not guard: leave no
  // upper AVX state behind, or every SSE instruction after it pays for the transition.
  _mm256_zeroupper();
  SplitRange(P, d, k0);
}

const TFFTRoutines kVector = {"avx2", MakeTables, AvxComplexFFT, PlainBitReverse, AvxSplitStep};
#endif

const TFFTRoutines kPlain = {"plain", MakeTables, PlainComplexFFT, PlainBitReverse, SplitStep};

const TFFTRoutines* ChooseRoutines() {
#ifdef KANALO_FFT_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return &kVector;
#endif
  return &kPlain;
}

// Filled during static initialisation, i.e. at start-up before any plan can be made.
const TFFTRoutines* const gRoutines = ChooseRoutines();

}  // namespace

const TFFTRoutines& FFTRoutines() {
  // A plan made from another translation unit's static initialiser may come before ours.
  static const TFFTRoutines* const r = gRoutines ? gRoutines : ChooseRoutines();
  return *r;
}

const TFFTRoutines* FFTRoutinesFor(TFFTPath Path) {
  if (Path == TFFTPath::Plain) return &kPlain;
#ifdef KANALO_FFT_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return &kVector;
#endif
  return nullptr;
}

TFFTPlan* CreateFFT(int Bits) {
  if (Bits <= 0 || Bits >= 31) return nullptr;
  const int64_t length = int64_t{1} << Bits;
  const int64_t half = length / 2;
  TFFTPlan* p = nullptr;
  try {
    p = new TFFTPlan;
    p->Bits = Bits;
    p->Length = static_cast<int32_t>(length);
    p->InvLength = static_cast<float>(1.0L / static_cast<long double>(length));
    p->BitReverse = new int32_t[static_cast<size_t>(half)];
    p->Twiddles = new float[static_cast<size_t>(TwiddleFloats(half))];
    p->SplitTable = new float[static_cast<size_t>(length / 4 > 0 ? length / 2 : 2)];
    p->StageTwiddles = new float[static_cast<size_t>(StageFloats(half) + 4)];
    p->TailKinds = new int32_t[static_cast<size_t>(half / 4 + 1)];
  } catch (const std::bad_alloc&) {
    FreeFFT(p);
    throw rtl::EOutOfMemory("Out of memory");
  }
  FFTRoutines().MakeTables(p);
  return p;
}

void FreeFFT(TFFTPlan*& Plan) {
  if (!Plan) return;
  delete[] Plan->BitReverse;
  delete[] Plan->Twiddles;
  delete[] Plan->SplitTable;
  delete[] Plan->StageTwiddles;
  delete[] Plan->TailKinds;
  delete Plan;
  Plan = nullptr;
}

void RealFFTWith(const TFFTRoutines& R, const TFFTPlan* Plan, float* Data, int Direction) {
  if (!Plan || !Data) return;
  Direction = Direction < -1 ? -1 : (Direction > 1 ? 1 : Direction);
  if (Direction != 1) return;
  R.ComplexFFT(Plan, Data);
  R.SplitStep(Plan, Data);
}

void RealFFT(const TFFTPlan* Plan, float* Data, int Direction) {
  RealFFTWith(FFTRoutines(), Plan, Data, Direction);
}

float WindowValue(TMMFFTWindow Window, int Index, int Length) {
  // An empty block has no shape; the neutral value keeps every division below defined.
  if (Length < 1) return 1.0f;
  const long double pi = std::acos(-1.0L);
  const long double i = Index, n = Length;
  long double v;
  switch (Window) {
    case fwHamming:
      v = 0.54L - 0.46L * std::cos(2 * pi * i / n);
      break;
    case fwHanning:
      v = 0.5L - 0.5L * std::cos(2 * pi * i / n);
      break;
    case fwBlackman:
      v = 0.42L - 0.5L * std::cos(2 * pi * i / n) + 0.08L * std::cos(4 * pi * i / n);
      break;
    case fwGaussian:
      v = std::exp(-5 * (2 * i - n) * (2 * i - n) / (n * n));
      break;
    case fwWelch: {
      const long double q = (2 * i - n) / (n + 1);
      v = 1 - q * q;
      break;
    }
    case fwParzen:
      v = 1 - std::fabs((2 * i - n) / (n + 1));
      break;
    default:
      v = 1;
      break;
  }
  return static_cast<float>(v);
}

void FillWindowTable(int32_t* Table, TMMFFTWindow Window, int Bits) {
  if (!Table || Bits < 0 || Bits > 30) return;
  const int n = 1 << Bits;
  for (int i = 0; i < n; ++i) {
    const long double v = WindowValue(Window, i, n);
    Table[i] = static_cast<int32_t>(std::floor(v * 32767.0L + 0.5L));
  }
}

}  // namespace analysis
