// The voice path as the far side hears it: how much echo is left over the
// background, whether the background is kept (no holes), whether the near
// end survives double talk, measured on 20 ms frames of a scripted
// conversation.
//
// Inputs, all mono at one rate and on one sample scale (full scale 1.0):
//   near  the near end as it reaches the microphone, without the echo
//         (talker plus room noise)
//   echo  the far end's echo as it reaches the microphone
//   out   what the voice path sent upstream; it may lag the microphone by up
//         to the timeline's max_lag_s either way (found by cross-correlation
//         with the near end where it talks alone)
// Sample 0 of near and echo is the timeline's (and the call's) start.
//
// Frames within guard_s of a segment boundary belong to no segment (echo
// tails, the talkers' onsets). The background level is the output's mean
// power over the background-only frames from 1 s on.
#ifndef HX_MEASURE_VOICE_METRICS_H
#define HX_MEASURE_VOICE_METRICS_H

#include <cstddef>
#include <vector>

namespace voice_metrics {

enum class Talk { kBackground, kFar, kNear, kBoth };

struct TalkSegment {
  Talk who;
  double from_s, to_s;
};

struct VoiceTimeline {
  std::vector<TalkSegment> segments;
  double guard_s = 0.2;    // frames this close to a boundary are left out
  double max_lag_s = 0.5;  // how far the output may lag (or lead) the microphone
};

// The 22 s conversation: background only 0-4 s, far end alone 4-9 s, near
// end alone 9-13 s, both 13-18 s, far end alone 18-22 s.
VoiceTimeline Conversation();
constexpr double kConversationSeconds = 22;

struct VoiceMetrics {
  bool valid = false;     // the output lined up (near_correlation >= 0.5) and
                          // every kind of frame was there
  long lag = 0;           // out[i + lag] belongs to microphone sample i
  double background_dbfs = -200;  // output, background only, from 1 s on
  double residual_db = 0;  // output over far-alone frames minus the background
  double leak_pct = 0;     // far-alone frames more than 10 dB above the background
  double holes_pct = 0;    // far-alone frames more than 10 dB below the background
  double near_gain_db = 0;    // output against the near end when it talks alone
  double double_talk_db = 0;  // output against the near end on double-talk
                              // frames where the near end dominates the echo,
                              // less near_gain_db (the same talker alone)
  double clipped_pct = 0;     // of those frames, the ones more than 10 dB down
                              // (after near_gain_db)
  double near_correlation = 0;  // of output and near end when it talks alone
  double start_db = 0;      // output background in the first second minus later
  size_t background_frames = 0, far_frames = 0, double_talk_frames = 0, near_frames = 0;
};

// n samples of near and echo, out_n of out, at `rate` Hz.
VoiceMetrics MeasureVoice(const VoiceTimeline &timeline, const float *near, const float *echo,
                          size_t n, const float *out, size_t out_n, int rate);

// Where ref best lines up in sig: sig[i + lag] matches ref[i], for |lag| <=
// max_lag, over ref[from, to). Normalised cross-correlation at that lag in *ncc.
long AlignByCorrelation(const float *ref, size_t ref_n, const float *sig, size_t sig_n,
                        size_t from, size_t to, long max_lag, double *ncc);

// The median of a set of figures (NAN when empty), as the tools report
// runs.
double Median(std::vector<double> v);

}  // namespace voice_metrics

#endif  // HX_MEASURE_VOICE_METRICS_H
