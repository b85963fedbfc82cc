// High-pass filter: any rate, any block sizes (0 included) over any samples
// give the literal reference's output, whatever the split into blocks.
#include <vector>

#include "dsp/hpf.h"
#include "fuzz_input.h"
#include "support/hpf_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  const uint32_t kRates[] = {8000, 16000, 32000, 48000, 0};
  const int32_t rate = (int32_t)in.Pick(kRates);
  HpfState s = {{1, 2, 3, 4}, {5, 6}, nullptr};  // init clears the history
  HX_FUZZ_CHECK(hpf_init(&s, rate) == 0);
  hpf_ref::RefHpf ref(rate);
  while (in.left()) {
    const uint32_t n = in.u8() & 1 ? in.u16() % 4096 : in.u8() % 64;
    int16_t *block = (int16_t *)ExactBlock(n * sizeof(int16_t));
    std::vector<int16_t> want(n);
    for (uint32_t i = 0; i < n; ++i) want[i] = block[i] = in.s16();
    HX_FUZZ_CHECK(hpf_filter(&s, block, (int32_t)n) == 0);
    ref.Filter(want.data(), (int)n);
    for (uint32_t i = 0; i < n; ++i) HX_FUZZ_CHECK(block[i] == want[i]);
    free(block);
  }
  HX_FUZZ_CHECK(ref.overflows == 0);
  return 0;
}
