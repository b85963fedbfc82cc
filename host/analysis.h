// Level measurements that compare the microphone input with what the host
// received upstream.
#ifndef HX_HOST_ANALYSIS_H
#define HX_HOST_ANALYSIS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {

// RMS of 20 ms frames of one channel of interleaved audio.
std::vector<double> FrameRms(const int16_t *samples, size_t frames, int rate, int channels,
                             int channel);

struct NoiseReport {
  bool valid = false;         // enough overlap to compare
  int lag_frames = 0;         // output frame index = input frame index + lag
  double correlation = 0;     // of the log envelopes at that lag
  size_t quiet_frames = 0;    // input frames counted as non-speech
  size_t loud_frames = 0;     // input frames counted as speech
  double in_noise_dbfs = 0, out_noise_dbfs = 0;
  double in_speech_dbfs = 0, out_speech_dbfs = 0;
};

// Aligns the two 20 ms envelopes (the pipeline delays the output), then
// takes the quietest input frames (below twice the 10th-percentile RMS) as
// non-speech and the loudest fifth as speech, and measures both in input
// and output over the same aligned frames.
NoiseReport CompareNoise(const std::vector<double> &in_rms, const std::vector<double> &out_rms);

double ToDbfs(double rms);  // -inf for 0

}  // namespace host

#endif
