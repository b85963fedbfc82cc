// Byte ring: random operation sequences against a plain FIFO model.
#include <vector>

#include "buffers/dgtl_store_buffer.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  DgtlStoreBuffer rb = {};
  // The model: bytes written and not yet read are model[head...].
  std::vector<uint8_t> model;
  size_t head = 0;
  uint32_t capacity = 0;  // 0 while closed
  uint8_t next = 0;       // written bytes count up, so order is checked
  while (in.left()) {
    const uint8_t op = in.u8();
    const uint32_t n = op & 0x80 ? in.u16() % 20000 : in.u8();
    switch (op % 4) {
      case 0: {  // open (drops the content)
        HX_FUZZ_CHECK(DgtlStoreBuffer_Open(&rb, n, "fuzz"));
        capacity = n;
        model.clear(), head = 0;
        break;
      }
      case 1:
        DgtlStoreBuffer_Close(&rb);
        capacity = 0;
        model.clear(), head = 0;
        break;
      case 2: {
        uint8_t *src = (uint8_t *)ExactBlock(n);
        for (uint32_t i = 0; i < n; ++i) src[i] = (uint8_t)(next + i);
        const bool fits = n > 0 && capacity - (model.size() - head) >= n;
        HX_FUZZ_CHECK(DgtlStoreBuffer_Write(&rb, src, n) == fits);
        if (fits) model.insert(model.end(), src, src + n), next = (uint8_t)(next + n);
        free(src);
        break;
      }
      default: {
        uint8_t *dst = (uint8_t *)ExactBlock(n);
        const bool enough = model.size() - head >= n;
        HX_FUZZ_CHECK(DgtlStoreBuffer_Read(&rb, dst, n) == enough);
        if (enough) {
          HX_FUZZ_CHECK(n == 0 || memcmp(dst, &model[head], n) == 0);
          head += n;
        }
        free(dst);
        break;
      }
    }
    if (head == model.size() || head >= (1u << 16)) model.erase(model.begin(), model.begin() + (long)head), head = 0;
    HX_FUZZ_CHECK(DgtlStoreBuffer_DataSize(&rb) == model.size() - head);
    HX_FUZZ_CHECK(rb.size == capacity);
  }
  DgtlStoreBuffer_Close(&rb);
  return 0;
}
