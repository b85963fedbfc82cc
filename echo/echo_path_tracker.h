// Where the echo sits against the far end, found in the signals alone, and
// how fast it moves.
//
// The stream counts show the drift between a render and a capture device
// that each run on their own clock (drift_tracker.h). They show nothing when
// the sound server resamples one device to follow the other's clock (a
// loopback that adjusts its rate, pipewire's adaptive resampling): the echo
// then slides against the far end by the resampler's rate error, which moves
// back and forth by tens of ppm, and the canceller's filter loses 20 dB
// chasing it. This tracker follows the slide.
//
// Coordinates: the echo of far-end history index h reaches the microphone at
// capture index c = h - offset. The tracker
//   1. searches the offset on 1 ms energy envelopes of the pre-emphasised
//      signals over -64..+256 ms around the offset the reported delay gives;
//   2. refines it within +-8 ms on the samples whitened by the far end's
//      prediction-error filter (the cross-correlation is then the echo
//      path's impulse response; parabolic interpolation of its peak gives a
//      fraction of a sample);
//   3. tracks it within +-1 ms with a cross-correlation that forgets in
//      about a tenth of a second, fits the rate at which it slides (over
//      about 1.5 s, undoing the corrections made meanwhile) and corrects the
//      far end's resampling by that rate, pulling the offset gently back to
//      where it was found.
// Only blocks in which both the far end and the microphone carry sound
// count; a peak that fades (the echo went away, the device changed) sends
// the tracker back to the search.
#ifndef HX_ECHO_ECHO_PATH_TRACKER_H
#define HX_ECHO_ECHO_PATH_TRACKER_H

#include <cstddef>
#include <cstdint>

#include "echo/drift_tracker.h"
#include "echo/echo_tuning.h"
#include "echo/far_history.h"
#include "echo/hx_echo.h"

constexpr int kPathEnvHop = 16;                       // 1 ms envelopes
constexpr int kPathSearchEarly = 64;                  // ms before the reported delay
constexpr int kPathSearchLags = kPathSearchEarly + 256;  // ms searched
constexpr int kPathRefineHalf = 128;                  // samples (8 ms)
constexpr int kPathTrackHalf = 16;                    // samples (1 ms)
constexpr int kPathWhitenOrder = 12;
constexpr int kPathMaxBlock = HX_ECHO_BLOCK;          // longest block it takes

class EchoPathTracker {
 public:
  explicit EchoPathTracker(const PathTuning &tuning = PathTuning()) : tuning_(tuning) {}

  // One capture block `mic` (n samples, at most kPathMaxBlock and a whole
  // number of envelope hops; other blocks are ignored) starting at capture
  // index `capture`; `expected` is the offset the reported delay gives now.
  // The far end was resampled at applied_ppm for this block, of which
  // count_ppm is the drift the stream counts show (drift_tracker.h).
  void Update(const int16_t *mic, int n, int64_t capture, int64_t expected,
              const FarHistory &far, double applied_ppm, double count_ppm);

  // Back to the search (the offset tracked cannot be the echo's).
  void Lose(int64_t expected);

  // The caller moved `ppm` of correction from the stream counts' drift into
  // this tracker's share of the far end's resampling (or back, negative):
  // the sum of both stays what it was.
  void TakeOverCorrection(double ppm) { ppm_ += ppm; }

  bool locked() const { return locked_; }
  // History index minus capture index of the echo (samples), while locked.
  double offset() const { return offset_; }
  // Correction of the far end's resampling ratio, ppm.
  double ppm() const { return ppm_; }
  int64_t locks() const { return locks_; }
  // Tracked points in the slide's current fit, and its rate (ppm).
  int64_t slide_points() const { return slide_.points; }
  double slide_ppm() const { return slide_.ppm; }
  // Tracked points before the slide's rate is used.
  int settle_points() const { return int(tuning_.slide.settle_points); }

 private:
  enum State { kSearch, kRefine, kTrack };
  void Restart(State s, int64_t center);
  bool Search(const float *wm, int n, int64_t capture, const FarHistory &far, bool sound,
              bool *found);
  void Correlate(const int16_t *mic, int n, int64_t capture, const FarHistory &far, int half,
                 double forget);
  bool Peak(int half, double *offset, double *height) const;
  float FarEmph(const FarHistory &f, int64_t p) const;

  PathTuning tuning_;
  State state_ = kSearch;
  int64_t base_ = 0;  // search: offset the reported delay gave when it began
  double env_xy_[kPathSearchLags] = {}, env_y_[kPathSearchLags] = {},
         env_yy_[kPathSearchLags] = {};
  double env_x_ = 0, env_xx_ = 0, env_n_ = 0;
  int active_ = 0;    // blocks with sound on both sides in this state
  // Refine and track: cross-correlation around `center_`.
  int64_t center_ = 0;
  double corr_[2 * kPathRefineHalf + 1] = {};
  double mic_energy_ = 0, far_energy_ = 0;
  int faded_ = 0;     // tracked blocks in a row whose peak was weak
  float mic_prev_ = 0;
  float mic_tail_[kPathWhitenOrder] = {};  // the previous block's last samples
  // Results.
  bool locked_ = false;
  double offset_ = 0;
  double lock_ = 0;    // the offset held
  SlopeFit slide_;     // of the offset plus `corrected_`
  double corrected_ = 0;    // offset change made by the far end's resampling so far
  int64_t last_point_ = 0;  // capture index of the slide's newest point
  double ppm_ = 0;
  int64_t locks_ = 0;  // times the echo was found
};

#endif  // HX_ECHO_ECHO_PATH_TRACKER_H
