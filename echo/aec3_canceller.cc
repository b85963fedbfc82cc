// The linear stage on AEC3 of current WebRTC (Debian's libtgowt-dev),
// built into libhxecho_aec3.so with its own copy of WebRTC bound inside it.
// AEC3 brings its own delay estimation, residual-echo suppression and
// comfort noise; it runs with its default configuration, given the far end
// aligned and a stream delay of 0 like the other engine. It has no voice
// detection: every half counts as possible voice, and the residual stage
// after it decides.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "echo/echo_canceller.h"

#include "api/audio/echo_canceller3_config.h"
#include "api/audio/echo_canceller3_factory.h"
#include "modules/audio_processing/include/audio_processing.h"
#include "rtc_base/logging.h"

namespace {

class Aec3Canceller final : public EchoCanceller {
 public:
  const char *Start() {
    rtc::LogMessage::LogToDebug(rtc::LS_NONE);  // AEC3 logs every delay change otherwise
    webrtc::EchoCanceller3Config config;
    apm_ = webrtc::AudioProcessingBuilder()
               .SetEchoControlFactory(std::make_unique<webrtc::EchoCanceller3Factory>(config))
               .Create();
    if (!apm_) return "AEC3's audio processing module cannot be created";
    webrtc::AudioProcessing::Config c;
    c.echo_canceller.enabled = true;
    c.echo_canceller.mobile_mode = false;
    c.high_pass_filter.enabled = false;
    c.noise_suppression.enabled = false;
    c.gain_controller1.enabled = false;
    c.gain_controller2.enabled = false;
    apm_->ApplyConfig(c);
    if (apm_->Initialize() != 0) return "AEC3's audio processing module refuses 16 kHz mono";
    return nullptr;
  }

  void Render(const int16_t *far) override {
    int16_t unused[kEchoHalf];
    apm_->ProcessReverseStream(far, stream_, stream_, unused);
  }

  bool Capture(const int16_t *mic, int16_t *out) override {
    apm_->set_stream_delay_ms(0);
    apm_->ProcessStream(mic, stream_, stream_, out);
    return true;
  }

  // Its 64-sample blocks inside 10 ms frames (measured, and checked by
  // tests/echo_aec3_test.cc).
  int Latency() const override { return 128; }

  void Figures(hx_echo_stats *st) override {
    const webrtc::AudioProcessingStats s = apm_->GetStatistics();
    st->metrics_valid = s.echo_return_loss_enhancement.has_value() ? 1 : 0;
    st->erle_db = int32_t(std::lround(s.echo_return_loss_enhancement.value_or(0)));
    st->erl_db = int32_t(std::lround(s.echo_return_loss.value_or(0)));
    st->a_nlp_db = 0;
    st->delay_median_ms = s.delay_ms.value_or(0);
    st->delay_std_ms = 0;
    st->fraction_poor_delays = 0;
  }

 private:
  rtc::scoped_refptr<webrtc::AudioProcessing> apm_;
  const webrtc::StreamConfig stream_{HX_ECHO_RATE, 1};
};

}  // namespace

extern "C" __attribute__((visibility("default"))) EchoCanceller *hx_echo_aec3_create(
    const hx_echo_settings *, const char **error) {
  Aec3Canceller *c = new (std::nothrow) Aec3Canceller;
  if (!c) {
    *error = "out of memory";
    return nullptr;
  }
  if ((*error = c->Start()) != nullptr) {
    delete c;
    return nullptr;
  }
  return c;
}
