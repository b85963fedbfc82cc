// Microphone and system-audio sources: PCM buffers or WAV files, and the
// automatic voice detector.
#include <sndfile.h>
#include <string.h>

#include <algorithm>

#include "world_internal.h"

namespace hxsim {

void Signal::Set(const int16_t *samples, size_t count, bool looping) {
  if (samples && count > 0) {
    data.assign(samples, samples + count);
  } else {
    data.clear();
  }
  pos = 0;
  loop = looping;
}

void Signal::Fill(int16_t *dst, size_t n) {
  size_t done = 0;
  while (done < n && !data.empty()) {
    if (pos >= data.size()) {
      if (!loop) break;
      pos = 0;
    }
    size_t run = std::min(n - done, data.size() - pos);
    memcpy(dst + done, data.data() + pos, run * sizeof(int16_t));
    done += run;
    pos += run;
  }
  if (done < n) memset(dst + done, 0, (n - done) * sizeof(int16_t));
}

// Voice when the block's RMS exceeds about -38 dBFS; the flag then holds for
// a further 100 ms so that short pauses inside words stay voice.
int VoiceDetector::Update(const int16_t *block, int n) {
  constexpr int64_t kThresholdRms = 400;
  constexpr int kHangoverBlocks = 5;
  int64_t energy = 0;
  for (int i = 0; i < n; ++i) energy += static_cast<int64_t>(block[i]) * block[i];
  if (energy > kThresholdRms * kThresholdRms * n) {
    hangover = kHangoverBlocks;
    return 1;
  }
  if (hangover > 0) {
    --hangover;
    return 1;
  }
  return 0;
}

namespace {

// Reads a whole 16-bit PCM WAV of the given rate and channel count.
bool LoadWav(const char *what, const char *path, int rate, int channels,
             std::vector<int16_t> *out) {
  if (!path) {
    SetLastError("%s: no path", what);
    return false;
  }
  SF_INFO info;
  memset(&info, 0, sizeof info);
  SNDFILE *f = sf_open(path, SFM_READ, &info);
  if (!f) {
    SetLastError("%s: cannot open %s: %s", what, path, sf_strerror(nullptr));
    return false;
  }
  bool ok = false;
  if (info.samplerate != rate) {
    SetLastError("%s: %s is %d Hz, %d Hz required", what, path, info.samplerate, rate);
  } else if (info.channels != channels) {
    SetLastError("%s: %s has %d channel(s), %d required", what, path, info.channels, channels);
  } else if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16) {
    SetLastError("%s: %s is not 16-bit PCM", what, path);
  } else {
    out->resize(static_cast<size_t>(info.frames) * channels);
    sf_count_t got = sf_readf_short(f, out->data(), info.frames);
    if (got != info.frames) {
      SetLastError("%s: %s: read %lld of %lld frames", what, path,
                   static_cast<long long>(got), static_cast<long long>(info.frames));
    } else {
      ok = true;
    }
  }
  sf_close(f);
  return ok;
}

}  // namespace
}  // namespace hxsim

using namespace hxsim;

extern "C" {

void hxsim_set_mic_pcm(const int16_t *samples, size_t count, int loop) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.mic.Set(samples, count, loop != 0);
}

int32_t hxsim_set_mic_wav(const char *path, int loop) {
  std::vector<int16_t> pcm;
  if (!LoadWav("hxsim_set_mic_wav", path, 16000, 1, &pcm)) return -1;
  hxsim_set_mic_pcm(pcm.data(), pcm.size(), loop);
  return 0;
}

void hxsim_set_voice_mode(int32_t mode) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.voice_mode = mode;
}

void hxsim_set_sys_pcm(const int16_t *interleaved, size_t frames, int loop) {
  World &w = TheWorld();
  std::lock_guard<std::mutex> lk(w.mu);
  w.sys.Set(interleaved, frames * 2, loop != 0);
}

int32_t hxsim_set_sys_wav(const char *path, int loop) {
  std::vector<int16_t> pcm;
  if (!LoadWav("hxsim_set_sys_wav", path, 48000, 2, &pcm)) return -1;
  hxsim_set_sys_pcm(pcm.data(), pcm.size() / 2, loop);
  return 0;
}

}  // extern "C"
