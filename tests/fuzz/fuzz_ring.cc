// Byte ring: random operation sequences against a plain FIFO model.
#include <vector>

#include "buffers/dgtl_store_buffer.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in{data, size};
  DgtlStoreBuffer rb = {};
  std::vector<uint8_t> model;  // bytes written and not yet read are model[head...]
  size_t head = 0;
  uint32_t capacity = 0;  // 0 while closed
  uint8_t next = 0;       // written bytes count up, so order is checked
  while (in.left()) {
    const uint8_t op = in.u8();
    const uint32_t n = op & 0x80 ? in.u16() % 20000 : in.u8();
    uint8_t *block = (uint8_t *)ExactBlock(n);
    if (op % 4 == 0) {  // open (drops the content)
      HX_FUZZ_CHECK(DgtlStoreBuffer_Open(&rb, n, "fuzz"));
      capacity = n, model.clear(), head = 0;
    } else if (op % 4 == 1) {
      DgtlStoreBuffer_Close(&rb);
      capacity = 0, model.clear(), head = 0;
    } else if (op % 4 == 2) {
      for (uint32_t i = 0; i < n; ++i) block[i] = (uint8_t)(next + i);
      const bool fits = n > 0 && capacity - (model.size() - head) >= n;
      HX_FUZZ_CHECK(DgtlStoreBuffer_Write(&rb, block, n) == fits);
      if (fits) model.insert(model.end(), block, block + n), next = (uint8_t)(next + n);
    } else {
      const bool enough = model.size() - head >= n;
      HX_FUZZ_CHECK(DgtlStoreBuffer_Read(&rb, block, n) == enough);
      HX_FUZZ_CHECK(!enough || n == 0 || memcmp(block, &model[head], n) == 0);
      if (enough) head += n;
    }
    free(block);
    if (head == model.size() || head >= (1u << 16)) model.erase(model.begin(), model.begin() + (long)head), head = 0;
    HX_FUZZ_CHECK(DgtlStoreBuffer_DataSize(&rb) == model.size() - head);
    HX_FUZZ_CHECK(rb.size == capacity);
  }
  DgtlStoreBuffer_Close(&rb);
  return 0;
}
