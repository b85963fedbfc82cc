#include "voice_paths.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <cmath>

#include "rig/voice_call.h"

namespace hxtest {

namespace {
constexpr size_t kBlock = kVoiceRate / 100;  // the room filter's 10 ms block
}  // namespace

std::string RoomEcho::Start(const std::vector<float> &response, double clip) {
  Stop();
  clip_ = clip;
  const pa_sample_spec ss = {PA_SAMPLE_FLOAT32LE, uint32_t(kVoiceRate), 1};
  pa_buffer_attr rec_attr = {uint32_t(-1), uint32_t(-1), uint32_t(-1), uint32_t(-1),
                             uint32_t(kBlock * sizeof(float))};
  pa_buffer_attr play_attr = {uint32_t(-1), uint32_t(8 * kBlock * sizeof(float)), uint32_t(-1),
                              uint32_t(-1), uint32_t(-1)};
  int err = 0;
  rec_ = pa_simple_new(nullptr, "hx-room", PA_STREAM_RECORD, "spk.monitor", "room in", &ss,
                       nullptr, &rec_attr, &err);
  if (rec_)
    play_ = pa_simple_new(nullptr, "hx-room", PA_STREAM_PLAYBACK, "micsrc", "room out", &ss,
                          nullptr, &play_attr, &err);
  if (!rec_ || !play_) {
    Stop();
    return std::string("the room's echo cannot open its streams: ") + pa_strerror(err);
  }
  filter_.SetResponse(response);  // planned here, only run on the filter's thread
  quit_ = false;
  thread_ = std::thread([this] { Run(); });
  return "";
}

void RoomEcho::Run() {
  std::vector<float> block(kBlock);
  while (!quit_) {
    if (pa_simple_read(static_cast<pa_simple *>(rec_), block.data(), kBlock * sizeof(float), nullptr) < 0)
      break;
    if (clip_ > 0)
      for (float &v : block) v = float(clip_ * std::tanh(v / clip_));
    filter_.Process(block.data(), int(kBlock));
    if (pa_simple_write(static_cast<pa_simple *>(play_), block.data(), kBlock * sizeof(float), nullptr) < 0)
      break;
  }
}

void RoomEcho::Stop() {
  quit_ = true;
  if (thread_.joinable()) thread_.join();
  if (rec_) pa_simple_free(static_cast<pa_simple *>(rec_));
  if (play_) pa_simple_free(static_cast<pa_simple *>(play_));
  rec_ = play_ = nullptr;
}

const char *EchoPathName(EchoPath p) {
  static const char *const kNames[] = {"(a) loopback 40 ms", "(b) room RT60 0.4 s", "(c) room + soft clip",
                                       "(d) sink switch"};
  return kNames[int(p)];
}

std::string LiveEchoPath::Start() {
  std::string error = daemon_.Start();
  if (!error.empty()) return error;
  if (path_ == EchoPath::kSwitch) {
    std::string sink, echo;
    return daemon_.AddSpeaker("spk2", 80, &sink, &echo);
  }
  if (path_ == EchoPath::kLoopback) return "";
  // The room replaces the loopback.
  const std::string loopback = daemon_.LaunchModule("module-loopback");
  if (loopback.empty() || daemon_.Pactl("unload-module " + loopback) != 0)
    return "cannot unload the echo loopback";
  // Direct path 3 dB over the reverberation; the clip at about the near
  // end's speech level (its loud syllables, -20 dBFS).
  return room_.Start(hxsim::ReverberantRoom(0.4, kVoiceRate, 3, 1), path_ == EchoPath::kClippedRoom ? 0.1 : 0);
}

}  // namespace hxtest
