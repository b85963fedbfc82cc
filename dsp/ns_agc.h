// Microphone cleaning chain: high-pass filter + noise suppression, then
// automatic gain control, on 640-byte (320-sample, 16 kHz) blocks processed
// as two 160-sample halves. Module-wide singletons g_ns, g_hpf, g_agc.
#ifndef HX_DSP_NS_AGC_H
#define HX_DSP_NS_AGC_H

#include <stdint.h>

#include "dsp/hpf.h"
#include "dsp/webrtc_legacy.h"
#include "platform/sync.h"

// The microphone path's lock. Every wrapper holds it for one whole block and
// every create and free holds it too, so no block is ever inside a processor
// while it is created or freed. The capture callbacks hold it around the
// whole chain and the delivery of the block, and the engine stop holds it
// while it releases the 16 kHz -> 48 kHz converter. Recursive; constant-
// initialised and trivially destructible, so it is valid during unload.
extern hx::CriticalSection g_micPathLock;

extern NsHandle *g_ns;
extern HpfState *g_hpf;
extern void *g_agc;

void ns_create();
void ns_process(int16_t *in, int32_t len, int16_t *out);
void ns_free();
void agc_create(int32_t sample_rate_hz);
void agc_process(int16_t *in, int32_t inlen, int16_t *out, int32_t outlen);
void agc_free();

#endif
