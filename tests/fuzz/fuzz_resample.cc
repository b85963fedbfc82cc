// Block resampler: rates, block sizes, kernel and samples from the fuzzer;
// every block must equal the literal reference (table from its formula).
#include <vector>

#include "dsp/block_resample.h"
#include "fuzz_input.h"
#include "support/resample_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  const uint32_t kRates[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 96000};
  // Ratios up to 4 either way, blocks of 1 to 256 samples, 4 blocks: the
  // reference is a literal wing walk and must stay quick.
  const int32_t in_rate = (int32_t)(in.Pick(kRates) % 192000 + 1000);
  int32_t out_rate = (int32_t)(in.Pick(kRates) % 192000 + 1000);
  if (out_rate > 4 * in_rate) out_rate = 4 * in_rate;
  if (4 * out_rate < in_rate) out_rate = in_rate / 4 + 1;
  const uint32_t frame = in.u16() % 256 + 1;
  const int kernel = in.u8() % 3;
  const uint32_t taps = (in.u8() % 5) * 8;  // padding (test hook), 0 = none
  CBlockResample r;
  if (r.Init(in_rate, out_rate, frame) != 0) return 0;
  r.ForceKernelForTest(kernel, taps);  // a kernel this machine lacks keeps Init's
  resample_ref::RefResampler ref(in_rate, out_rate, frame);
  HX_FUZZ_CHECK(ref.xoff == r.m_xoff);
  std::vector<int16_t> block(frame);
  for (int b = 0; b < 4 && in.left(); ++b) {
    const uint8_t style = in.u8();
    for (uint32_t i = 0; i < frame; ++i)
      block[i] = style & 1 ? (in.u8() & 1 ? 32767 : -32768) : in.s16();
    std::vector<int64_t> want = ref.Process(block.data());
    int16_t *out = (int16_t *)ExactBlock(want.size() * sizeof(int16_t));
    uint32_t count = 0;
    HX_FUZZ_CHECK(r.Process(block.data(), out, &count) == 0);
    HX_FUZZ_CHECK(count == want.size());
    for (uint32_t i = 0; i < count; ++i)
      HX_FUZZ_CHECK(out[i] == resample_ref::RefResampler::Saturate(want[i]));
    free(out);
  }
  return 0;
}
