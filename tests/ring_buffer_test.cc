// Byte ring: all-or-nothing transfers, wrap-around, full buffer, exact messages.
#include <vector>

#include "buffers/dgtl_store_buffer.h"
#include "gtest/gtest.h"
#include "support/log_capture.h"

using B = std::vector<uint8_t>;
static B Bytes(size_t n, uint8_t first) { B v(n); for (auto &x : v) x = first++; return v; }

struct Ring {
  DgtlStoreBuffer r{};
  bool W(const B &v) { return DgtlStoreBuffer_Write(&r, v.data(), v.size()); }
  // The bytes read; on refusal only the first byte of the untouched target.
  B R(uint32_t n) {
    B v(n + 1, 0xEE);
    return DgtlStoreBuffer_Read(&r, &v[0], n) ? v.resize(n), v : B{v[0]};
  }
  B State() { return {uint8_t(r.read_pos), uint8_t(r.write_pos), uint8_t(r.data_size)}; }
  ~Ring() { DgtlStoreBuffer_Close(&r); }
};

TEST(RingBuffer, FullBufferRefusesWholeWritesAndPositionsWrap) {
  Ring b;
  B block = Bytes(1920, 0);
  ASSERT_TRUE(DgtlStoreBuffer_Open(&b.r, 9600, "capture"));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(b.W(block));
  EXPECT_FALSE(b.W(block));
  EXPECT_TRUE(b.r.read_pos == 0 && b.r.write_pos == 0 && DgtlStoreBuffer_DataSize(&b.r) == 9600);
  // 1920 bytes of room after a read: 1921 is refused whole, 1920 still fits.
  EXPECT_EQ(b.R(1920), block);
  EXPECT_TRUE(!b.W(Bytes(1921, 7)) && b.W(block));
  // Reopened at 10: write 8, read 4, write 6 across the end: full with both
  // positions at 4; a read of 10 wraps and empties it.
  ASSERT_TRUE(DgtlStoreBuffer_Open(&b.r, 10, "t"));
  ASSERT_TRUE(b.W(Bytes(8, 1)) && b.R(4).size() == 4 && b.W(Bytes(6, 50)));
  EXPECT_EQ(b.State(), (B{4, 4, 10}));
  EXPECT_EQ(b.R(10), (B{5, 6, 7, 8, 50, 51, 52, 53, 54, 55}));
  // Empty with both positions at 4: the next write starts at 0.
  ASSERT_TRUE(b.W(Bytes(3, 20)));
  EXPECT_EQ(b.State(), (B{0, 3, 3}));
  EXPECT_EQ(B(b.r.buf, b.r.buf + 3), (B{20, 21, 22}));
}

TEST(RingBuffer, MessagesAndRefusals) {
  Ring b;
  B w = Bytes(1000, 3);
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
