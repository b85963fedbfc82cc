// Declarations of the parts of Debian's webrtc-audio-processing 0.3 that the
// package exports but ships no header for: the legacy noise suppressor, the
// legacy gain controller and webrtc::Resampler. A test checks them against
// the installed library.
#ifndef HX_DSP_WEBRTC_LEGACY_H
#define HX_DSP_WEBRTC_LEGACY_H

#include <stddef.h>
#include <stdint.h>

extern "C" {
typedef struct NsHandleT NsHandle;
NsHandle *WebRtcNs_Create(void);
void WebRtcNs_Free(NsHandle *h);
int WebRtcNs_Init(NsHandle *h, uint32_t fs);
int WebRtcNs_set_policy(NsHandle *h, int mode);
void WebRtcNs_Analyze(NsHandle *h, const float *frame);
void WebRtcNs_Process(NsHandle *h, const float *const *in_bands, size_t num_bands,
                      float *const *out_bands);

typedef struct {
  int16_t targetLevelDbfs;
  int16_t compressionGaindB;
  uint8_t limiterEnable;
} WebRtcAgcConfig;

void *WebRtcAgc_Create(void);
void WebRtcAgc_Free(void *agc);
int WebRtcAgc_Init(void *agc, int32_t minLevel, int32_t maxLevel, int16_t agcMode, uint32_t fs);
int WebRtcAgc_set_config(void *agc, WebRtcAgcConfig config);
int WebRtcAgc_Process(void *agc, const int16_t *const *in_near, size_t num_bands,
                      size_t samples, int16_t *const *out, int32_t inMicLevel,
                      int32_t *outMicLevel, int16_t echo, uint8_t *saturationWarning);
}

namespace webrtc {
class Resampler {
 public:
  Resampler();
  ~Resampler();
  int ResetIfNeeded(int inFreq, int outFreq, int num_channels);
  int Reset(int inFreq, int outFreq, int num_channels);
  int Push(const int16_t *in, size_t lengthIn, int16_t *out, size_t maxLen, size_t &outLen);

 private:
  alignas(16) unsigned char storage_[256];  // the library's object needs 104 bytes
};
}  // namespace webrtc

#endif
