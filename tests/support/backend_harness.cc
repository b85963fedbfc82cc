#include "support/backend_harness.h"

#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "backends/api/tovan_dll.h"
#include "engine/hx_aec_impl.h"

int16_t FakeHost::Sample(int stream, int j) {
  // Distinct per stream and position, large enough that sums saturate.
  static const int16_t kBase[4] = {30000, -9000, 10000, -32768};
  int v = kBase[stream] / 2 + ((j * (7 + 13 * stream)) % 2001) * (stream % 2 ? -8 : 8);
  if (j % 6 == 0) v = kBase[stream];
  return (int16_t)(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

int32_t FakeHost::Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
  FakeHost *h = static_cast<FakeHost *>(ctx);
  while (h->block_play.load()) {
    h->play_blocked.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  h->play_blocked.store(false);
  for (int j = 0; j < len / 2; ++j) buf[j] = Sample(stream, j);
  h->play_calls.fetch_add(1);
  return h->result[stream].load();
}

int32_t FakeHost::Capture(void *ctx, int16_t *, int32_t) {
  static_cast<FakeHost *>(ctx)->capture_calls.fetch_add(1);
  return 0;
}

std::vector<std::string> CallLog(bool with_devices) {
  size_t need = hxsim_call_log(nullptr, 0);
  std::string buf(need + 1, '\0');
  hxsim_call_log(&buf[0], buf.size());
  buf.resize(strlen(buf.c_str()));
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < buf.size()) {
    size_t end = buf.find('\n', pos);
    if (end == std::string::npos) end = buf.size();
    std::string line = buf.substr(pos, end - pos);
    bool device = line.rfind("MMDevApi_", 0) == 0 || line.rfind("Rtl", 0) == 0;
    if (!line.empty() && (with_devices || !device)) out.push_back(line);
    pos = end + 1;
  }
  return out;
}

int IndexOf(const std::vector<std::string> &v, const std::string &what, int from) {
  for (int i = from < 0 ? 0 : from; i < (int)v.size(); ++i)
    if (v[i] == what) return i;
  return -1;
}

std::vector<std::string> LinesWith(const std::string &text, const std::string &needle) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (line.find(needle) != std::string::npos) out.push_back(line);
    pos = end + 1;
  }
  return out;
}

hxsim_status SimStatus() {
  hxsim_status st;
  hxsim_get_status(&st);
  return st;
}

std::vector<std::string> EngineThreads() {
  std::vector<std::string> names;
  DIR *d = opendir("/proc/self/task");
  if (!d) return names;
  while (dirent *ent = readdir(d)) {
    if (ent->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + ent->d_name + "/comm");
    std::string name;
    std::getline(f, name);
    if (name == "hx-mix" || name == "hx-play" || name == "hx-monitor") names.push_back(name);
  }
  closedir(d);
  return names;
}

void WarmWorldThreads() {
  tovan_init([](uint8_t *, int32_t) {});
  tovan_uninit();
}

std::string LeftRunning(int quiet_ms) {
  std::ostringstream what;
  hxsim_status st = SimStatus();
  if (st.brisa_initialised || st.brisa_started) what << "voice path running; ";
  if (st.mirel_running) what << "plain capture running; ";
  if (st.tovan_running) what << "system audio running; ";
  if (hxsim_brisa_loaded()) what << "voice path loaded; ";
  if (!EngineThreads().empty()) what << EngineThreads().size() << " engine threads; ";
  if (hxsim_device_objects_alive()) what << "device objects alive; ";
  std::this_thread::sleep_for(std::chrono::milliseconds(quiet_ms));
  hxsim_status later = SimStatus();
  if (later.mic_blocks != st.mic_blocks || later.sys_blocks != st.sys_blocks ||
      later.play_requests != st.play_requests)
    what << "callbacks still arriving; ";
  return what.str();
}

void EngineTest::SetUp() {
  hxsim_reset();
  hxsim_set_manual(1);
  log_.reset(new LogCapture);
}

void EngineTest::TearDown() {
  Stop();
  std::string text = log_->Text();
  log_.reset();
  if (HasFailure()) {
    std::string tail = text.size() > 20000 ? text.substr(text.size() - 20000) : text;
    fprintf(stderr, "---- module log (tail) ----\n%s\n", tail.c_str());
  }
}

void EngineTest::Create() {
  e_ = new Hx_AEC_Impl;
  e_->SetDownComCallBackPtr((void *)&FakeHost::Capture, &host_, (void *)&FakeHost::Play,
                            &host_);
}

void EngineTest::Start() {
  if (!e_) Create();
  e_->Init();
}

void EngineTest::Stop() {
  if (!e_) return;
  e_->DeInit();
  delete e_;
  e_ = nullptr;
}

void EngineTest::Kick() { e_->m_monitorWake.Set(); }

bool ModuleApi::Load(const char *path) {
  handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return false;
#define HX_BIND(field, name) field = reinterpret_cast<decltype(field)>(dlsym(handle, #name))
  HX_BIND(Init, Hx_Aec_Init);
  HX_BIND(DeInit, Hx_Aec_DeInit);
  HX_BIND(GetUpComCallBackPtr, Hx_Aec_GetUpComCallBackPtr);
  HX_BIND(SetDownComCallBackPtr, Hx_Aec_SetDownComCallBackPtr);
  HX_BIND(SetAecMode, Hx_Aec_SetAecMode);
  HX_BIND(SetMicroCapture, Hx_Aec_SetMicroCapture);
  HX_BIND(SetSysCapture, Hx_Aec_SetSysCapture);
  HX_BIND(SetOnlineCapSys, HX_Aec_SetOnlineCapSys);
#undef HX_BIND
  return Init && DeInit && GetUpComCallBackPtr && SetDownComCallBackPtr && SetAecMode &&
         SetMicroCapture && SetSysCapture && SetOnlineCapSys;
}

void ModuleApi::Unload() {
  if (handle) dlclose(handle);
  handle = nullptr;
}
