// Byte ring: refusals and their exact messages (transfers and wrap-around: fuzz_ring's model).
#include <vector>

#include "buffers/dgtl_store_buffer.h"
#include "gtest/gtest.h"
#include "support/log_capture.h"

using B = std::vector<uint8_t>;

struct Ring {
  DgtlStoreBuffer r{};
  bool W(const B &v) { return DgtlStoreBuffer_Write(&r, v.data(), v.size()); }
  // The bytes read; on refusal only the first byte of the untouched target.
  B R(uint32_t n) {
    B v(n + 1, 0xEE);
    return DgtlStoreBuffer_Read(&r, &v[0], n) ? v.resize(n), v : B{v[0]};
  }
  ~Ring() { DgtlStoreBuffer_Close(&r); }
};

TEST(RingBuffer, MessagesAndRefusals) {
  Ring b;
  B w(1000, 3);
  LogCapture log;
  EXPECT_FALSE(b.W(w));  // never opened: silent refusal
  EXPECT_TRUE(b.R(0).empty() && DgtlStoreBuffer_Close(&b.r) && log.Text().empty());
  ASSERT_TRUE(DgtlStoreBuffer_Open(&b.r, 9600, "capture") && b.W(w));
  EXPECT_EQ(b.R(1920), B{0xEE});  // refused whole, nothing copied
  EXPECT_FALSE(DgtlStoreBuffer_Write(&b.r, nullptr, 10) || DgtlStoreBuffer_Write(&b.r, &w[0], 0));
  DgtlStoreBuffer_Close(&b.r);
  EXPECT_TRUE(b.r.buf == nullptr && b.R(1) == B{0xEE});
  EXPECT_EQ(log.Text(),
            "[capture] not enough data to read: 1000-1920 \n"
            "DgtlStoreBuffer: Para error !\nDgtlStoreBuffer: Para error !\n"
            "[capture] not enough data to read: 0-1 \n");
}
