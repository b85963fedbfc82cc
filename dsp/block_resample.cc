// Bandlimited interpolation with a tabulated windowed-sinc wing, integer
// arithmetic, Q15 time. Time restarts at 0 on every call, so the taps that
// serve output sample i are the same on every call: Init turns the wing
// walks into one fixed FIR row per output sample and Process only runs the
// rows. Each tap product is still rounded on its own, exactly as the wing
// walk does, so the result is bit for bit the wing-walk result.
#include "dsp/block_resample.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "dsp/block_resample_table.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define HX_RESAMPLE_AVX2 1
#endif

namespace {

const uint32_t kReach = 7;  // history/look-ahead in input samples per unit of 1/factor

enum Kernel { kKernelScalar = 0, kKernelSse2 = 1, kKernelAvx2 = 2 };

// Rounds one tap product: (p + (p & 0x2000 ? 0x2000 : 0)) >> 14. Adding bit
// 13 back onto itself is the same as adding 0x2000, so this is
// floor((p + 0x2000) / 2^14).
inline int32_t RoundTap(int32_t p) { return (p + 0x2000) >> 14; }

inline int16_t Saturate(int64_t v) {
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return (int16_t)v;
}

// Output stage: ((left + right) >> 2) * LpScl, rounded from Q13, saturated.
inline int16_t OutputSample(int32_t sum, int32_t lp_scl) {
  int64_t v = (int64_t)(sum >> 2) * lp_scl;
  return Saturate((v + 4096) >> 13);
}

struct Tap {
  int32_t pos;  // input index relative to X
  int32_t coef;
};

// Interpolated table coefficient at Q7 table position `ho`.
inline int32_t Coef(const int16_t *imp, const int16_t *impd, uint32_t ho) {
  uint32_t h = ho >> 7;
  return imp[h] + ((impd[h] * (int32_t)(ho & 127)) >> 7);
}

// Appends the taps of one output time `t` (wing walks of the up- or
// down-converter) to `taps`.
void CollectTaps(uint32_t t, bool up, uint32_t dhb, std::vector<Tap> *taps) {
  const int16_t *imp = ResampleImp();
  const int16_t *impd = ResampleImpD();
  const int32_t n = (int32_t)(t >> 15);
  const uint32_t fl = t & 0x7FFF;            // left-wing phase
  const uint32_t fr = (0u - t) & 0x7FFF;     // right-wing phase
  if (up) {
    // Left wing: X[n], X[n-1], ... from entry fl>>7, 256 entries apart.
    int32_t k = 0;
    for (uint32_t h = fl >> 7, a = fl & 127; h < (uint32_t)kResampleNwing; h += kResampleNpc, ++k)
      taps->push_back({n - k, imp[h] + ((impd[h] * (int32_t)a) >> 7)});
    // Right wing: X[n+1], X[n+2], ...; at phase 0 the centre entry belongs
    // to the left wing, so the walk starts one period in.
    uint32_t h = fr >> 7, a = fr & 127;
    if (fr == 0) h = kResampleNpc;
    for (k = 0; h < (uint32_t)kResampleNwing - 1; h += kResampleNpc, ++k)
      taps->push_back({n + 1 + k, imp[h] + ((impd[h] * (int32_t)a) >> 7)});
  } else {
    // Table stretched by 1/factor: dhb Q7 entries per input sample.
    int32_t k = 0;
    for (uint32_t ho = (fl * dhb) >> 15; (ho >> 7) < (uint32_t)kResampleNwing; ho += dhb, ++k)
      taps->push_back({n - k, Coef(imp, impd, ho)});
    uint32_t ho = (fr * dhb) >> 15;
    if (fr == 0) ho += dhb;
    for (k = 0; (ho >> 7) < (uint32_t)kResampleNwing - 1; ho += dhb, ++k)
      taps->push_back({n + 1 + k, Coef(imp, impd, ho)});
  }
}

// ---------------------------------------------------------------------------
// Row kernels. All compute, per output row i,
//   S = sum_j RoundTap(c_j * x_j),  out[i] = OutputSample(S).
// The vector kernels use
//   sum_j RoundTap(p_j) = (sum_j p_j + K*0x2000 - sum_j r_j) / 2^14,
//   r_j = (p_j + 0x2000) mod 2^14 = (lo16(p_j) ^ 0x2000) & 0x3FFF,
// where sum_j p_j comes from pmaddwd and lo16(p_j) from pmullw. The sums run
// modulo 2^32; Init only picks them when every row's |S| < 2^17, so the
// 32-bit value 2^14*S is exact and S >> 2 fits 16 bits.

void RunScalar(const int16_t *x, const int32_t *row_start, const int16_t *coef, uint32_t taps,
               uint32_t count, int32_t lp_scl, int16_t *out) {
  for (uint32_t i = 0; i < count; ++i) {
    const int16_t *xi = x + row_start[i];
    const int16_t *ci = coef + (size_t)i * taps;
    int32_t sum = 0;
    for (uint32_t j = 0; j < taps; ++j) sum += RoundTap((int32_t)ci[j] * xi[j]);
    out[i] = OutputSample(sum, lp_scl);
  }
}

#if defined(__SSE2__)
// One row of NC 8-tap chunks -> 4 partial int32 sums of (p + 0x2000 - r).
template <int NC>
inline __m128i RowSse2(const int16_t *xi, const int16_t *ci) {
  const __m128i flip = _mm_set1_epi16(0x2000);
  const __m128i mask = _mm_set1_epi16(0x3FFF);
  const __m128i ones = _mm_set1_epi16(1);
  __m128i acc = _mm_setzero_si128();
  for (int q = 0; q < NC; q += 2) {
    __m128i x0 = _mm_loadu_si128((const __m128i *)(xi + 8 * q));
    __m128i c0 = _mm_load_si128((const __m128i *)(ci + 8 * q));
    __m128i r = _mm_and_si128(_mm_xor_si128(_mm_mullo_epi16(x0, c0), flip), mask);
    acc = _mm_add_epi32(acc, _mm_madd_epi16(x0, c0));
    if (q + 1 < NC) {  // two r vectors (each < 2^14) still fit 16 bits
      __m128i x1 = _mm_loadu_si128((const __m128i *)(xi + 8 * q + 8));
      __m128i c1 = _mm_load_si128((const __m128i *)(ci + 8 * q + 8));
      r = _mm_add_epi16(r, _mm_and_si128(_mm_xor_si128(_mm_mullo_epi16(x1, c1), flip), mask));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(x1, c1));
    }
    acc = _mm_sub_epi32(acc, _mm_madd_epi16(r, ones));
  }
  return acc;
}

// Horizontal sums of four vectors -> one vector of four sums.
inline __m128i Sum4(__m128i a, __m128i b, __m128i c, __m128i d) {
  __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
  __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(c, d), _mm_unpackhi_epi32(c, d));
  return _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
}

// Four 2^14*S values -> four output samples as int32 (not yet saturated).
inline __m128i Finish4(__m128i n, __m128i bias, __m128i scl) {
  const __m128i rnd = _mm_set1_epi32(4096);
  __m128i s2 = _mm_srai_epi32(_mm_add_epi32(n, bias), 16);  // S >> 2, fits 16 bits
  __m128i v = _mm_madd_epi16(s2, scl);                       // low half * LpScl
  return _mm_srai_epi32(_mm_add_epi32(v, rnd), 13);
}

template <int NC>
void RunSse2(const int16_t *x, const int32_t *row_start, const int16_t *coef, uint32_t count,
             int32_t lp_scl, int16_t *out) {
  const int K = 8 * NC;
  const __m128i bias = _mm_set1_epi32(K * 0x2000);
  const __m128i scl = _mm_set1_epi32(lp_scl);  // high halves 0: madd multiplies the low half
  uint32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const int16_t *c = coef + (size_t)i * K;
    const int32_t *s = row_start + i;
    __m128i lo = Sum4(RowSse2<NC>(x + s[0], c), RowSse2<NC>(x + s[1], c + K),
                      RowSse2<NC>(x + s[2], c + 2 * K), RowSse2<NC>(x + s[3], c + 3 * K));
    __m128i hi = Sum4(RowSse2<NC>(x + s[4], c + 4 * K), RowSse2<NC>(x + s[5], c + 5 * K),
                      RowSse2<NC>(x + s[6], c + 6 * K), RowSse2<NC>(x + s[7], c + 7 * K));
    __m128i y = _mm_packs_epi32(Finish4(lo, bias, scl), Finish4(hi, bias, scl));  // saturates
    _mm_storeu_si128((__m128i *)(out + i), y);
  }
  if (i < count) RunScalar(x, row_start + i, coef + (size_t)i * K, K, count - i, lp_scl, out + i);
}
#endif

#if defined(HX_RESAMPLE_AVX2)
// Same arithmetic, 16 taps per 256-bit step; rows of 16 or 32 taps.
template <int NC16>
__attribute__((target("avx2"))) inline __m256i RowAvx2(const int16_t *xi, const int16_t *ci) {
  const __m256i flip = _mm256_set1_epi16(0x2000);
  const __m256i mask = _mm256_set1_epi16(0x3FFF);
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i x0 = _mm256_loadu_si256((const __m256i *)xi);
  __m256i c0 = _mm256_load_si256((const __m256i *)ci);
  __m256i r = _mm256_and_si256(_mm256_xor_si256(_mm256_mullo_epi16(x0, c0), flip), mask);
  __m256i acc = _mm256_madd_epi16(x0, c0);
  if (NC16 == 2) {
    __m256i x1 = _mm256_loadu_si256((const __m256i *)(xi + 16));
    __m256i c1 = _mm256_load_si256((const __m256i *)(ci + 16));
    r = _mm256_add_epi16(r, _mm256_and_si256(_mm256_xor_si256(_mm256_mullo_epi16(x1, c1), flip), mask));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(x1, c1));
  }
  return _mm256_sub_epi32(acc, _mm256_madd_epi16(r, ones));
}

template <int NC16>
__attribute__((target("avx2"))) void RunAvx2(const int16_t *x, const int32_t *row_start,
                                              const int16_t *coef, uint32_t count, int32_t lp_scl,
                                              int16_t *out) {
  const int K = 16 * NC16;
  const __m256i bias = _mm256_set1_epi32(K * 0x2000);
  const __m256i scl = _mm256_set1_epi32(lp_scl);
  const __m256i rnd = _mm256_set1_epi32(4096);
  uint32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const int16_t *c = coef + (size_t)i * K;
    const int32_t *s = row_start + i;
    __m256i r0 = RowAvx2<NC16>(x + s[0], c), r1 = RowAvx2<NC16>(x + s[1], c + K);
    __m256i r2 = RowAvx2<NC16>(x + s[2], c + 2 * K), r3 = RowAvx2<NC16>(x + s[3], c + 3 * K);
    __m256i r4 = RowAvx2<NC16>(x + s[4], c + 4 * K), r5 = RowAvx2<NC16>(x + s[5], c + 5 * K);
    __m256i r6 = RowAvx2<NC16>(x + s[6], c + 6 * K), r7 = RowAvx2<NC16>(x + s[7], c + 7 * K);
    // hadd tree: lanes end up as rows 0..3 in the low 128 bits and 4..7 in
    // the high 128 bits, each still split across the two halves.
    __m256i a = _mm256_hadd_epi32(_mm256_hadd_epi32(r0, r1), _mm256_hadd_epi32(r2, r3));
    __m256i b = _mm256_hadd_epi32(_mm256_hadd_epi32(r4, r5), _mm256_hadd_epi32(r6, r7));
    __m256i n = _mm256_add_epi32(_mm256_permute2x128_si256(a, b, 0x20),
                                 _mm256_permute2x128_si256(a, b, 0x31));
    __m256i s2 = _mm256_srai_epi32(_mm256_add_epi32(n, bias), 16);
    __m256i y = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(s2, scl), rnd), 13);
    __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1));
    _mm_storeu_si128((__m128i *)(out + i), packed);
  }
  if (i < count) RunScalar(x, row_start + i, coef + (size_t)i * K, K, count - i, lp_scl, out + i);
}
#endif

}  // namespace

CBlockResample::CBlockResample()
    : m_inRate(0),
      m_outRate(0),
      m_frameSize(0),
      m_factor(1.0),
      m_xoff(0),
      m_buffer(nullptr),
      m_lpScl(kResampleLpScl),
      m_outCount(0),
      m_taps(0),
      m_rowStart(nullptr),
      m_coef(nullptr),
      m_kernel(kKernelScalar),
      m_vectorFits(false) {}

CBlockResample::~CBlockResample() { Release(); }

// A repeated Init frees the previous buffer and rows before allocating new
// ones, so re-initialising an instance never leaks and never leaves a stale
// pointer. It returns -1 (leaving no buffer) when allocation fails or the
// rates cannot describe a conversion (not positive).
int32_t CBlockResample::Init(int32_t in_rate, int32_t out_rate, uint32_t frame_size) {
  Release();
  m_inRate = in_rate;
  m_outRate = out_rate;
  m_frameSize = frame_size;
  if (in_rate <= 0 || out_rate <= 0) return -1;
  m_factor = (double)out_rate / (double)in_rate;
  double reach = 1.0 / m_factor;
  if (reach < 1.0) reach = 1.0;
  m_xoff = (uint32_t)(reach * kReach);
  if (!BuildRows()) {
    Release();
    return -1;
  }
  // The rows read up to m_taps samples past the last input they use; the
  // extra tail keeps those (zero-weighted) reads inside the allocation.
  size_t samples = (size_t)frame_size + 2 * (size_t)m_xoff + m_taps;
  m_buffer = (int16_t *)malloc(samples * sizeof(int16_t));
  if (!m_buffer) {
    Release();
    return -1;
  }
  memset(m_buffer, 0, samples * sizeof(int16_t));
  return 0;
}

bool CBlockResample::BuildRows() {
  const uint16_t nx = (uint16_t)m_frameSize;  // the converter counts inputs in 16 bits
  const bool up = m_factor >= 1.0;
  const uint32_t dtb = (uint32_t)((1.0 / m_factor) * 32768.0 + 0.5);
  double step = 256.0 * m_factor;
  if (step > 256.0) step = 256.0;
  const uint32_t dhb = (uint16_t)(step * 128.0 + 0.5);
  m_lpScl = up ? (int32_t)kResampleLpScl : (int16_t)(kResampleLpScl * m_factor + 0.5);
  if (dtb == 0 || (!up && dhb == 0)) return false;

  // Output times t = 0, dtb, 2*dtb, ... below nx << 15.
  const uint64_t end = (uint64_t)nx << 15;
  const uint32_t count = (uint32_t)((end + dtb - 1) / dtb);
  std::vector<Tap> taps;
  std::vector<size_t> first(count + 1);
  for (uint32_t i = 0; i < count; ++i) {
    first[i] = taps.size();
    CollectTaps((uint32_t)((uint64_t)i * dtb), up, dhb, &taps);
  }
  first[count] = taps.size();

  // Row layout: from each row's lowest input to its highest, padded to a
  // multiple of 8 with zero weights (a zero weight contributes exactly 0).
  uint32_t span = 1;
  int64_t worst = 0;  // largest possible |S| over all rows and inputs
  const int32_t lo_bound = -(int32_t)m_xoff;
  const int32_t hi_bound = (int32_t)m_frameSize + (int32_t)m_xoff;
  for (uint32_t i = 0; i < count; ++i) {
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    int64_t bound = 0;
    for (size_t k = first[i]; k < first[i + 1]; ++k) {
      if (taps[k].pos < lo) lo = taps[k].pos;
      if (taps[k].pos > hi) hi = taps[k].pos;
      int64_t c = taps[k].coef < 0 ? -(int64_t)taps[k].coef : taps[k].coef;
      bound += (c * 32768 + 0x4000) >> 14;  // |RoundTap| bound, with margin
    }
    if (lo > hi) continue;
    if (lo < lo_bound || hi >= hi_bound) return false;  // would reach outside the buffer
    if ((uint32_t)(hi - lo + 1) > span) span = (uint32_t)(hi - lo + 1);
    if (bound > worst) worst = bound;
  }
  m_taps = (span + 7) & ~7u;
  m_outCount = count;

  size_t coef_bytes = ((size_t)count * m_taps * sizeof(int16_t) + 31) & ~(size_t)31;
  m_coef = (int16_t *)aligned_alloc(32, coef_bytes ? coef_bytes : 32);
  m_rowStart = (int32_t *)malloc(((size_t)count + 1) * sizeof(int32_t));
  if (!m_coef || !m_rowStart) return false;
  memset(m_coef, 0, coef_bytes);
  for (uint32_t i = 0; i < count; ++i) {
    int32_t lo = 0;
    if (first[i] < first[i + 1]) {
      lo = INT32_MAX;
      for (size_t k = first[i]; k < first[i + 1]; ++k)
        if (taps[k].pos < lo) lo = taps[k].pos;
    }
    m_rowStart[i] = lo;
    for (size_t k = first[i]; k < first[i + 1]; ++k)
      m_coef[(size_t)i * m_taps + (taps[k].pos - lo)] = (int16_t)taps[k].coef;
  }

  // The vector kernels need |S| < 2^17 in every row (see above).
  m_vectorFits = worst < (1 << 17) - 1;
  m_kernel = kKernelScalar;
  if (!ForceKernelForTest(kKernelAvx2)) ForceKernelForTest(kKernelSse2);
  return true;
}

bool CBlockResample::ForceKernelForTest(int kernel, uint32_t taps) {
  const uint32_t want = taps > m_taps ? taps : m_taps;
  bool runs = kernel == kKernelScalar && want % 8 == 0;
#if defined(HX_RESAMPLE_AVX2)
  if (kernel == kKernelAvx2)
    runs = m_vectorFits && (want == 16 || want == 32) && __builtin_cpu_supports("avx2");
#endif
#if defined(__SSE2__)
  if (kernel == kKernelSse2) runs = m_vectorFits && want <= 32 && want % 8 == 0;
#endif
  if (!runs) return false;
  if (want > m_taps) {
    if (!m_coef || !m_buffer) return false;
    // Wider rows read further past their inputs: the buffer grows by as much.
    const size_t old_samples = (size_t)m_frameSize + 2 * (size_t)m_xoff + m_taps;
    const size_t coef_bytes = ((size_t)m_outCount * want * sizeof(int16_t) + 31) & ~(size_t)31;
    int16_t *coef = (int16_t *)aligned_alloc(32, coef_bytes ? coef_bytes : 32);
    int16_t *buffer = (int16_t *)calloc(old_samples + (want - m_taps), sizeof(int16_t));
    if (!coef || !buffer) {
      free(coef);
      free(buffer);
      return false;
    }
    memset(coef, 0, coef_bytes);
    for (uint32_t i = 0; i < m_outCount; ++i)
      memcpy(coef + (size_t)i * want, m_coef + (size_t)i * m_taps, m_taps * sizeof(int16_t));
    memcpy(buffer, m_buffer, old_samples * sizeof(int16_t));
    free(m_coef);
    free(m_buffer);
    m_coef = coef;
    m_buffer = buffer;
    m_taps = want;
  }
  m_kernel = kernel;
  return true;
}

int32_t CBlockResample::Process(const int16_t *in, int16_t *out, uint32_t *out_count) {
  const uint32_t xoff = m_xoff;
  memcpy(m_buffer + 2 * xoff, in, (size_t)m_frameSize * sizeof(int16_t));
  const int16_t *x = m_buffer + xoff;
  switch (m_kernel) {
#if defined(HX_RESAMPLE_AVX2)
    case kKernelAvx2:
      if (m_taps == 16)
        RunAvx2<1>(x, m_rowStart, m_coef, m_outCount, m_lpScl, out);
      else
        RunAvx2<2>(x, m_rowStart, m_coef, m_outCount, m_lpScl, out);
      break;
#endif
#if defined(__SSE2__)
    case kKernelSse2:
      switch (m_taps) {
        case 8: RunSse2<1>(x, m_rowStart, m_coef, m_outCount, m_lpScl, out); break;
        case 16: RunSse2<2>(x, m_rowStart, m_coef, m_outCount, m_lpScl, out); break;
        case 24: RunSse2<3>(x, m_rowStart, m_coef, m_outCount, m_lpScl, out); break;
        default: RunSse2<4>(x, m_rowStart, m_coef, m_outCount, m_lpScl, out); break;
      }
      break;
#endif
    default:
      RunScalar(x, m_rowStart, m_coef, m_taps, m_outCount, m_lpScl, out);
      break;
  }
  *out_count = m_outCount;
  // Keep the last 2*m_xoff samples of the stream as history. For blocks of
  // at least 2*m_xoff samples these are the block's own last samples; a
  // shorter block keeps the tail of the older history too.
  memmove(m_buffer, m_buffer + m_frameSize, 2 * (size_t)xoff * sizeof(int16_t));
  return 0;
}

void CBlockResample::FreeRows() {
  free(m_coef);
  free(m_rowStart);
  m_coef = nullptr;
  m_rowStart = nullptr;
  m_outCount = 0;
  m_taps = 0;
  m_kernel = kKernelScalar;
  m_vectorFits = false;
}

void CBlockResample::Release() {
  free(m_buffer);
  m_buffer = nullptr;
  FreeRows();
}
