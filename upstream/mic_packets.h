// Storage of the microphone queue, made once with the engine so that the
// capture path allocates nothing per block:
// - MicBlockPool: the packets' 1920-byte blocks. Any thread takes and
//   returns blocks without a lock (one atomic bit per block). When all are
//   out, a block comes from the heap instead; Release tells the two apart.
// - MicPacketList: the queue itself, a fixed ring of packet records in
//   arrival order. Guarded by the engine's m_micListLock like the list it
//   replaces; its capacity is the admission limit, which the admission
//   rule never lets the queue pass.
#ifndef HX_UPSTREAM_MIC_PACKETS_H
#define HX_UPSTREAM_MIC_PACKETS_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <atomic>

#include "engine/audio_block.h"
#include "upstream/audio_packet.h"

// 12 queued, one with the mix thread, one being filled by the capture path
// and one by a host push: a few to spare for pushes from several threads.
constexpr int kMicPoolBlocks = 16;
constexpr int32_t kMicQueueCapacity = 12;

class MicBlockPool {
 public:
  // A block of kBlockValues samples; null only when the pool is empty and
  // the heap has no memory.
  int16_t *Take() {
    uint32_t free_bits = free_.load(std::memory_order_relaxed);
    while (free_bits) {
      const int i = __builtin_ctz(free_bits);
      if (free_.compare_exchange_weak(free_bits, free_bits & ~(1u << i), std::memory_order_acquire,
                                      std::memory_order_relaxed))
        return blocks_[i];
    }
    return static_cast<int16_t *>(malloc(kBlockBytes));
  }
  // Returns a block from Take (null is ignored).
  void Release(int16_t *block) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = reinterpret_cast<uintptr_t>(blocks_);
    if (at >= first && at < first + sizeof blocks_) {
      free_.fetch_or(1u << ((at - first) / sizeof blocks_[0]), std::memory_order_release);
      return;
    }
    free(block);
  }
  // Blocks not taken (tests).
  int available() const { return __builtin_popcount(free_.load()); }

 private:
  static_assert(kMicPoolBlocks <= 32, "one bit per block in a 32-bit mask");
  int16_t blocks_[kMicPoolBlocks][kBlockValues];
  std::atomic<uint32_t> free_{kMicPoolBlocks == 32 ? ~0u : (1u << kMicPoolBlocks) - 1};
};

class MicPacketList {
 public:
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // false when full (the packet is not stored).
  bool push_back(const AudioPacket &p) {
    if (count_ == kMicQueueCapacity) return false;
    ring_[(head_ + count_) % kMicQueueCapacity] = p;
    ++count_;
    return true;
  }
  const AudioPacket &front() const { return ring_[head_]; }
  const AudioPacket &back() const { return ring_[(head_ + count_ - 1) % kMicQueueCapacity]; }
  void pop_front() {
    head_ = (head_ + 1) % kMicQueueCapacity;
    --count_;
  }

 private:
  AudioPacket ring_[kMicQueueCapacity] = {};
  size_t head_ = 0;
  size_t count_ = 0;
};

#endif
