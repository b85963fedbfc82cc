#include "offline_systems.h"

#include <sndfile.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <stdlib.h>

#include <algorithm>

#include "dsp/ns_agc.h"
#include "echo/echo_recording.h"
#include "echo/hx_echo.h"
#include "rig/shell.h"
#include "rig/signal_check.h"

// WebRTC's voice detector, exported by webrtc-audio-processing 0.3 without
// a header. Mode 2 is what its AudioProcessing runs for "low likelihood",
// the voice detection's default, which the voice path keeps.
extern "C" {
typedef struct WebRtcVadInst VadInst;
VadInst *WebRtcVad_Create(void);
void WebRtcVad_Free(VadInst *handle);
int WebRtcVad_Init(VadInst *handle);
int WebRtcVad_set_mode(VadInst *handle, int mode);
int WebRtcVad_Process(VadInst *handle, int fs, const int16_t *audio_frame, size_t frame_length);
}

namespace hxtest {

namespace {
constexpr int kSpeexTail = kVoiceRate * 3 / 10;
constexpr int kLowLikelihoodMode = 2;
}  // namespace

std::vector<int16_t> RenderTap(const VoiceRecording &r, long *echo_delay) {
  double ncc = 0;
  const long delay = voice_metrics::AlignByCorrelation(
      r.far.data(), r.far.size(), r.echo.data(), r.echo.size(), size_t(4.2 * kVoiceRate),
      size_t(8.8 * kVoiceRate), kVoiceRate, &ncc);
  if (echo_delay) *echo_delay = delay;
  const long shift = delay - kVoiceRate / 100;
  std::vector<float> tap(r.far.size(), 0.f);
  for (long i = 0; i < long(tap.size()); ++i)
    if (i - shift >= 0 && i - shift < long(r.far.size())) tap[size_t(i)] = r.far[size_t(i - shift)];
  return FloatToPcm(tap);
}

std::vector<float> RunSpeex(const VoiceRecording &r) {
  const std::vector<int16_t> far = RenderTap(r), mic = FloatToPcm(r.mic);
  const int block = kVoiceRate / 100;
  SpeexEchoState *echo = speex_echo_state_init(block, kSpeexTail);
  SpeexPreprocessState *pre = speex_preprocess_state_init(block, kVoiceRate);
  int rate = kVoiceRate;
  speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
  std::vector<int16_t> out(mic.size(), 0);
  for (size_t at = 0; at + size_t(block) <= mic.size(); at += size_t(block)) {
    speex_echo_cancellation(echo, mic.data() + at, far.data() + at, out.data() + at);
    speex_preprocess_run(pre, out.data() + at);
  }
  speex_preprocess_state_destroy(pre);
  speex_echo_state_destroy(echo);
  return PcmToFloat(out);
}

std::vector<float> RunComponent(const VoiceRecording &r, const ComponentFeed &feed, std::string *error,
                                hx_echo_stats *stats, VoiceMarks *marks) {
  long delay = 0;
  RenderTap(r, &delay);
  const std::vector<int16_t> far = FloatToPcm(r.far), mic = FloatToPcm(r.mic);
  const char *why = nullptr;
  hx_echo *e = hx_echo_create(nullptr, &why);
  if (!e) return *error = std::string("the echo component: ") + (why ? why : "?"), std::vector<float>();
  // The far end handed over `ahead` before it plays; the echo comes `delay`
  // after it plays, of which `unreported` the stream delay does not show.
  const size_t ahead = size_t(feed.ahead_ms) * kVoiceRate / 1000;
  const long reported = delay + long(ahead) - long(feed.unreported_ms) * kVoiceRate / 1000;
  const int32_t delay_ms = int32_t(std::max(0L, reported) * 1000 / kVoiceRate);
  std::vector<float> out(mic.size(), 0.f);
  for (size_t at = 0; at + HX_ECHO_BLOCK <= mic.size(); at += HX_ECHO_BLOCK) {
    int16_t stereo[2 * HX_ECHO_BLOCK], block[HX_ECHO_BLOCK];
    for (size_t i = 0; i < HX_ECHO_BLOCK; ++i) {
      const size_t j = at + i + ahead;
      stereo[2 * i] = stereo[2 * i + 1] = j < far.size() ? far[j] : 0;
    }
    hx_echo_reverse(e, stereo, HX_ECHO_REVERSE_FRAMES);
    hx_echo_reverse(e, stereo + 2 * HX_ECHO_REVERSE_FRAMES, HX_ECHO_REVERSE_FRAMES);
    int32_t voice = 0;
    hx_echo_capture(e, mic.data() + at, HX_ECHO_BLOCK, delay_ms, block, &voice);
    for (size_t i = 0; i < HX_ECHO_BLOCK; ++i) out[at + i] = block[i] / 32768.0f;
    if (marks) marks->push_back(voice != 0);
  }
  if (stats) hx_echo_get_stats(e, stats);
  hx_echo_destroy(e);
  return out;
}

std::vector<float> ReplayLiveFeed(const std::string &path, std::vector<float> *mic, std::vector<float> *live,
                                  std::string *error, hx_echo_stats *stats, VoiceMarks *marks) {
  EchoRecordingReader reader;
  if (!reader.Open(path.c_str())) return *error = path + " is no recording", std::vector<float>();
  const char *why = nullptr;
  hx_echo *e = hx_echo_create(nullptr, &why);
  if (!e) return *error = std::string("the echo component: ") + (why ? why : "?"), std::vector<float>();
  std::vector<float> out;
  RecordedBlock b;
  int16_t block[HX_ECHO_BLOCK];
  while (reader.Next(&b) == 1) {
    int32_t voice = 0;
    ReplayRecordedBlock(e, b, block, &voice);
    if (marks) marks->push_back(voice != 0);
    for (int i = 0; i < HX_ECHO_BLOCK; ++i) {
      out.push_back(block[i] / 32768.0f);
      mic->push_back(b.mic[i] / 32768.0f);
      live->push_back(b.out[i] / 32768.0f);
    }
  }
  if (stats) hx_echo_get_stats(e, stats);
  hx_echo_destroy(e);
  if (out.empty()) *error = path + " holds no block";
  return out;
}

VoiceMarks DetectVoice(const std::vector<float> &x) {
  const std::vector<int16_t> pcm = FloatToPcm(x);
  VoiceMarks marks(pcm.size() / HX_ECHO_BLOCK, 0);
  VadInst *vad = WebRtcVad_Create();
  if (!vad || WebRtcVad_Init(vad) != 0 || WebRtcVad_set_mode(vad, kLowLikelihoodMode) != 0) {
    WebRtcVad_Free(vad);
    return VoiceMarks(marks.size(), 1);  // no detector: every block, as a chain without marks
  }
  constexpr size_t kHalf = HX_ECHO_BLOCK / 2;
  for (size_t b = 0; b < marks.size(); ++b)
    for (size_t h = 0; h < 2; ++h)
      marks[b] |= WebRtcVad_Process(vad, kVoiceRate, pcm.data() + b * HX_ECHO_BLOCK + h * kHalf, kHalf) == 1;
  WebRtcVad_Free(vad);
  return marks;
}

std::vector<float> Chain(const std::vector<float> &x, const VoiceMarks &voice) {
  std::vector<int16_t> pcm = FloatToPcm(x);
  ns_create();
  agc_create(16000);
  int16_t cleaned[HX_ECHO_BLOCK];
  for (size_t at = 0; at + HX_ECHO_BLOCK <= pcm.size(); at += HX_ECHO_BLOCK) {
    ns_process(pcm.data() + at, 2 * HX_ECHO_BLOCK, cleaned);
    const size_t b = at / HX_ECHO_BLOCK;
    if (b < voice.size() && voice[b])
      agc_process(cleaned, 2 * HX_ECHO_BLOCK, pcm.data() + at, 2 * HX_ECHO_BLOCK);
    else
      std::copy(cleaned, cleaned + HX_ECHO_BLOCK, pcm.data() + at);
  }
  agc_free();
  ns_free();
  return PcmToFloat(pcm);
}

bool WriteWav(const std::string &path, const std::vector<int16_t> &x) {
  SF_INFO info = {};
  info.samplerate = kVoiceRate, info.channels = 1, info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  const bool ok = f && sf_write_short(f, x.data(), sf_count_t(x.size())) == sf_count_t(x.size());
  if (f) sf_close(f);
  return ok;
}

// AEC3 runs in its own program, on WAVs in a scratch folder.
std::vector<float> RunAec3(const std::string &anchor, const VoiceRecording &r, std::string *error) {
  char tmpl[] = "/tmp/hx-voice-XXXXXX";
  if (!mkdtemp(tmpl)) return *error = "cannot make a scratch folder", std::vector<float>();
  const std::string dir = tmpl;
  std::vector<float> out;
  if (WriteWav(dir + "/render.wav", RenderTap(r)) && WriteWav(dir + "/mic.wav", FloatToPcm(r.mic))) {
    int status = -1;
    const std::string text = Shell(anchor + " " + dir + "/render.wav " + dir +
                                   "/mic.wav " + dir + "/out.wav", &status);
    SF_INFO info = {};
    if (status == 0) out = PcmToFloat(ReadWav(dir + "/out.wav", &info));
    else *error = "aec3_anchor failed: " + text;
  } else {
    *error = "cannot write the recordings for aec3_anchor";
  }
  int status;
  Shell("rm -rf " + dir, &status);
  return out;
}

}  // namespace hxtest
