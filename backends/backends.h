// Capture callbacks handed to the back-end libraries, the monitor thread and
// the operations of back-end selection used at start and stop.
#ifndef HX_BACKENDS_BACKENDS_H
#define HX_BACKENDS_BACKENDS_H

#include <stdint.h>

#include <atomic>

class Hx_AEC_Impl;

// Callbacks (run on the libraries' threads).
void g_win7_get_aec_callback(int16_t *samples, int16_t count, uint8_t reserved, void *user);
void g_win7_get_play_callback(int32_t request_no);
void g_Mirel_RecvMicData(uint8_t *data, int32_t len);
void g_Tovan_RecvSysData(uint8_t *data, int32_t len);

// Monitor thread body, for the engine's start `gen`.
void g_win7_MoniterProc(Hx_AEC_Impl *engine, uint32_t gen);
// Counts active render and capture endpoints; sets g_hasRenderEp/CaptureEp.
// A failed step leaves what it and the later steps would write unchanged.
void GetEndpointCount(uint32_t *render_count, uint32_t *capture_count);
bool IsOsMajorAtLeast8();
// Stops, uninitialises and releases the voice-path library. The caller holds
// the engine's m_brisaLock.
void g_win7_aec_uninit();

extern std::atomic<uint8_t> g_hasCaptureEp;
extern std::atomic<uint8_t> g_hasRenderEp;

#endif
