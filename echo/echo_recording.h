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
#include <cstdio>
#include <vector>

#include "echo/hx_echo.h"

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

// One block of a recording, read back.
struct RecordedBlock {
  int64_t received = 0;
  int32_t delay_ms = 0;
  int16_t mic[HX_ECHO_BLOCK] = {}, out[HX_ECHO_BLOCK] = {};
  std::vector<int16_t> far;  // mono
};

// Reads a recording file back, block by block (bench/voice_replay, tests).
class EchoRecordingReader {
 public:
  ~EchoRecordingReader();
  // false: no such file, or not a recording.
  bool Open(const char *path);
  // 1: a block was read; 0: the file ended after a whole block; -1: it
  // ended inside one.
  int Next(RecordedBlock *b);

 private:
  std::FILE *f_ = nullptr;
};

// Feeds a recorded block to `e` as the live capture call was fed: its far
// end first (stereo frames, both channels the recorded mono), then the
// microphone with its stream delay. Returns hx_echo_capture's result; the
// cleaned block goes to `out`, and its voice mark to *voice when given.
int32_t ReplayRecordedBlock(hx_echo *e, const RecordedBlock &b, int16_t *out, int32_t *voice = nullptr);

#endif  // HX_ECHO_ECHO_RECORDING_H
