// Measures the microphone cleaning chain on real speech plus white noise at a
// chosen SNR (fixed seed): levels in speech pauses and in speech before and
// after each stage. Shared by the quality test and the chain_quality tool.
#ifndef HX_TESTS_SUPPORT_CHAIN_QUALITY_H
#define HX_TESTS_SUPPORT_CHAIN_QUALITY_H

#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "dsp/ns_agc.h"
#include "rig/speech.h"

namespace chain_quality {

const int kBlock = 320;  // samples per 20 ms block at 16 kHz

// Reads a 16 kHz mono file as 16-bit samples; false when it is not one.
inline bool LoadSpeech(const std::string &path, std::vector<int16_t> *out) {
  return !(*out = ReadMono(path)).empty();
}

enum Stage { kClean, kInput, kNs, kAgc };  // the signals measured, in chain order
struct Result {
  int speech_blocks = 0, pause_blocks = 0;
  double snr_db = 0;  // measured over the speech blocks
  // dBFS by Stage: noise in pause blocks, speech (with noise) in speech blocks.
  double pause_db[4] = {}, speech_db[4] = {};
};

inline double LevelDb(double sum_sq, double count) {
  const double p = count > 0 ? sum_sq / count / (32768.0 * 32768.0) : 0;
  return p > 0 ? 10 * std::log10(p) : -200;
}

inline double BlockPower(const int16_t *x) { return std::inner_product(x, x + kBlock, x, 0.0); }

// Runs the chain over `clean` plus white noise at `snr_db`; creates and frees the processors.
inline Result Measure(const std::vector<int16_t> &clean, double snr_db, uint32_t seed,
                      std::vector<int16_t> *ns_out_all = nullptr,
                      std::vector<int16_t> *agc_out_all = nullptr) {
  Result r;
  const size_t blocks = clean.size() / kBlock, n = blocks * kBlock;
  std::vector<int16_t> sig[4] = {clean, clean, clean, clean};  // by Stage
  for (auto &v : sig) v.resize(n);
  // Block classes from the clean signal. Speech: above -40 dBFS. Pause: this block and
  // both neighbours below -60 dBFS, so the suppressor's smoothing adds no speech.
  std::vector<double> level(blocks);
  for (size_t b = 0; b < blocks; ++b) level[b] = LevelDb(BlockPower(&sig[0][b * kBlock]), kBlock);
  auto quiet = [&](size_t b) { return b >= blocks || level[b] < -60; };  // b = -1 wraps: quiet
  auto pause = [&](size_t b) { return quiet(b - 1) && quiet(b) && quiet(b + 1); };
  auto speech = [&](size_t b) { return level[b] > -40; };
  double speech_power = 0, noise_power = 0;
  for (size_t b = 0; b < blocks; ++b) {
    if (speech(b)) speech_power += BlockPower(&sig[0][b * kBlock]), ++r.speech_blocks;
    r.pause_blocks += pause(b);
  }
  speech_power /= (double)r.speech_blocks * kBlock;
  const double sigma = std::sqrt(speech_power / std::pow(10.0, snr_db / 10));
  // Gaussian white noise: Box-Muller over a fixed-seed mt19937, two samples a draw.
  std::mt19937 rng(seed);
  auto uniform = [&rng]() { return ((double)rng() + 1.0) / 4294967297.0; };
  for (size_t i = 0; i < n; i += 2) {
    const double a = std::sqrt(-2 * std::log(uniform())), t = 2 * M_PI * uniform();
    for (size_t k = i; k < std::min(n, i + 2); ++k) {
      const double v = sigma * a * (k == i ? std::cos(t) : std::sin(t));
      noise_power += v * v, sig[1][k] = (int16_t)std::clamp(std::lround(sig[0][k] + v), -32768L, 32767L);
    }
  }
  r.snr_db = 10 * std::log10(speech_power / (noise_power / (double)n));
  ns_create(), agc_create(16000);
  for (size_t o = 0; o < n; o += kBlock) ns_process(&sig[1][o], 640, &sig[2][o]), agc_process(&sig[2][o], 640, &sig[3][o], 640);
  ns_free(), agc_free();
  for (size_t b = 0; b < blocks; ++b)  // power sums first, then levels
    for (int k = 0; k < 4; ++k) {
      if (pause(b)) r.pause_db[k] += BlockPower(&sig[k][b * kBlock]);
      if (speech(b)) r.speech_db[k] += BlockPower(&sig[k][b * kBlock]);
    }
  const double pn = (double)r.pause_blocks * kBlock, sn = (double)r.speech_blocks * kBlock;
  for (int k = 0; k < 4; ++k)
    r.pause_db[k] = LevelDb(r.pause_db[k], pn), r.speech_db[k] = LevelDb(r.speech_db[k], sn);
  if (ns_out_all) *ns_out_all = sig[2];
  if (agc_out_all) *agc_out_all = sig[3];
  return r;
}

}  // namespace chain_quality

#endif
