#include "rig/voice_call.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "rig/signal_check.h"
#include "rig/speech.h"

namespace hxtest {

namespace {
constexpr size_t kBlock = kVoiceRate / 100;  // 10 ms
const size_t kTimeline = size_t(voice_metrics::kConversationSeconds * kVoiceRate);
}  // namespace

std::vector<float> PcmToFloat(const std::vector<int16_t> &x, size_t from) {
  std::vector<float> y;
  for (size_t i = from; i < x.size(); ++i) y.push_back(float(x[i] / 32768.0));
  return y;
}

std::vector<int16_t> FloatToPcm(const std::vector<float> &x) {
  std::vector<int16_t> y(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    y[i] = int16_t(std::clamp(std::lround(x[i] * 32768.0), -32768L, 32767L));
  return y;
}

std::string LoadConversation(ConversationSignals *c) {
  for (auto [path, to] : {std::pair{"/tests/data/far_talker16k.wav", &c->far},
                          std::pair{"/tests/data/near_talker16k.wav", &c->near}}) {
    *to = ReadMono(std::string(HX_SOURCE_DIR) + path, kVoiceRate);
    if (to->size() != kTimeline)
      return std::string("cannot read ") + HX_SOURCE_DIR + path + " (22 s, 16 kHz mono)";
  }
  // Room noise at -50 dBFS throughout, the same in every call.
  std::mt19937 rng(23);
  std::normal_distribution<double> noise(0, 32768 * std::pow(10, -50 / 20.0));
  for (int16_t &v : c->near) v = int16_t(std::clamp(std::lround(v + noise(rng)), -32768L, 32767L));
  return "";
}

const char kCannotLineUp[] = "the call cannot be lined up: ";

std::string OnTimeline(const ConversationSignals &c, const std::vector<int16_t> &mic_raw,
                       VoiceRecording *r) {
  const std::vector<float> near = PcmToFloat(c.near), mic = PcmToFloat(mic_raw);
  // The near end talks alone from 9 to 13 s.
  const long lag = voice_metrics::AlignByCorrelation(near.data(), near.size(), mic.data(), mic.size(),
                                                     size_t(9.2 * kVoiceRate), size_t(12.8 * kVoiceRate),
                                                     long(1.5 * kVoiceRate), &r->near_ncc);
  const std::string ncc = std::to_string(r->near_ncc).substr(0, 4);
  const long ms = lag * 1000 / long(kVoiceRate);
  if (r->near_ncc < 0.9)
    return kCannotLineUp + std::string("the near end was not found in the microphone's recording ") +
           "(best correlation " + ncc + ")";
  if (lag < 0)
    return kCannotLineUp + std::string("the near end was found ") + std::to_string(-ms) +
           " ms before the recording's expected start (correlation " + ncc + ")";
  if (size_t(lag) + kTimeline > mic.size())
    return kCannotLineUp + std::string("the microphone's recording ends ") +
           std::to_string((long(lag) + long(kTimeline) - long(mic.size())) * 1000 / long(kVoiceRate)) +
           " ms before the call does (near end found " + std::to_string(ms) + " ms in, correlation " +
           ncc + ")";
  r->offset = lag;
  r->mic.assign(mic.begin() + lag, mic.begin() + lag + long(kTimeline));
  // Its level at the microphone, as the least-squares fit there.
  double xy = 0, xx = 0;
  for (size_t i = size_t(9.2 * kVoiceRate); i < size_t(12.8 * kVoiceRate); ++i)
    xy += double(r->mic[i]) * near[i], xx += double(near[i]) * near[i];
  const double gain = xx > 0 ? xy / xx : 1;
  r->near.resize(kTimeline);
  r->echo.resize(kTimeline);
  for (size_t i = 0; i < kTimeline; ++i) {
    r->near[i] = float(gain * near[i]);
    r->echo[i] = r->mic[i] - r->near[i];
  }
  r->far = PcmToFloat(c.far);
  // The microphone's own recording must measure: a path that broke up can
  // leave it without a frame in one of the stretches the metrics need (seen
  // on PipeWire).
  const voice_metrics::VoiceMetrics m = voice_metrics::MeasureVoice(
      LiveTimeline(), r->near.data(), r->echo.data(), kTimeline, r->mic.data(), kTimeline, kVoiceRate);
  if (!m.valid)
    return kCannotLineUp + std::string("the microphone's recording does not measure (frames of ") +
           "background " + std::to_string(m.background_frames) + ", far end " +
           std::to_string(m.far_frames) + ", double talk " + std::to_string(m.double_talk_frames) +
           ", near end " + std::to_string(m.near_frames) + ", near correlation " +
           std::to_string(m.near_correlation).substr(0, 4) + ")";
  return "";
}

voice_metrics::VoiceTimeline LiveTimeline() {
  voice_metrics::VoiceTimeline tl = voice_metrics::Conversation();
  tl.max_lag_s = 1.5;
  return tl;
}

voice_metrics::VoiceMetrics MeasureRecording(const VoiceRecording &r,
                                             const voice_metrics::VoiceTimeline &tl) {
  return voice_metrics::MeasureVoice(tl, r.near.data(), r.echo.data(), r.near.size(), r.out.data(),
                                     r.out.size(), kVoiceRate);
}

std::string StartNearEnd(SimpleStream &talker, MicRecording &mic, const ConversationSignals &c,
                         size_t *at) {
  // The talker goes on past the timeline with its room noise (the first
  // seconds hold nothing else) while the recordings catch up.
  std::vector<int16_t> near = c.near;
  near.insert(near.end(), c.near.begin(), c.near.begin() + 4 * kVoiceRate);
  const size_t from = mic.mic->received();
  std::string error = talker.Play("micsrc", kVoiceRate, 1, near, 40);
  if (!error.empty()) return "cannot play the near end: " + error;
  const double floor = 32768 * std::pow(10, -70 / 20.0);
  // The first 10 ms block above -70 dBFS, however late this thread looks.
  const bool heard = WaitFor([&] {
    const std::vector<int16_t> rec = mic.Recorded();
    for (size_t b = from; b + kBlock <= rec.size(); b += kBlock) {
      double sum = 0;
      for (size_t i = b; i < b + kBlock; ++i) sum += double(rec[i]) * rec[i];
      if (std::sqrt(sum / kBlock) > floor) return *at = b, true;
    }
    return false;
  }, 5);
  return heard ? "" : "the near end did not reach the microphone within 5 s";
}

std::string RunModuleCall(const PulseDaemon &daemon, bool sink_switch, host::ModuleApi &api,
                          const ConversationSignals &c, VoiceRecording *r) {
  EchoHost host;
  host.far = c.far;
  host.far.resize(c.far.size() + 8 * kVoiceRate, 0);  // never loops within the call
  api.SetDownComCallBackPtr(reinterpret_cast<void *>(&EchoHost::Capture), &host,
                            reinterpret_cast<void *>(&EchoHost::Play), &host);
  api.SetAecMode(1);
  api.SetMicroCapture(1);
  // What the loudspeakers played, recorded beside the microphone: the
  // render tap of the offline cancellers (the module paces the far end by
  // its own clock, so its source signal drifts against the echo).
  SimpleStream mic_stream, talker, speakers[2];
  MicRecording mic{&mic_stream, {}};
    std::string error = mic_stream.Record("mic", kVoiceRate, 1);
  if (error.empty()) error = speakers[0].Record("spk.monitor", kVoiceRate, 1);
  if (error.empty() && sink_switch) error = speakers[1].Record("spk2.monitor", kVoiceRate, 1);
  if (!error.empty()) return "cannot record the microphone or the speakers: " + error;
  if (api.Init() != 0) return "the module did not start";
  const size_t end = kTimeline + size_t(1.6 * kVoiceRate);
  // Microphone, upstream and speaker samples when the timeline starts.
  size_t m0 = 0, u0 = 0, s0[2] = {0, 0};
  if (!WaitFor([&] { return host.blocks >= 5; }, 15))
    error = "no upstream audio within 15 s of the start";
  if (error.empty()) error = StartNearEnd(talker, mic, c, &m0);
  if (error.empty()) {
    host.far_on = true;
    u0 = host.UpFrames() / 3;
    for (int k = 0; k < 2; ++k) s0[k] = speakers[k].received();
    if (sink_switch) {
      WaitFor([&] { return mic_stream.received() >= m0 + size_t(kSwitchAt * kVoiceRate); }, 60);
      daemon.Pactl("set-default-sink spk2");
    }
    if (!WaitFor([&] { return mic_stream.received() >= m0 + end && host.UpFrames() / 3 >= u0 + end; },
                 90))
      error = "the call's recordings did not reach its end within 90 s";
  }
  talker.Stop();
  api.DeInit();
  const std::vector<int16_t> mic_raw = mic.Recorded();
  mic_stream.Stop();
  std::vector<int16_t> played[2];
  for (int k = 0; k < 2; ++k) played[k] = speakers[k].Take(), speakers[k].Stop();
  daemon.Pactl("set-default-sink spk");
  if (!error.empty()) return error;
  // The near end came in at m0 (within a block): it is looked for from
  // half a second earlier.
  const long from = long(m0) - long(std::min(m0, size_t(kVoiceRate / 2)));
  const std::string off = OnTimeline(c, std::vector<int16_t>(mic_raw.begin() + from, mic_raw.end()), r);
  if (!off.empty()) return off;
  // The speakers' recordings on the timeline as the microphone's (their
  // streams started within milliseconds of it), summed.
  r->far.assign(kTimeline, 0.f);
  for (int k = 0; k < 2; ++k)
    for (size_t i = 0; i < kTimeline; ++i) {
      const long at = long(s0[k]) - (long(m0) - from) + r->offset + long(i);
      if (at >= 0 && size_t(at) < played[k].size()) r->far[i] += float(played[k][at] / 32768.0);
    }
  // The upstream audio from the timeline's start, 48 kHz stereo to 16 kHz
  // mono (the module's conversion keeps the 16 kHz values).
  r->out = PcmToFloat(Channel(host.Up(), 2, 0, 3), u0);
  return "";
}

}  // namespace hxtest
