// Push entry point: arguments and samples from the fuzzer. Each call reads
// no more than the header allows (the data block is exactly that long),
// and the queue holds at most 12 packets, each one well-formed 10 ms block
// carrying the host's aux values.
#include "engine/hx_aec_impl.h"
#include "fuzz_input.h"

namespace {
int32_t Capture(void *, int16_t *, int32_t) { return 0; }
int g_host;

// Takes packets off the queue until at most `keep` are left.
void Drain(Hx_AEC_Impl *e, int32_t keep) {
  AudioPacket pkt;
  for (int32_t count = 0; e->TakeMicPacket(&pkt, &count);) {
    e->m_micPool.Release(pkt.data);
    if (count - 1 <= keep) break;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Never destroyed: the fuzzer ends the process. Marked running without
  // threads, so only the push and the queue run.
  static Hx_AEC_Impl *e = [] {
    Hx_AEC_Impl *engine = new Hx_AEC_Impl;
    engine->SetDownComCallBackPtr((void *)&Capture, &g_host, nullptr, nullptr);
    engine->m_running.store(1);
    return engine;
  }();
  FuzzInput in{data, size};
  auto push = reinterpret_cast<UpComPushMicDataFn>(Hx_AEC_Impl::GetPushEntry());
  const uint32_t kRates[] = {0, 1, 7999, 8000, 16000, 44100, 48000, 96000, 192000, 192001, 1000000000};
  const uint32_t kFrames[] = {0, 1, 7, 8, 160, 441, 479, 480, 481, 960, 0xFFFFFFFFu};
  while (in.left() >= 6) {
    const uint8_t op = in.u8();
    const uint32_t frames = op & 1 ? in.Pick(kFrames) : in.u16();
    const uint8_t bpf = op & 2 ? in.u8() : 4, ch = op & 4 ? in.u8() : 2;
    const uint32_t rate = in.Pick(kRates);
    e->SetMicroCapture(op & 8 ? 0 : 1);
    const bool valid = ch >= 1 && ch <= 2 && bpf == 2 * ch;
    const bool convert = rate != 48000 && rate >= 8000 && rate <= 192000;
    const uint64_t readable = valid ? std::min<uint64_t>(convert ? (rate + 99) / 100 : 480, frames) : 0;
    const size_t values = (size_t)readable * (ch ? ch : 1);
    int16_t *block = (int16_t *)ExactBlock(values * sizeof(int16_t));
    for (size_t i = 0; i < values; ++i) block[i] = in.s16();
    const size_t before = (hx::Lock(e->m_micListLock), e->m_micList.size());
    const uint32_t aux = in.u32();
    HX_FUZZ_CHECK(push(e, op & 16 ? nullptr : block, frames, bpf, ch, rate, aux, ~aux, 7, 1, 2) == 0);
    {
      hx::Lock l(e->m_micListLock);
      HX_FUZZ_CHECK(e->m_micList.size() <= 12);
      if (e->m_micList.size() > before) {
        HX_FUZZ_CHECK(valid && !(op & 8) && !(op & 16) && frames > 0);
        const AudioPacket &p = e->m_micList.back();
        HX_FUZZ_CHECK(p.frames == 480 && p.bytes_per_frame == 4 && p.channels == 2 && p.sample_rate == 48000 &&
                      p.aux0 == aux && p.aux1 == ~aux && p.aux2 == 7);
        // Unconverted: the host's frames, mono on both channels, then silence.
        for (uint32_t f = 0; !convert && f < 480; ++f) {
          HX_FUZZ_CHECK(p.data[2 * f] == (f < readable ? block[f * ch] : 0));
          HX_FUZZ_CHECK(p.data[2 * f + 1] == (f < readable ? block[f * ch + ch - 1] : 0));
        }
      }
    }
    free(block);
    if (op & 32) Drain(e, in.u8() % 12);
  }
  Drain(e, 0);
  return 0;
}
