#include "wav_io.h"

#include <sndfile.h>
#include <soxr.h>

#include <cmath>

namespace host {

namespace {

std::string Layout(int rate, int channels) {
  return std::to_string(rate) + " Hz " +
         (channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels");
}

// Interleaved `from` channels -> `to` (1 or 2) channels.
std::vector<int16_t> MixChannels(const std::vector<int16_t> &in, int from, int to) {
  const size_t frames = in.size() / from;
  std::vector<int16_t> out(frames * to);
  for (size_t f = 0; f < frames; ++f) {
    const int16_t *x = &in[f * from];
    if (to == 1) {
      long sum = 0;
      for (int c = 0; c < from; ++c) sum += x[c];
      out[f] = static_cast<int16_t>(sum / from);
    } else {
      out[2 * f] = x[0];
      out[2 * f + 1] = from == 1 ? x[0] : x[1];
    }
  }
  return out;
}

bool Resample(Pcm *pcm, int rate, std::string *error) {
  const size_t in_frames = pcm->frames();
  const size_t out_frames = static_cast<size_t>(
      std::ceil(double(in_frames) * rate / pcm->rate));
  std::vector<int16_t> out(out_frames * pcm->channels);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  size_t done = 0;
  const soxr_error_t e = soxr_oneshot(pcm->rate, rate, pcm->channels, pcm->samples.data(),
                                      in_frames, nullptr, out.data(), out_frames, &done, &io,
                                      &quality, nullptr);
  if (e) {
    *error = std::string("resampling failed: ") + e;
    return false;
  }
  out.resize(done * pcm->channels);
  pcm->samples.swap(out);
  pcm->rate = rate;
  return true;
}

}  // namespace

bool ReadPcm(const std::string &path, int rate, unsigned allowed_channels, Pcm *out,
             std::string *converted, std::string *error) {
  converted->clear();
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  bool ok = true;
  if (info.frames <= 0 || info.channels < 1) {
    *error = "'" + path + "' holds no audio";
    ok = false;
  } else {
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
  if (!ok) return false;
  const std::string before = Layout(out->rate, out->channels);
  const bool channels_ok = out->channels <= 2 && (allowed_channels & (1u << out->channels));
  if (!channels_ok) {
    const int to = (allowed_channels & 4u) && (out->channels > 2 || !(allowed_channels & 2u)) ? 2 : 1;
    out->samples = MixChannels(out->samples, out->channels, to);
    out->channels = to;
  }
  if (out->rate != rate && !Resample(out, rate, error)) {
    *error = "'" + path + "': " + *error;
    return false;
  }
  if (!channels_ok || before != Layout(out->rate, out->channels))
    *converted = "converted '" + path + "' from " + before + " to " + Layout(out->rate, out->channels);
  return true;
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
