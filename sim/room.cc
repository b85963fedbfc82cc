// A reverberant room's response and its streaming convolution (see room.h).
#include "room.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace hxsim {

std::vector<float> ReverberantRoom(double rt60_s, int rate, double direct_db, unsigned seed) {
  const size_t len = std::max<size_t>(2, size_t(1.2 * rt60_s * rate)), start = size_t(0.003 * rate);
  std::vector<double> tail(len, 0.0);
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0, 1);
  double tail_energy = 0;
  for (size_t i = std::max<size_t>(start, 1); i < len; ++i) {
    // Amplitude down by 60 dB (a factor of 1000) after rt60_s.
    tail[i] = g(rng) * std::exp(-std::log(1000.0) * double(i) / (rt60_s * rate));
    tail_energy += tail[i] * tail[i];
  }
  if (!(tail_energy > 0)) return {1.0f};  // too short for a tail: the direct sound alone
  const double direct = std::pow(10, direct_db / 20) * std::sqrt(tail_energy);
  const double norm = 1 / std::sqrt(direct * direct + tail_energy);
  std::vector<float> h(len);
  for (size_t i = 0; i < len; ++i) h[i] = float(tail[i] * norm);
  h[0] = float(direct * norm);
  return h;
}

namespace {

fftwf_plan Plan(void *p) { return static_cast<fftwf_plan>(p); }

}  // namespace

RoomConvolver::~RoomConvolver() { Release(); }

void RoomConvolver::Release() {
  if (forward_) fftwf_destroy_plan(Plan(forward_));
  if (inverse_) fftwf_destroy_plan(Plan(inverse_));
  fftwf_free(fft_time_);
  fftwf_free(fft_bins_);
  forward_ = inverse_ = nullptr;
  fft_time_ = nullptr;
  fft_bins_ = nullptr;
}

void RoomConvolver::SetResponse(const std::vector<float> &h) {
  Release();
  head_.assign(h.begin(), h.begin() + std::min<size_t>(h.size(), kPart));
  parts_count_ = h.size() > static_cast<size_t>(kPart) ? (h.size() - 1) / kPart : 0;
  parts_.assign(parts_count_ * kBins, Bin());
  history_.assign(parts_count_ * kBins, Bin());
  window_.assign(2 * kPart, 0.0f);
  tail_.assign(kPart, 0.0f);
  if (parts_count_ > 0) {
    fft_time_ = static_cast<float *>(fftwf_malloc(sizeof(float) * 2 * kPart));
    fft_bins_ = static_cast<Bin *>(fftwf_malloc(sizeof(Bin) * kBins));
    auto *bins = reinterpret_cast<fftwf_complex *>(fft_bins_);
    // Estimated plans: chosen without timing, so every run computes alike.
    forward_ = fftwf_plan_dft_r2c_1d(2 * kPart, fft_time_, bins, FFTW_ESTIMATE);
    inverse_ = fftwf_plan_dft_c2r_1d(2 * kPart, bins, fft_time_, FFTW_ESTIMATE);
    // Partition p (taps [p kPart, (p+1) kPart)), zero-padded, with the
    // inverse transform's 1 / (2 kPart) folded in.
    for (size_t p = 0; p < parts_count_; ++p) {
      std::fill(fft_time_, fft_time_ + 2 * kPart, 0.0f);
      const size_t from = (p + 1) * kPart, to = std::min(h.size(), from + kPart);
      std::copy(h.begin() + from, h.begin() + to, fft_time_);
      fftwf_execute(Plan(forward_));
      for (int b = 0; b < kBins; ++b) parts_[p * kBins + b] = fft_bins_[b] / float(2 * kPart);
    }
  }
  Reset();
}

void RoomConvolver::Reset() {
  std::fill(history_.begin(), history_.end(), Bin());
  std::fill(window_.begin(), window_.end(), 0.0f);
  std::fill(tail_.begin(), tail_.end(), 0.0f);
  history_pos_ = 0;
  fill_ = 0;
}

void RoomConvolver::Process(float *x, int n) {
  if (!active()) return;
  const size_t taps = head_.size();
  for (int i = 0; i < n; ++i) {
    float *now = &window_[kPart + fill_];
    *now = x[i];
    float acc = tail_[fill_];
    for (size_t k = 0; k < taps; ++k) acc += head_[k] * now[-static_cast<std::ptrdiff_t>(k)];
    x[i] = acc;
    if (++fill_ == kPart) BlockDone();
  }
}

void RoomConvolver::BlockDone() {
  fill_ = 0;
  if (parts_count_ > 0) {
    // Spectrum of the window ending with the block just completed (j).
    std::copy(window_.begin(), window_.end(), fft_time_);
    fftwf_execute(Plan(forward_));
    Bin *newest = &history_[history_pos_ * kBins];
    std::copy(fft_bins_, fft_bins_ + kBins, newest);
    // Block j+1's output from partition p >= 1 needs input block j+1-p,
    // whose window is p-1 slots behind the newest.
    std::fill(fft_bins_, fft_bins_ + kBins, Bin());
    for (size_t p = 0; p < parts_count_; ++p) {
      const size_t slot = (history_pos_ + parts_count_ - p) % parts_count_;
      const Bin *in = &history_[slot * kBins];
      const Bin *part = &parts_[p * kBins];
      for (int b = 0; b < kBins; ++b) {  // written out: no library call per product
        const float re = part[b].real() * in[b].real() - part[b].imag() * in[b].imag();
        const float im = part[b].real() * in[b].imag() + part[b].imag() * in[b].real();
        fft_bins_[b] += Bin(re, im);
      }
    }
    fftwf_execute(Plan(inverse_));
    std::copy(fft_time_ + kPart, fft_time_ + 2 * kPart, tail_.begin());
    history_pos_ = (history_pos_ + 1) % parts_count_;
  }
  std::copy(window_.begin() + kPart, window_.end(), window_.begin());
}

void RoomNoise::Set(double dbfs, int rate) {
  on_ = dbfs < 0;
  const double rms = 32768.0 * std::pow(10.0, dbfs / 20.0);
  const double a = std::exp(-2 * M_PI * 300.0 / rate);
  pole_ = static_cast<float>(a);
  // y = a y + (1 - a) w has variance (1 - a) / (1 + a) for unit white w.
  rumble_scale_ = static_cast<float>(rms * std::sqrt(0.8 * (1 + a) / (1 - a)));
  hiss_scale_ = static_cast<float>(rms * std::sqrt(0.2));
  Reset();
}

void RoomNoise::Reset() {
  rng_.seed(0x6e6f6973u);
  gauss_.reset();
  state_ = 0;
}

float RoomNoise::Next() {
  state_ = pole_ * state_ + (1 - pole_) * gauss_(rng_);
  return rumble_scale_ * state_ + hiss_scale_ * gauss_(rng_);
}

}  // namespace hxsim
