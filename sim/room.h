// A reverberant room: its response (direct sound and an exponentially
// decaying diffuse tail) and a streaming convolution with it. The simulated
// voice path's echo runs it on the microphone's delivery thread; the live
// echo paths of the real-device tests run the same room between a monitor
// and a microphone (static library hxroom).
#ifndef HXSIM_ROOM_H
#define HXSIM_ROOM_H

#include <complex>
#include <random>
#include <vector>

namespace hxsim {

// Response of a room whose reverberation falls by 60 dB in rt60_s, at
// `rate`: a direct sound, then from 3 ms on Gaussian noise (seeded) whose
// amplitude decays exponentially, 1.2 rt60_s long in all; the direct sound
// direct_db over the tail's energy. Scaled to unit energy, so a path's gain
// alone sets the echo level. The same arguments give the same response.
std::vector<float> ReverberantRoom(double rt60_s, int rate, double direct_db = 3, unsigned seed = 1);

// Convolution of a stream with a fixed response, any number of samples per
// call, without added latency. The first kPart taps are applied directly; the
// rest by FFT in partitions of kPart (uniformly partitioned overlap-save),
// computed each time kPart input samples are complete, one block before their
// output is due. Transforms are planned by SetResponse (FFTW, estimated
// plans: the same response always gives the same output); Process allocates
// nothing and takes no lock.
class RoomConvolver {
 public:
  static constexpr int kPart = 128;

  RoomConvolver() = default;
  ~RoomConvolver();
  RoomConvolver(const RoomConvolver &) = delete;
  RoomConvolver &operator=(const RoomConvolver &) = delete;

  // Takes the response (empty: none; Process then leaves the signal as it
  // is) and plans its transforms; the history restarts silent. Allocates.
  void SetResponse(const std::vector<float> &h);
  bool active() const { return !head_.empty(); }
  // Silence: forgets the input heard so far.
  void Reset();
  // Replaces x[0..n) by its convolution with the response.
  void Process(float *x, int n);

 private:
  using Bin = std::complex<float>;
  static constexpr int kBins = kPart + 1;

  void BlockDone();  // a partition of input is complete: next block's tail
  void Release();

  std::vector<float> head_;      // taps [0, kPart)
  std::vector<Bin> parts_;       // spectra of the later partitions, kBins each
  std::vector<Bin> history_;     // spectra of the latest input windows (ring)
  size_t parts_count_ = 0, history_pos_ = 0;
  std::vector<float> window_;    // previous and current input block
  std::vector<float> tail_;      // later taps' output for the current block
  int fill_ = 0;                 // samples of the current block taken
  float *fft_time_ = nullptr;    // FFTW buffers and plans (2 * kPart)
  Bin *fft_bins_ = nullptr;
  void *forward_ = nullptr, *inverse_ = nullptr;
};

// Room noise at the microphone: a low rumble (white noise through a
// one-pole low-pass at 300 Hz, 80 % of the power) over a white hiss (20 %),
// Gaussian, from a fixed seed, at a set RMS level. Next allocates nothing.
class RoomNoise {
 public:
  // dbfs: RMS level against full scale (32768); off when not negative.
  void Set(double dbfs, int rate);
  bool active() const { return on_; }
  // From the start of the seed's sequence again.
  void Reset();
  // The next sample, in 16-bit units.
  float Next();

 private:
  bool on_ = false;
  float pole_ = 0, rumble_scale_ = 0, hiss_scale_ = 0, state_ = 0;
  std::mt19937 rng_;
  std::normal_distribution<float> gauss_;
};

}  // namespace hxsim

#endif  // HXSIM_ROOM_H
