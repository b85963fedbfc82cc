// When the next capture block is expected, from the times blocks completed,
// and until when the voice path's main loop leaves the server's messages
// queued (its hold).
//
// An ordinary hold ends just after the block is expected, so the block's
// pieces (the server sends a block in several) and the play requests that
// came meanwhile are all taken in one wakeup; the block waits at most
// kLateSeconds past its expected completion. Such a block was found
// complete, not seen to complete: its completion time is only a bound. So
// one block in kProbeEvery is a probe: its hold ends kEarlySeconds before
// the block is expected and the loop watches its bytes come, which measures
// when blocks complete. A block that is not complete when its hold ends is
// watched too. A watched block that completes late moves the expectation
// later by a slow creep at most, so one late block does not hold the next
// ones; an early one moves it earlier by a share of its earliness, and the
// blocks after it are probes until one comes where expected.
#ifndef HX_PULSE_BLOCK_CLOCK_H
#define HX_PULSE_BLOCK_CLOCK_H

#include <algorithm>

namespace hxpa {

class BlockClock {
 public:
  static constexpr double kBlockSeconds = 0.020;
  // An ordinary hold ends this long after the block is expected: its last
  // bytes may come a little late.
  static constexpr double kLateSeconds = 0.0005;
  // A probe's hold ends this long before the block is expected.
  static constexpr double kEarlySeconds = 0.003;
  static constexpr int kProbeEvery = 10;
  // Later per watched block, at most: follows a source slower than this
  // machine's clock (up to 2.5 %).
  static constexpr double kCreepSeconds = 0.0005;
  static constexpr double kEarlyShare = 0.25;
  // A block this much later than expected (a stall, a new stream) sets the
  // expectation anew.
  static constexpr double kResetSeconds = 0.1;

  void Reset() {
    last_ = 0;
    until_probe_ = 0;
  }

  // A block completed. `watched`: the loop was waiting for the server when
  // its last bytes came, at `completed` (monotonic seconds). Otherwise they
  // were found queued at the end of a hold: they came no later than
  // `completed`.
  void Completed(double completed, bool watched) {
    const double expected = last_ + kBlockSeconds;
    if (last_ <= 0 || completed > expected + kResetSeconds) {
      last_ = completed;
      until_probe_ = watched ? kProbeEvery : 0;
    } else if (completed < expected) {
      last_ = expected - kEarlyShare * (expected - completed);
      until_probe_ = watched && expected - completed <= kLateSeconds ? kProbeEvery : 0;
    } else if (watched) {
      last_ = std::min(completed, expected + kCreepSeconds);
      until_probe_ = kProbeEvery;
    } else {
      last_ = expected;
      if (until_probe_ > 0) --until_probe_;
    }
  }

  // When the hold before the next block ends; 0 before the first block.
  double due() const {
    if (last_ <= 0) return 0;
    return last_ + kBlockSeconds + (until_probe_ == 0 ? -kEarlySeconds : kLateSeconds);
  }
  // Whether the next hold is a probe's.
  bool probing() const { return last_ > 0 && until_probe_ == 0; }

 private:
  double last_ = 0;  // when the last block completed, as expected
  int until_probe_ = 0;  // ordinary blocks before the next probe
};

}  // namespace hxpa

#endif
