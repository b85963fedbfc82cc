// CBlockResample: fixed-block bandlimited-interpolation resampler, mono
// 16-bit, integer arithmetic with Q15 time. Each Process call consumes
// m_frameSize samples; history carries over so blocks join without a seam.
#ifndef HX_DSP_BLOCK_RESAMPLE_H
#define HX_DSP_BLOCK_RESAMPLE_H

#include <stdint.h>

class CBlockResample {
 public:
  CBlockResample();
  ~CBlockResample();
  CBlockResample(const CBlockResample &) = delete;
  CBlockResample &operator=(const CBlockResample &) = delete;

  // 0, or -1 when the work buffer cannot be allocated. A second Init
  // restarts from silence.
  int32_t Init(int32_t in_rate, int32_t out_rate, uint32_t frame_size);
  // Consumes m_frameSize samples of `in`; writes the outputs (960 for
  // 320 at 16k->48k, 441 for 480 at 48k->44.1k) and their count. Returns 0.
  // Must not be called without a buffer (see HasBuffer).
  int32_t Process(const int16_t *in, int16_t *out, uint32_t *out_count);
  void Release();
  bool HasBuffer() const { return m_buffer != nullptr; }
  // Inner loop that serves the rows: 0 scalar, 1 SSE2, 2 AVX2 (Init picks
  // the fastest one that fits), and the row length.
  int Kernel() const { return m_kernel; }
  uint32_t Taps() const { return m_taps; }
  // Test hook (the module does not export it): makes Process use `kernel`,
  // after padding the rows with zero weights to `taps` (a multiple of 8
  // above the current length; zero weights add exactly 0). false, and the
  // kernel stays, when this build or machine cannot run it or the rows do
  // not fit it.
  bool ForceKernelForTest(int kernel, uint32_t taps = 0);

  int32_t m_inRate;
  int32_t m_outRate;
  uint32_t m_frameSize;
  double m_factor;
  uint32_t m_xoff;
  int16_t *m_buffer;

 private:
  // Fixed FIR per output sample, built by Init: output i sums the rounded
  // products of m_coef[i * m_taps + j] and X[m_rowStart[i] + j], j < m_taps.
  // Because the fractional time restarts at 0 on every call, these rows are
  // the same on every call.
  bool BuildRows();
  void FreeRows();

  int32_t m_lpScl;        // output scale (Q13), reduced for down-conversion
  uint32_t m_outCount;    // output samples per call
  uint32_t m_taps;        // coefficients per row, a multiple of 8
  int32_t *m_rowStart;    // m_outCount first-input offsets, relative to X
  int16_t *m_coef;        // m_outCount * m_taps coefficients, 32-byte aligned
  int m_kernel;           // which inner loop serves m_taps (see Process)
  bool m_vectorFits;      // every row's |S| < 2^17: the vector kernels are exact
};

#endif
