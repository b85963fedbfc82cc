// Signal measures for the real-device tests.
#ifndef HX_TESTS_PULSE_SIGNAL_CHECK_H
#define HX_TESTS_PULSE_SIGNAL_CHECK_H

#include <sndfile.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace hxtest {

// A WAV file's samples (interleaved) and *info; empty when it cannot be read.
std::vector<int16_t> ReadWav(const std::string &path, SF_INFO *info);

// tests/data/speech16k.wav (16 kHz mono); empty when it cannot be read.
std::vector<int16_t> Speech16k();

// Samples of one channel, every `step`-th frame: e.g. 48 kHz stereo left
// at 16 kHz is Channel(x, 2, 0, 3).
std::vector<int16_t> Channel(const std::vector<int16_t> &x, int channels, int ch, int step);

struct Match {
  double ncc = 0;  // normalised cross-correlation at the best lag
  long lag = -1;   // position in sig where ref[0] lies
};
// Best alignment of ref inside sig, lags lag_lo..lag_hi.
Match BestMatch(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig, long lag_lo,
                long lag_hi);

// Best alignment anywhere in sig: a coarse search on 10 ms energy
// envelopes, then BestMatch around it. Cheap enough for long recordings.
Match FindMatch(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig);

// Median over the parts of ref (part samples each, from `from` on, those
// with speech) of each part's FindMatch in sig. A slow (sanitizer) run
// that drops a packet spoils only the part that holds the gap.
double MedianPartNcc(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig, size_t part,
                     size_t from);

double Rms(const std::vector<int16_t> &x, size_t offset, int stride);

// Amplitude of the component at freq of every `stride`-th value from
// `offset` (sampled at rate), over consecutive windows of `window` values of
// the channel: their median. Unlike one long window, a dropped block or an
// inserted silence (phase jump) spoils only one window.
double MedianToneAmplitude(const std::vector<int16_t> &x, size_t offset, int stride, double freq,
                           double rate, size_t window);

// One second of stereo at rate: a tone of f_left, amplitude a_left, on the
// left and of f_right, a_right on the right.
std::vector<int16_t> StereoTone(int rate, double f_left, double f_right, double a_left, double a_right);

}  // namespace hxtest

#endif
