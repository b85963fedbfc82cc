// Real speech for the tests: WAV reading and the 16 -> 48 kHz stretch whose
// reduction by the module's play thread gives the original back.
#ifndef HX_RIG_SPEECH_H
#define HX_RIG_SPEECH_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

// A 16-bit WAV of the given rate, mono; empty when it cannot be read as one.
inline std::vector<int16_t> ReadMono(const std::string &path, int rate = 16000) {
  SF_INFO info = {};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<int16_t> s;
  if (f && info.samplerate == rate && info.channels == 1) {
    s.resize(static_cast<size_t>(info.frames));
    if (sf_read_short(f, s.data(), info.frames) != info.frames) s.clear();
  }
  if (f) sf_close(f);
  return s;
}

// 16 kHz to 48 kHz by repeating each sample three times: the module's
// far-end reduction (every third value) gives the 16 kHz signal back exactly.
inline std::vector<int16_t> Triple(const std::vector<int16_t> &x) {
  std::vector<int16_t> y;
  y.reserve(3 * x.size());
  for (int16_t v : x) y.insert(y.end(), 3, v);
  return y;
}

#endif  // HX_RIG_SPEECH_H
