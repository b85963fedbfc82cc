// What a live echo component consumed, block by block, kept for replay
// (bench/voice_replay): per capture call the far end it took from the
// render queue, the count of far-end frames ever received, the stream
// delay, the microphone block and the block it gave back. Memory is
// allocated once at Start; Begin/End run on the capture thread and
// allocate nothing; a recording that is full stops growing.
//
// File (native byte order): "HXECREC1", then per block: int32 far frames
// n, int64 received, int32 delay_ms, int16 mic[HX_ECHO_BLOCK], int16
// out[HX_ECHO_BLOCK], int16 far[n] (mono, as the queue held it).
#ifndef HX_ECHO_ECHO_RECORDING_H
#define HX_ECHO_ECHO_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <vector>

class EchoRecording {
 public:
  // Room for `seconds` of blocks; false when out of memory.
  bool Start(int seconds);
  // The block's inputs, before `mic` may be overwritten by the output.
  void Begin(const int16_t *far, size_t n, int64_t received, int32_t delay_ms, const int16_t *mic);
  // Its output; the block is kept.
  void End(const int16_t *out);
  bool Save(const char *path) const;

 private:
  std::vector<char> data_;
  size_t used_ = 0;     // bytes of whole blocks
  size_t pending_ = 0;  // bytes of the block begun, 0 when none
  size_t out_at_ = 0;   // where its output goes
};

#endif  // HX_ECHO_ECHO_RECORDING_H
