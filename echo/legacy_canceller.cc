// The linear stage on webrtc::AudioProcessing (webrtc-audio-processing 0.3)
// with the echo canceller and voice detection on; the dependency's own noise
// suppression, gain control and high-pass filter stay off because the module
// cleans the microphone itself afterwards. It is given a stream delay of 0:
// the far end arrives aligned, so its own delay logic never moves.
#include <algorithm>
#include <new>

#include "echo/echo_canceller.h"
#include "echo/legacy_aec_exports.h"
#include "echo/legacy_suppression_depth.h"

// The dependency keys its extra options (extended filter, delay-agnostic
// mode) by the address of a static inside an inline template. Those statics
// must bind to the library's own copies, so they keep default visibility
// here, and a library that links this component must not hide them either
// (sim/hxsim.map). Create checks that the options arrived.
#pragma GCC visibility push(default)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "webrtc/common.h"
#include "webrtc/modules/audio_processing/include/audio_processing.h"
#include "webrtc/modules/interface/module_common_types.h"
#pragma GCC diagnostic pop
#pragma GCC visibility pop

namespace {

webrtc::EchoCancellation::SuppressionLevel Level(int32_t suppression) {
  return static_cast<webrtc::EchoCancellation::SuppressionLevel>(
      std::min<int32_t>(HX_ECHO_SUPPRESSION_HIGH, std::max<int32_t>(0, suppression)));
}

class LegacyCanceller final : public EchoCanceller {
 public:
  ~LegacyCanceller() override {
    SuppressionDepthRelease(depth_);
    delete apm_;
  }

  // nullptr, or why the dependency refused.
  const char *Start(const hx_echo_settings &s) {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(s.extended_filter != 0));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(s.delay_agnostic != 0));
    apm_ = webrtc::AudioProcessing::Create(config);
    if (!apm_) return "the audio processing module cannot be created";
    if (apm_->Initialize(HX_ECHO_RATE, HX_ECHO_RATE, HX_ECHO_RATE, webrtc::AudioProcessing::kMono,
                         webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kMono) != 0)
      return "the audio processing module refuses 16 kHz mono";
    webrtc::EchoCancellation *ec = apm_->echo_cancellation();
    if (ec->enable_drift_compensation(false) != 0 || ec->set_suppression_level(Level(s.suppression)) != 0 ||
        ec->enable_metrics(true) != 0 || ec->enable_delay_logging(true) != 0 || ec->Enable(true) != 0)
      return "the echo canceller refuses its settings";
    webrtc::VoiceDetection *vad = apm_->voice_detection();
    if (vad->set_frame_size_ms(10) != 0 || vad->Enable(true) != 0)
      return "voice detection refuses its settings";
    if (apm_->noise_suppression()->Enable(false) != 0 || apm_->gain_control()->Enable(false) != 0 ||
        apm_->high_pass_filter()->Enable(false) != 0)
      return "the dependency's own cleaning cannot be turned off";
    // Options keyed by another copy of the option statics would be lost
    // silently; refuse to run without them.
    AecCore *core = ec->aec_core();
    if (!core || WebRtcAec_extended_filter_enabled(core) != (s.extended_filter != 0) ||
        WebRtcAec_delay_agnostic_enabled(core) != (s.delay_agnostic != 0))
      return "the extended-filter and delay-agnostic settings did not reach the echo canceller";
    depth_ = SuppressionDepthRegister(core);  // none: the library's own suppression throughout
    return nullptr;
  }

  void Render(const int16_t *far) override {
    std::copy(far, far + kEchoHalf, far_.data_);
    Shape(&far_);
    apm_->ProcessReverseStream(&far_);
  }

  void SetSuppressionDepth(float depth) override { SuppressionDepthSet(depth_, depth); }
  float LinearMeanSquare() override { return SuppressionDepthTakeLinear(depth_); }
  bool EngineKept(float *kept) override {
    static_assert(kEngineKeptBands == kAecBins, "the engine's bins are the bands");
    return SuppressionDepthTakeKept(depth_, kept);
  }

  bool Capture(const int16_t *mic, int16_t *out) override {
    std::copy(mic, mic + kEchoHalf, near_.data_);
    Shape(&near_);
    apm_->set_stream_delay_ms(0);
    apm_->ProcessStream(&near_);
    std::copy(near_.data_, near_.data_ + kEchoHalf, out);
    return apm_->voice_detection()->stream_has_voice();
  }

  // Its 64-sample blocks inside 10 ms frames (measured, and checked by
  // tests/echo_component_test.cc).
  int Latency() const override { return 112; }

  void Figures(hx_echo_stats *st) override {
    st->metrics_valid = st->erle_db = st->erl_db = st->a_nlp_db = 0;
    st->delay_median_ms = st->delay_std_ms = 0;
    st->fraction_poor_delays = 0;
    webrtc::EchoCancellation *ec = apm_->echo_cancellation();
    webrtc::EchoCancellation::Metrics m;
    if (ec->GetMetrics(&m) == 0) {
      st->metrics_valid = 1;
      st->erle_db = m.echo_return_loss_enhancement.average;
      st->erl_db = m.echo_return_loss.average;
      st->a_nlp_db = m.a_nlp.average;
    }
    int median = 0, spread = 0;
    float poor = 0;
    if (ec->GetDelayMetrics(&median, &spread, &poor) == 0) {
      st->delay_median_ms = median;
      st->delay_std_ms = spread;
      st->fraction_poor_delays = poor;
    }
  }

 private:
  static void Shape(webrtc::AudioFrame *f) {
    f->sample_rate_hz_ = HX_ECHO_RATE;
    f->num_channels_ = 1;
    f->samples_per_channel_ = kEchoHalf;
  }

  webrtc::AudioProcessing *apm_ = nullptr;
  SuppressionDepth *depth_ = nullptr;
  webrtc::AudioFrame near_, far_;
};

}  // namespace

EchoCanceller *CreateLegacyCanceller(const hx_echo_settings &s, const char **error) {
  LegacyCanceller *c = new (std::nothrow) LegacyCanceller;
  if (!c) {
    *error = "out of memory";
    return nullptr;
  }
  if ((*error = c->Start(s)) != nullptr) {
    delete c;
    return nullptr;
  }
  return c;
}
