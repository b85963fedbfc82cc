// Byte ring: random operation sequences against a plain FIFO model.
#include <stdio.h>

#include <deque>
#include <vector>

#include "buffers/dgtl_store_buffer.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { SilenceStdout(); return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  DgtlStoreBuffer rb = {};
  std::deque<uint8_t> model;
  uint32_t capacity = 0;  // 0 while closed
  uint8_t next = 0;       // written bytes count up, so order is checked
  while (in.left()) {
    const uint8_t op = in.u8();
    const uint32_t n = op & 0x80 ? in.u16() % 20000 : in.u8();
    switch (op % 4) {
      case 0: {  // open (drops the content)
        HX_FUZZ_CHECK(DgtlStoreBuffer_Open(&rb, n, "fuzz"));
        capacity = n;
        model.clear();
        break;
      }
      case 1:
        DgtlStoreBuffer_Close(&rb);
        capacity = 0;
        model.clear();
        break;
      case 2: {
        uint8_t *src = (uint8_t *)ExactBlock(n);
        for (uint32_t i = 0; i < n; ++i) src[i] = (uint8_t)(next + i);
        const bool fits = n > 0 && capacity - model.size() >= n;
        HX_FUZZ_CHECK(DgtlStoreBuffer_Write(&rb, src, n) == fits);
        if (fits)
          for (uint32_t i = 0; i < n; ++i) model.push_back(src[i]);
        if (fits) next = (uint8_t)(next + n);
        free(src);
        break;
      }
      default: {
        uint8_t *dst = (uint8_t *)ExactBlock(n);
        const bool enough = model.size() >= n;
        HX_FUZZ_CHECK(DgtlStoreBuffer_Read(&rb, dst, n) == enough);
        for (uint32_t i = 0; enough && i < n; ++i) {
          HX_FUZZ_CHECK(dst[i] == model.front());
          model.pop_front();
        }
        free(dst);
        break;
      }
    }
    HX_FUZZ_CHECK(DgtlStoreBuffer_DataSize(&rb) == model.size());
    HX_FUZZ_CHECK(rb.size == capacity);
  }
  DgtlStoreBuffer_Close(&rb);
  return 0;
}
