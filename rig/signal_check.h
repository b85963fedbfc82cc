// Signal measures for the real-device tests.
#ifndef HX_RIG_SIGNAL_CHECK_H
#define HX_RIG_SIGNAL_CHECK_H

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

// Best alignment anywhere in sig: a coarse search on 10 ms envelopes, then
// BestMatch around it.
Match FindMatch(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig);

// Median of FindMatch in sig over the parts of ref (part samples each,
// from `from` on, those with speech): a dropped packet spoils one part.
double MedianPartNcc(const std::vector<int16_t> &ref, const std::vector<int16_t> &sig, size_t part,
                     size_t from);

double Rms(const std::vector<int16_t> &x, size_t offset, int stride);

// Median over windows of `window` values of the amplitude at freq of every
// `stride`-th value from `offset` (sampled at rate): a dropped block or a
// phase jump spoils one window only.
double MedianToneAmplitude(const std::vector<int16_t> &x, size_t offset, int stride, double freq,
                           double rate, size_t window);

// One second of stereo at rate: tones f_left (a_left), f_right (a_right).
std::vector<int16_t> StereoTone(int rate, double f_left, double f_right, double a_left, double a_right);

}  // namespace hxtest

#endif
