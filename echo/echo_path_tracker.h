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

// The far end on the capture clock: a ring of `size` samples (a power of
// two) holding the indexes [count - size, count).
struct FarHistory {
  const int16_t *ring;
  int64_t size;
  int64_t count;
};

constexpr int kPathEnvHop = 16;                       // 1 ms envelopes
constexpr int kPathSearchEarly = 64;                  // ms before the reported delay
constexpr int kPathSearchLags = kPathSearchEarly + 256;  // ms searched
constexpr int kPathRefineHalf = 128;                  // samples (8 ms)
constexpr int kPathTrackHalf = 16;                    // samples (1 ms)
constexpr int kPathWhitenOrder = 12;

struct EchoPathTracker {
  enum State { kSearch, kRefine, kTrack } state = kSearch;
  int64_t base = 0;  // search: offset the reported delay gave when it began
  double env_xy[kPathSearchLags] = {}, env_y[kPathSearchLags] = {}, env_yy[kPathSearchLags] = {};
  double env_x = 0, env_xx = 0, env_n = 0;
  int active = 0;    // blocks with sound on both sides in this state
  // Refine and track: cross-correlation around `center`.
  int64_t center = 0;
  double corr[2 * kPathRefineHalf + 1] = {};
  double mic_energy = 0, far_energy = 0;
  int faded = 0;     // tracked blocks in a row whose peak was weak
  float mic_prev = 0;
  float mic_tail[kPathWhitenOrder] = {};  // the previous block's last samples
  // Results.
  bool locked = false;
  double offset = 0;  // history index minus capture index of the echo (samples)
  double lock = 0;    // the offset held
  SlopeFit slide;     // of the offset plus `corrected`
  double corrected = 0;    // offset change made by the far end's resampling so far
  int64_t last_point = 0;  // capture index of the slide's newest point
  double ppm = 0;     // correction of the far end's resampling ratio
  int64_t locks = 0;  // times the echo was found
};

// One 20 ms capture block `mic` (n samples) starting at capture index
// `capture`; `expected` is the offset the reported delay gives now. The far
// end was resampled at applied_ppm for this block, of which count_ppm is the
// drift the stream counts show (drift_tracker.h).
void EchoPathTrackerUpdate(EchoPathTracker *t, const int16_t *mic, int n, int64_t capture,
                           int64_t expected, const FarHistory &far, double applied_ppm,
                           double count_ppm);

// Tracked points before the slide's rate is used.
int EchoPathSettlePoints();

// Back to the search (the offset tracked cannot be the echo's).
void EchoPathTrackerLose(EchoPathTracker *t, int64_t expected);

#endif  // HX_ECHO_ECHO_PATH_TRACKER_H
