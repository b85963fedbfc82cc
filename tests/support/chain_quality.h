// Measures the microphone cleaning chain on real speech: adds white noise at
// a chosen signal-to-noise ratio with a fixed seed, runs ns_process then
// agc_process in 640-byte blocks, and reports levels in speech pauses and in
// speech, before and after each stage. Shared by the quality test and the
// chain_quality tool; needs libsndfile.
#ifndef HX_TESTS_SUPPORT_CHAIN_QUALITY_H
#define HX_TESTS_SUPPORT_CHAIN_QUALITY_H

#include <sndfile.h>
#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "dsp/ns_agc.h"

namespace chain_quality {

const int kBlock = 320;  // samples per 20 ms block at 16 kHz

// Reads a 16 kHz mono file as 16-bit samples; false when it is not one.
inline bool LoadSpeech(const std::string &path, std::vector<int16_t> *out) {
  SF_INFO info = {};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) return false;
  bool ok = info.samplerate == 16000 && info.channels == 1;
  if (ok) {
    out->resize((size_t)info.frames);
    ok = sf_read_short(f, out->data(), info.frames) == info.frames;
  }
  sf_close(f);
  return ok;
}

struct Result {
  int speech_blocks = 0, pause_blocks = 0;
  double snr_db = 0;           // measured over the speech blocks
  double pause_in_db = 0;      // noise in pauses, chain input (dBFS)
  double pause_ns_db = 0;      // ... after noise suppression
  double pause_agc_db = 0;     // ... after gain control
  double speech_clean_db = 0;  // clean speech level in speech blocks
  double speech_in_db = 0;     // noisy speech, chain input
  double speech_ns_db = 0;     // after noise suppression = before gain control
  double speech_agc_db = 0;    // after gain control
};

inline double LevelDb(double sum_sq, double count) {
  if (count <= 0) return -200;
  double p = sum_sq / count / (32768.0 * 32768.0);
  return p > 0 ? 10 * std::log10(p) : -200;
}

inline double BlockPower(const int16_t *x) {
  double s = 0;
  for (int i = 0; i < kBlock; ++i) s += (double)x[i] * x[i];
  return s;
}

// Runs the chain over `clean` plus white noise at `snr_db`. Creates and frees
// the processors itself.
inline Result Measure(const std::vector<int16_t> &clean_in, double snr_db, uint32_t seed,
                      std::vector<int16_t> *ns_out_all = nullptr,
                      std::vector<int16_t> *agc_out_all = nullptr) {
  Result r;
  const size_t blocks = clean_in.size() / kBlock;
  const size_t n = blocks * kBlock;
  std::vector<int16_t> clean(clean_in.begin(), clean_in.begin() + n);

  // Block classes from the clean signal. Speech: above -40 dBFS. Pause: this
  // block and both neighbours below -60 dBFS, so the suppressor's delay and
  // smoothing do not carry speech into a pause block.
  std::vector<double> level(blocks);
  for (size_t b = 0; b < blocks; ++b) level[b] = LevelDb(BlockPower(&clean[b * kBlock]), kBlock);
  std::vector<char> speech(blocks, 0), pause(blocks, 0);
  for (size_t b = 0; b < blocks; ++b) {
    speech[b] = level[b] > -40;
    pause[b] = level[b] < -60 && (b == 0 || level[b - 1] < -60) &&
               (b + 1 == blocks || level[b + 1] < -60);
  }

  double speech_power = 0;
  for (size_t b = 0; b < blocks; ++b)
    if (speech[b]) {
      speech_power += BlockPower(&clean[b * kBlock]);
      ++r.speech_blocks;
    }
  speech_power /= (double)r.speech_blocks * kBlock;
  const double sigma = std::sqrt(speech_power / std::pow(10.0, snr_db / 10));

  // Gaussian white noise (Box-Muller over a fixed-seed mt19937).
  std::mt19937 rng(seed);
  auto uniform = [&rng]() { return ((double)rng() + 1.0) / 4294967297.0; };
  std::vector<int16_t> noisy(n);
  std::vector<double> noise(n);
  for (size_t i = 0; i < n; i += 2) {
    double a = std::sqrt(-2 * std::log(uniform())), t = 2 * M_PI * uniform();
    noise[i] = sigma * a * std::cos(t);
    if (i + 1 < n) noise[i + 1] = sigma * a * std::sin(t);
  }
  double noise_power = 0;
  for (size_t i = 0; i < n; ++i) {
    noise_power += noise[i] * noise[i];
    double v = std::lround(clean[i] + noise[i]);
    noisy[i] = (int16_t)(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
  }
  r.snr_db = 10 * std::log10(speech_power / (noise_power / (double)n));

  std::vector<int16_t> ns_all(n), agc_all(n);
  ns_create();
  agc_create(16000);
  int16_t ns_out[kBlock], agc_out[kBlock];
  for (size_t b = 0; b < blocks; ++b) {
    ns_process(&noisy[b * kBlock], 640, ns_out);
    agc_process(ns_out, 640, agc_out, 640);
    std::copy(ns_out, ns_out + kBlock, &ns_all[b * kBlock]);
    std::copy(agc_out, agc_out + kBlock, &agc_all[b * kBlock]);
  }
  ns_free();
  agc_free();

  double p_in = 0, p_ns = 0, p_agc = 0, s_clean = 0, s_in = 0, s_ns = 0, s_agc = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t o = b * kBlock;
    if (pause[b]) {
      ++r.pause_blocks;
      p_in += BlockPower(&noisy[o]);
      p_ns += BlockPower(&ns_all[o]);
      p_agc += BlockPower(&agc_all[o]);
    }
    if (speech[b]) {
      s_clean += BlockPower(&clean[o]);
      s_in += BlockPower(&noisy[o]);
      s_ns += BlockPower(&ns_all[o]);
      s_agc += BlockPower(&agc_all[o]);
    }
  }
  const double pn = (double)r.pause_blocks * kBlock, sn = (double)r.speech_blocks * kBlock;
  r.pause_in_db = LevelDb(p_in, pn);
  r.pause_ns_db = LevelDb(p_ns, pn);
  r.pause_agc_db = LevelDb(p_agc, pn);
  r.speech_clean_db = LevelDb(s_clean, sn);
  r.speech_in_db = LevelDb(s_in, sn);
  r.speech_ns_db = LevelDb(s_ns, sn);
  r.speech_agc_db = LevelDb(s_agc, sn);
  if (ns_out_all) *ns_out_all = ns_all;
  if (agc_out_all) *agc_out_all = agc_all;
  return r;
}

}  // namespace chain_quality

#endif
