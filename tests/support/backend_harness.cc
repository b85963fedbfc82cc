#include "support/backend_harness.h"

#include <string.h>

#include <chrono>
#include <thread>

#include "hxsim.h"

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
