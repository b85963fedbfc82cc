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

  int32_t m_inRate;
  int32_t m_outRate;
  uint32_t m_frameSize;
  double m_factor;
  uint32_t m_xoff;
  int16_t *m_buffer;
  // Implementation-private precomputed state may follow.
};

#endif
