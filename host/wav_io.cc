#include "wav_io.h"

#include <sndfile.h>

namespace host {

bool ReadPcm(const std::string &path, int rate, unsigned allowed_channels, Pcm *out,
             std::string *error) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  bool ok = true;
  if (info.samplerate != rate) {
    *error = "'" + path + "' has " + std::to_string(info.samplerate) + " Hz; " +
             std::to_string(rate) + " Hz is needed";
    ok = false;
  } else if (info.channels < 1 || info.channels > 2 ||
             !(allowed_channels & (1u << info.channels))) {
    *error = "'" + path + "' has " + std::to_string(info.channels) + " channels; " +
             (allowed_channels == 2u ? "mono" : allowed_channels == 4u ? "stereo" : "mono or stereo") +
             " is needed";
    ok = false;
  } else if (info.frames <= 0) {
    *error = "'" + path + "' holds no audio";
    ok = false;
  }
  if (ok) {
    out->rate = info.samplerate;
    out->channels = info.channels;
    out->samples.resize(static_cast<size_t>(info.frames) * info.channels);
    sf_count_t got = sf_readf_short(f, out->samples.data(), info.frames);
    if (got <= 0) {
      *error = "'" + path + "': read failed: " + sf_strerror(f);
      ok = false;
    } else {
      out->samples.resize(static_cast<size_t>(got) * info.channels);
    }
  }
  sf_close(f);
  return ok;
}

bool WritePcm16Wav(const std::string &path, const int16_t *samples, size_t frames, int rate,
                   int channels, std::string *error) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) {
    *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  bool ok = sf_writef_short(f, samples, static_cast<sf_count_t>(frames)) ==
            static_cast<sf_count_t>(frames);
  if (!ok) *error = "'" + path + "': write failed: " + sf_strerror(f);
  sf_close(f);
  return ok;
}

void ExpandToStereo(Pcm *pcm) {
  if (pcm->channels != 1) return;
  std::vector<int16_t> st(pcm->samples.size() * 2);
  for (size_t i = 0; i < pcm->samples.size(); ++i) st[2 * i] = st[2 * i + 1] = pcm->samples[i];
  pcm->samples.swap(st);
  pcm->channels = 2;
}

}  // namespace host
