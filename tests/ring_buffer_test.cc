// Byte ring: all-or-nothing writes and reads, wrap-around, full buffer and
// the exact messages.
#include <string.h>

#include <numeric>
#include <vector>

#include "buffers/dgtl_store_buffer.h"
#include "gtest/gtest.h"
#include "support/log_capture.h"

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

struct Ring {
  DgtlStoreBuffer rb{};
  explicit Ring(uint32_t cap, const char *tag = "t") { EXPECT_TRUE(DgtlStoreBuffer_Open(&rb, cap, tag)); }
  ~Ring() { DgtlStoreBuffer_Close(&rb); }
};

}  // namespace

TEST(RingBuffer, WritesAreAllOrNothing) {
  // "capture": five 1920-byte blocks fill it; a sixth is refused unchanged.
  Ring r(9600, "capture");
  std::vector<uint8_t> block = Bytes(1920, 0), big = Bytes(1921, 7), out(1920);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, block.data(), 1920));
  DgtlStoreBuffer before = r.rb;
  EXPECT_FALSE(DgtlStoreBuffer_Write(&r.rb, block.data(), 1920));
  EXPECT_EQ(before.read_pos, r.rb.read_pos);
  EXPECT_EQ(before.write_pos, r.rb.write_pos);
  EXPECT_EQ(9600u, DgtlStoreBuffer_DataSize(&r.rb));
  ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 1920));
  EXPECT_EQ(block, out);
  // 1920 bytes of room: 1921 is refused whole, 1920 still fits.
  EXPECT_FALSE(DgtlStoreBuffer_Write(&r.rb, big.data(), 1921));
  EXPECT_EQ(7680u, DgtlStoreBuffer_DataSize(&r.rb));
  EXPECT_TRUE(DgtlStoreBuffer_Write(&r.rb, block.data(), 1920));
}

TEST(RingBuffer, PositionsWrapAndBytesKeepWriteOrder) {
  {
    // Write 8, read 6, write 6: held at offsets 6..9 and 0..3.
    Ring r(10);
    std::vector<uint8_t> w1 = Bytes(8, 1), w2 = Bytes(6, 100), out(8);
    ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w1.data(), 8));
    ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 6));
    ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w2.data(), 6));
    EXPECT_EQ(6u, r.rb.read_pos);
    EXPECT_EQ(4u, r.rb.write_pos);
    EXPECT_EQ(w2[2], r.rb.buf[0]);
    ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 8));
    EXPECT_EQ((std::vector<uint8_t>{w1[6], w1[7], w2[0], w2[1], w2[2], w2[3], w2[4], w2[5]}), out);
  }
  {
    // Write 10, read 4, write 4 (into the room before read_pos): full with
    // both positions at 4; a read of 10 wraps and empties it.
    Ring r(10);
    std::vector<uint8_t> w1 = Bytes(10, 1), w2 = Bytes(4, 50), out(10);
    ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w1.data(), 10));
    ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 4));
    ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w2.data(), 4));
    EXPECT_EQ(4u, r.rb.read_pos);
    EXPECT_EQ(4u, r.rb.write_pos);
    EXPECT_EQ(10u, DgtlStoreBuffer_DataSize(&r.rb));
    ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 10));
    EXPECT_EQ((std::vector<uint8_t>{5, 6, 7, 8, 9, 10, 50, 51, 52, 53}), out);
    EXPECT_EQ(0u, DgtlStoreBuffer_DataSize(&r.rb));
  }
  {
    // A write into an empty buffer with both positions at 5 starts at 0.
    Ring r(10);
    std::vector<uint8_t> w = Bytes(5, 1), out(5);
    ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w.data(), 5));
    ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 5));
    EXPECT_EQ(5u, r.rb.read_pos);
    ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w.data(), 3));
    EXPECT_EQ(0u, r.rb.read_pos);
    EXPECT_EQ(3u, r.rb.write_pos);
    EXPECT_EQ(0, memcmp(r.rb.buf, w.data(), 3));
  }
}

TEST(RingBuffer, MessagesAndRefusals) {
  Ring r(9600, "capture");
  std::vector<uint8_t> w = Bytes(1000, 3), out(1920, 0xEE);
  ASSERT_TRUE(DgtlStoreBuffer_Write(&r.rb, w.data(), 1000));
  LogCapture log;
  EXPECT_FALSE(DgtlStoreBuffer_Read(&r.rb, out.data(), 1920));
  EXPECT_EQ(0xEE, out[0]);
  EXPECT_FALSE(DgtlStoreBuffer_Write(&r.rb, nullptr, 10));
  EXPECT_FALSE(DgtlStoreBuffer_Write(&r.rb, w.data(), 0));
  EXPECT_EQ(
      "[capture] not enough data to read: 1000-1920 \n"
      "DgtlStoreBuffer: Para error !\n"
      "DgtlStoreBuffer: Para error !\n",
      log.Text());
  ASSERT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 1000));
  EXPECT_EQ(0, memcmp(out.data(), w.data(), 1000));
  EXPECT_TRUE(DgtlStoreBuffer_Read(&r.rb, out.data(), 0));
}

TEST(RingBuffer, ClosedBuffer) {
  DgtlStoreBuffer rb{};
  uint8_t b[4] = {1, 2, 3, 4};
  LogCapture log;
  EXPECT_FALSE(DgtlStoreBuffer_Write(&rb, b, 4));
  EXPECT_TRUE(DgtlStoreBuffer_Read(&rb, b, 0));
  EXPECT_TRUE(DgtlStoreBuffer_Close(&rb));
  EXPECT_EQ("", log.Text());
  // Reopening an open buffer starts empty with the new capacity.
  ASSERT_TRUE(DgtlStoreBuffer_Open(&rb, 8, "x"));
  ASSERT_TRUE(DgtlStoreBuffer_Write(&rb, b, 4));
  ASSERT_TRUE(DgtlStoreBuffer_Open(&rb, 16, "x"));
  EXPECT_EQ(16u, rb.size);
  EXPECT_EQ(0u, DgtlStoreBuffer_DataSize(&rb));
  DgtlStoreBuffer_Close(&rb);
  EXPECT_EQ(nullptr, rb.buf);
  EXPECT_STREQ("x", rb.tag);
  // Closed again: every read of a byte or more is short of data.
  EXPECT_FALSE(DgtlStoreBuffer_Read(&rb, b, 1));
  EXPECT_FALSE(DgtlStoreBuffer_Write(&rb, b, 1));
  EXPECT_EQ("[x] not enough data to read: 0-1 \n", log.Text());
}
