// WAV reading and writing through libsndfile.
#ifndef HX_HOST_WAV_IO_H
#define HX_HOST_WAV_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Pcm {
  std::vector<int16_t> samples;  // interleaved
  int rate = 0;
  int channels = 0;
  size_t frames() const { return channels ? samples.size() / channels : 0; }
  double seconds() const { return rate ? double(frames()) / rate : 0; }
};

// Reads a sound file as `rate` Hz with a channel count in
// `allowed_channels` (a mask: bit 1 mono, bit 2 stereo), converting what
// differs: channels first (mono is the average of all channels; stereo from
// mono duplicates it, from more channels keeps the first two), then the
// rate (libsoxr, high quality). *converted gets one line saying what was
// converted, "" when nothing was. False with a one-line reason in *error.
bool ReadPcm(const std::string &path, int rate, unsigned allowed_channels, Pcm *out,
             std::string *converted, std::string *error);

// Writes 16-bit PCM WAV. False with a reason in *error.
bool WritePcm16Wav(const std::string &path, const int16_t *samples, size_t frames, int rate,
                   int channels, std::string *error);

// Mono -> stereo by duplication; stereo stays as it is.
void ExpandToStereo(Pcm *pcm);

}  // namespace host

#endif
