// PLACEHOLDER: to be replaced by the real cleaning chain.
#include "dsp/ns_agc.h"
NsHandle *g_ns = nullptr;
HpfState *g_hpf = nullptr;
void *g_agc = nullptr;
void ns_create() {}
void ns_process(int16_t *, int32_t, int16_t *) {}
void ns_free() {}
void agc_create(int32_t) {}
void agc_process(int16_t *, int32_t, int16_t *, int32_t) {}
void agc_free() {}
