// The loudspeaker and the acoustic path of the simulated voice path (see
// world_echo_path.h).
#include "world_echo_path.h"

#include <speex/speex_resampler.h>
#include <string.h>

#include <algorithm>
#include <cmath>

namespace hxsim {

namespace {

constexpr int kRate = 16000;
constexpr int kRenderBlock = 160;                   // one far-end block, 10 ms
constexpr size_t kQueueCapacity = kRate / 2;        // 500 ms of far end
constexpr size_t kLineSize = 8192;                  // > 300 ms + room + one block
constexpr int kRoomTaps = 480;                      // 30 ms
constexpr double kRoomDecaySamples = 0.006 * kRate; // tail amplitude falls by e per 6 ms
constexpr int kDriftQuality = 5;

// A short room: the direct sound and a decaying diffuse tail (fixed seed),
// scaled to unit energy so that the gain alone sets the echo level.
std::vector<float> ShortRoom() {
  std::vector<float> h(kRoomTaps);
  uint32_t seed = 12345;
  double energy = 0;
  for (int k = 0; k < kRoomTaps; ++k) {
    seed = seed * 1664525u + 1013904223u;
    const double u = (seed >> 8) / 8388608.0 - 1.0;  // [-1, 1)
    h[k] = static_cast<float>(k == 0 ? 1.0 : 0.25 * u * std::exp(-k / kRoomDecaySamples));
    energy += static_cast<double>(h[k]) * h[k];
  }
  for (float &v : h) v = static_cast<float>(v / std::sqrt(energy));
  return h;
}

// The loudspeaker driven into saturation: tanh(d x) / d on x at full scale
// 1, so quiet sound passes as it is and loud sound is compressed.
void SoftClip(float *x, int n, float drive) {
  for (int i = 0; i < n; ++i) x[i] = 32768.0f * std::tanh(drive * x[i] / 32768.0f) / drive;
}

}  // namespace

EchoPath::EchoPath() : queue_(kQueueCapacity), line_(kLineSize, 0.0f) {}

EchoPath::~EchoPath() {
  if (drift_) speex_resampler_destroy(drift_);
}

void EchoPath::Configure(const hxsim_echo_path &cfg) {
  const bool drift_changed = cfg.drift_ppm != cfg_.drift_ppm || !cfg_.enabled;
  // A new room is planned here, off the delivery thread; an unchanged one
  // keeps its reverberation across a change of delay or gain.
  const bool reverb = cfg.rt60_s > 0, noise = cfg.noise_dbfs < 0;
  if (reverb != reverb_.active() || (reverb && cfg.rt60_s != cfg_.rt60_s))
    reverb_.SetResponse(reverb ? ReverberantRoom(cfg.rt60_s, kRate) : std::vector<float>());
  if (noise != noise_.active() || (noise && cfg.noise_dbfs != cfg_.noise_dbfs))
    noise_.Set(cfg.noise_dbfs, kRate);
  cfg_ = cfg;
  gain_ = static_cast<float>(std::pow(10.0, cfg.gain_db / 20.0));
  drive_ = static_cast<float>(cfg.speaker_drive_db > 0 ? std::pow(10.0, cfg.speaker_drive_db / 20.0) : 0);
  if (cfg.room && !(cfg.rt60_s > 0)) room_ = ShortRoom();
  else room_.assign(1, 1.0f);
  if (!drift_changed) return;
  if (drift_) speex_resampler_destroy(drift_);
  drift_ = nullptr;
  if (cfg.drift_ppm == 0) return;
  // The loudspeaker runs (1 + ppm/1e6) times faster than the microphone:
  // its samples are resampled from that rate to the microphone's.
  const double ratio_den = 1e6;
  const auto num = static_cast<spx_uint32_t>(std::llround(ratio_den + cfg.drift_ppm));
  int err = 0;
  drift_ = speex_resampler_init_frac(1, num, static_cast<spx_uint32_t>(ratio_den), kRate, kRate,
                                     kDriftQuality, &err);
  // Without the filter's start-up delay the clock conversion adds no latency.
  if (drift_) speex_resampler_skip_zeros(drift_);
}

void EchoPath::Reset() {
  queue_head_ = queue_count_ = 0;
  captured_ = 0;
  quiet_seed_ = 1;
  playing_ = false;
  std::fill(line_.begin(), line_.end(), 0.0f);
  reverb_.Reset();
  noise_.Reset();
  if (drift_) {
    speex_resampler_reset_mem(drift_);
    speex_resampler_skip_zeros(drift_);
  }
}

void EchoPath::Render(const int16_t *stereo, int frames) {
  for (int i = 0; i < frames; ++i) {
    if (queue_count_ == kQueueCapacity) {  // the loudspeaker is not taking: drop the newest
      overflows_ += frames - i;
      return;
    }
    queue_[(queue_head_ + queue_count_) % kQueueCapacity] =
        static_cast<int16_t>((stereo[2 * i] + stereo[2 * i + 1]) >> 1);
    ++queue_count_;
  }
}

void EchoPath::Speak(float *dst, int n) {
  const size_t need = static_cast<size_t>(std::ceil(n * (1 + cfg_.drift_ppm * 1e-6))) + 1;
  if (!playing_ && queue_count_ >= need + kRenderBlock) playing_ = true;
  if (!playing_) {
    std::fill(dst, dst + n, 0.0f);
    return;
  }
  // Linear copy of what the queue holds (at most what a block can use).
  const size_t avail = std::min(queue_count_, need + kRenderBlock);
  drift_in_.resize(avail);
  for (size_t i = 0; i < avail; ++i) drift_in_[i] = queue_[(queue_head_ + i) % kQueueCapacity];
  size_t used = 0, made = 0;
  drift_out_.assign(n, 0);
  if (drift_) {
    spx_uint32_t in_len = static_cast<spx_uint32_t>(avail), out_len = static_cast<spx_uint32_t>(n);
    speex_resampler_process_int(drift_, 0, drift_in_.data(), &in_len, drift_out_.data(), &out_len);
    used = in_len;
    made = out_len;
  } else {
    made = used = std::min(avail, static_cast<size_t>(n));
    std::copy(drift_in_.begin(), drift_in_.begin() + used, drift_out_.begin());
  }
  queue_head_ = (queue_head_ + used) % kQueueCapacity;
  queue_count_ -= used;
  if (made < static_cast<size_t>(n)) {  // ran dry: silence, then wait for the queue again
    ++underruns_;
    playing_ = false;
  }
  for (int i = 0; i < n; ++i) dst[i] = drift_out_[i];
}

void EchoPath::Capture(int16_t *mic, int16_t *echo, int n) {
  float spoken[kRenderBlock * 4];
  const int64_t quiet = int64_t(cfg_.quiet_ms) * (kRate / 1000);
  for (int done = 0; done < n;) {
    const int run = std::min(n - done, static_cast<int>(sizeof spoken / sizeof spoken[0]));
    Speak(spoken, run);
    if (drive_ > 0) SoftClip(spoken, run, drive_);
    reverb_.Process(spoken, run);
    for (int i = 0; i < run; ++i) line_[(line_pos_ + i) % kLineSize] = spoken[i];
    const size_t delay = static_cast<size_t>(cfg_.delay_ms) * (kRate / 1000);
    for (int i = 0; i < run; ++i) {
      const size_t now = line_pos_ + kLineSize * 2 + i - delay;
      double acc = 0;
      for (size_t k = 0; k < room_.size(); ++k) acc += room_[k] * line_[(now - k) % kLineSize];
      const double y = std::lround(acc * gain_);
      const int16_t e = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, y)));
      if (echo) echo[done + i] = e;
      const int noise = noise_.active() ? static_cast<int>(std::lround(noise_.Next())) : 0;
      mic[done + i] = static_cast<int16_t>(std::max(-32768, std::min(32767, mic[done + i] + e + noise)));
      if (captured_++ < quiet) {  // the quiet start: nothing at all, or near-silence
        int16_t near_silence = 0;
        if (cfg_.quiet_lsb) {
          quiet_seed_ = quiet_seed_ * 1664525u + 1013904223u;
          near_silence = static_cast<int16_t>(int((quiet_seed_ >> 8) % uint32_t(2 * cfg_.quiet_lsb + 1)) - cfg_.quiet_lsb);
        }
        mic[done + i] = near_silence;
        if (echo) echo[done + i] = 0;
      }
    }
    line_pos_ = (line_pos_ + run) % kLineSize;
    done += run;
  }
}

int32_t EchoPath::StreamDelayMs() const {
  return static_cast<int32_t>(std::lround(cfg_.delay_ms + queue_count_ * 1000.0 / kRate));
}

}  // namespace hxsim
