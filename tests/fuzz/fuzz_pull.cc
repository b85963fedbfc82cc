// Pull entry point: mode flags, frame count, channels, rate, the streams'
// results and samples from the fuzzer. The output block is exactly 1920
// bytes; the count and the silent left channel follow the header.
#include "engine/hx_aec_impl.h"
#include "fuzz_input.h"

namespace {
// What the host's play callback answers: one block for every stream (the
// fuzzer's bytes repeated) and a result per stream.
struct Source {
  int32_t result[4];
  int16_t block[960];
} g_source;

int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
  memcpy(buf, static_cast<Source *>(ctx)->block, (size_t)len);
  return static_cast<Source *>(ctx)->result[stream];
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Hx_AEC_Impl *e = [] {  // never destroyed: the fuzzer ends the process
    Hx_AEC_Impl *engine = new Hx_AEC_Impl;
    engine->SetDownComCallBackPtr(nullptr, nullptr, (void *)&Play, &g_source);
    engine->m_resample_48to44.Init(48000, 44100, 480);
    return engine;
  }();
  FuzzInput in{data, size};
  auto pull = reinterpret_cast<UpComPullPlayDataFn>(Hx_AEC_Impl::GetPullEntry());
  const uint32_t kFrames[] = {441, 480, 0, 0xFFFFFFFFu, 0x80000000u, 440, 442};
  const uint32_t kRates[] = {48000, 44100, 16000, 8000, 32000, 96000, 0, 1, 999, 1000000000};
  const int32_t kResults[] = {1920, 0, -1, 1};
  while (in.left() >= 8) {
    const uint8_t flags = in.u8();
    e->aec_mode.store(flags & 1), e->online_sys_capture.store(flags & 2 ? 1 : 0);
    e->sys_capture.store(flags & 4 ? 1 : 0);
    const int32_t frames = (int32_t)in.Pick(kFrames);
    const uint8_t ch = flags & 8 ? in.u8() : (uint8_t)(1 + (flags >> 4 & 1));
    const int32_t rate = (int32_t)in.Pick(kRates);
    const uint8_t res = in.u8();
    for (int i = 0; i < 4; ++i) g_source.result[i] = kResults[(res >> (2 * i)) & 3];
    // The block: up to 64 of the next bytes repeated (silence for none).
    const size_t n = in.left() < 64 ? in.left() : 64;
    for (size_t i = 0; i < sizeof g_source.block; ++i) reinterpret_cast<uint8_t *>(g_source.block)[i] = n ? in.p[i % n] : 0;
    for (int i = 0; i < 16; ++i) in.u8();
    int16_t *out = (int16_t *)ExactBlock(1920);
    memset(out, 0xA5, 1920);
    uint32_t count = 0xC0FFEE;
    HX_FUZZ_CHECK(pull(e, frames, 0, ch, rate, out, flags & 32 ? nullptr : &count) == 0);
    const bool host_plays = (flags & 1) && (flags & 2), sys = flags & 4;
    if (!(flags & 32)) HX_FUZZ_CHECK(count == (host_plays ? (frames == 441 ? 882u : 960u) : 0xC0FFEEu));
    const int written = host_plays && frames == 441 ? 441 : 480;
    for (int f = 0; f < written; ++f) {
      if (sys || !host_plays) HX_FUZZ_CHECK(out[2 * f] == 0);
      if (!host_plays) HX_FUZZ_CHECK(out[2 * f + 1] == 0);
      if (host_plays && frames == 441 && !sys) HX_FUZZ_CHECK(out[2 * f] == out[2 * f + 1]);
    }
    for (int i = 2 * written; i < 960; ++i) HX_FUZZ_CHECK(out[i] == (int16_t)0xA5A5);
    free(out);
  }
  return 0;
}
