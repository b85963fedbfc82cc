// When the next capture block is expected, from the times blocks completed.
// The voice path's main loop leaves the server's messages queued until
// shortly before then. A block that completes late (its bytes were held up
// on the way) does not move the expectation later beyond a slow creep, so
// the next block is not held for that delay; an early one moves it earlier
// by a share of its earliness, so that a single early block costs little
// and a source that runs early is followed within a few blocks.
#ifndef HX_PULSE_BLOCK_CLOCK_H
#define HX_PULSE_BLOCK_CLOCK_H

namespace hxpa {

class BlockClock {
 public:
  static constexpr double kBlockSeconds = 0.020;
  // Looked at again this long before the block is due: its last bytes may
  // come a little early.
  static constexpr double kEarlySeconds = 0.003;
  // Later per block, at most: follows a source slower than this machine's
  // clock (up to 2.5 %).
  static constexpr double kCreepSeconds = 0.0005;
  static constexpr double kEarlyShare = 0.25;
  // A block this much later than expected (a stall, a new stream) sets the
  // expectation anew.
  static constexpr double kResetSeconds = 0.1;

  void Reset() { last_ = due_ = 0; }
  // A block completed at `completed` (monotonic seconds).
  void Completed(double completed) {
    const double expected = last_ + kBlockSeconds + kCreepSeconds;
    if (last_ <= 0 || completed > expected + kResetSeconds) last_ = completed;
    else if (completed < expected) last_ = expected - kEarlyShare * (expected - completed);
    else last_ = expected;
    due_ = last_ + kBlockSeconds - kEarlySeconds;
  }
  // Until when the next block cannot have come; 0 before the first block.
  double due() const { return due_; }

 private:
  double last_ = 0;  // when the last block completed, as expected
  double due_ = 0;
};

}  // namespace hxpa

#endif
