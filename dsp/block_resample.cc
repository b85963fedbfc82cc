// PLACEHOLDER: to be replaced by the real block resampler.
#include "dsp/block_resample.h"

#include <stdlib.h>
#include <string.h>

CBlockResample::CBlockResample()
    : m_inRate(0), m_outRate(0), m_frameSize(0), m_factor(1.0), m_xoff(0), m_buffer(nullptr) {}
CBlockResample::~CBlockResample() { Release(); }
int32_t CBlockResample::Init(int32_t in_rate, int32_t out_rate, uint32_t frame_size) {
  m_inRate = in_rate;
  m_outRate = out_rate;
  m_frameSize = frame_size;
  m_factor = (double)out_rate / in_rate;
  m_xoff = 7;
  free(m_buffer);
  m_buffer = (int16_t *)calloc(frame_size + 2 * m_xoff, 2);
  return m_buffer ? 0 : -1;
}
int32_t CBlockResample::Process(const int16_t *, int16_t *out, uint32_t *out_count) {
  uint32_t n = (uint32_t)(m_frameSize * m_factor + 0.999);
  memset(out, 0, n * 2);
  *out_count = n;
  return 0;
}
void CBlockResample::Release() {
  free(m_buffer);
  m_buffer = nullptr;
}
