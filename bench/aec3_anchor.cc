// aec3_anchor: current WebRTC's echo canceller (AEC3 in AudioProcessing,
// default configuration, nothing else of the pipeline on) run offline on a
// recording, as an anchor for voice_quality. Its own program because the
// library wants C++20 and its own defines.
//
//   aec3_anchor RENDER.wav CAPTURE.wav OUT.wav
//
// RENDER: what the loudspeaker played, CAPTURE: the microphone, both mono
// 16-bit at one rate (16 or 48 kHz); OUT: the cancelled microphone, same
// format. Exit 0 when written, 1 with one line on stderr otherwise.
#include <sndfile.h>
#include <stdio.h>

#include <vector>

#include "modules/audio_processing/include/audio_processing.h"

namespace {

std::vector<int16_t> Read(const char *path, int *rate) {
  SF_INFO info = {};
  SNDFILE *f = sf_open(path, SFM_READ, &info);
  std::vector<int16_t> x;
  if (f && info.channels == 1) {
    x.resize(size_t(info.frames));
    if (sf_read_short(f, x.data(), info.frames) != info.frames) x.clear();
    *rate = info.samplerate;
  }
  if (f) sf_close(f);
  return x;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: aec3_anchor RENDER.wav CAPTURE.wav OUT.wav\n");
    return 2;
  }
  int render_rate = 0, rate = 0;
  const std::vector<int16_t> render = Read(argv[1], &render_rate), capture = Read(argv[2], &rate);
  if (render.empty() || capture.empty() || rate != render_rate || (rate != 16000 && rate != 48000)) {
    fprintf(stderr, "aec3_anchor: need two mono 16-bit WAVs at one rate, 16 or 48 kHz\n");
    return 1;
  }
  rtc::scoped_refptr<webrtc::AudioProcessing> apm = webrtc::AudioProcessingBuilder().Create();
  webrtc::AudioProcessing::Config config;
  config.echo_canceller.enabled = true;
  apm->ApplyConfig(config);
  const webrtc::StreamConfig stream(rate, 1);
  const size_t block = size_t(rate / 100);
  std::vector<int16_t> out(capture.size(), 0), far(block), scratch(block);
  for (size_t at = 0; at + block <= capture.size(); at += block) {
    for (size_t i = 0; i < block; ++i) far[i] = at + i < render.size() ? render[at + i] : 0;
    if (apm->ProcessReverseStream(far.data(), stream, stream, scratch.data()) != 0 ||
        apm->ProcessStream(capture.data() + at, stream, stream, out.data() + at) != 0) {
      fprintf(stderr, "aec3_anchor: processing failed at sample %zu\n", at);
      return 1;
    }
  }
  SF_INFO info = {};
  info.samplerate = rate, info.channels = 1, info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(argv[3], SFM_WRITE, &info);
  if (!f || sf_write_short(f, out.data(), sf_count_t(out.size())) != sf_count_t(out.size())) {
    fprintf(stderr, "aec3_anchor: cannot write %s\n", argv[3]);
    if (f) sf_close(f);
    return 1;
  }
  sf_close(f);
  return 0;
}
