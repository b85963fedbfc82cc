#include "echo/echo_recording.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr char kMagic[8] = {'H', 'X', 'E', 'C', 'R', 'E', 'C', '1'};
constexpr size_t kHead = 4 + 8 + 4;
constexpr size_t kBlockBytes = 2 * HX_ECHO_BLOCK * sizeof(int16_t);  // mic and out

void Put(char *at, const void *v, size_t n) { std::memcpy(at, v, n); }
}  // namespace

bool EchoRecording::Start(int seconds) {
  // A second of blocks: 50 heads, microphone and output, and the far end
  // (a second of it, with room for bursts).
  const size_t per_second = 50 * (kHead + kBlockBytes) + 2 * HX_ECHO_RATE * sizeof(int16_t);
  try {
    data_.assign(sizeof kMagic + size_t(seconds > 0 ? seconds : 1) * per_second, 0);
  } catch (const std::bad_alloc &) {
    return false;
  }
  std::memcpy(data_.data(), kMagic, sizeof kMagic);
  used_ = sizeof kMagic;
  pending_ = 0;
  return true;
}

void EchoRecording::Begin(const int16_t *far, size_t n, int64_t received, int32_t delay_ms,
                          const int16_t *mic) {
  pending_ = 0;
  const size_t bytes = kHead + kBlockBytes + n * sizeof(int16_t);
  if (data_.empty() || data_.size() - used_ < bytes) return;  // full: no more blocks
  char *at = data_.data() + used_;
  const int32_t frames = int32_t(n);
  Put(at, &frames, 4);
  Put(at + 4, &received, 8);
  Put(at + 12, &delay_ms, 4);
  Put(at + kHead, mic, HX_ECHO_BLOCK * sizeof(int16_t));
  out_at_ = used_ + kHead + HX_ECHO_BLOCK * sizeof(int16_t);
  Put(at + kHead + kBlockBytes, far, n * sizeof(int16_t));
  pending_ = bytes;
}

void EchoRecording::End(const int16_t *out) {
  if (!pending_) return;
  Put(data_.data() + out_at_, out, HX_ECHO_BLOCK * sizeof(int16_t));
  used_ += pending_;
  pending_ = 0;
}

bool EchoRecording::Save(const char *path) const {
  if (data_.empty() || !path) return false;
  FILE *f = std::fopen(path, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data_.data(), 1, used_, f) == used_;
  return std::fclose(f) == 0 && ok;
}

EchoRecordingReader::~EchoRecordingReader() {
  if (f_) std::fclose(f_);
}

bool EchoRecordingReader::Open(const char *path) {
  if (f_) std::fclose(f_);
  f_ = std::fopen(path, "rb");
  char magic[sizeof kMagic];
  if (f_ && std::fread(magic, 1, sizeof magic, f_) == sizeof magic &&
      std::memcmp(magic, kMagic, sizeof kMagic) == 0)
    return true;
  if (f_) std::fclose(f_);
  f_ = nullptr;
  return false;
}

int EchoRecordingReader::Next(RecordedBlock *b) {
  int32_t n = 0;
  const size_t head = f_ ? std::fread(&n, 1, 4, f_) : 0;
  if (head == 0) return 0;
  if (head != 4 || n < 0 || std::fread(&b->received, 8, 1, f_) != 1 || std::fread(&b->delay_ms, 4, 1, f_) != 1 ||
      std::fread(b->mic, 2, HX_ECHO_BLOCK, f_) != HX_ECHO_BLOCK ||
      std::fread(b->out, 2, HX_ECHO_BLOCK, f_) != HX_ECHO_BLOCK)
    return -1;
  b->far.resize(size_t(n));
  return std::fread(b->far.data(), 2, b->far.size(), f_) == b->far.size() ? 1 : -1;
}

int32_t ReplayRecordedBlock(hx_echo *e, const RecordedBlock &b, int16_t *out, int32_t *voice) {
  std::vector<int16_t> stereo(2 * b.far.size());
  for (size_t i = 0; i < b.far.size(); ++i) stereo[2 * i] = stereo[2 * i + 1] = b.far[i];
  if (!b.far.empty()) hx_echo_reverse(e, stereo.data(), int32_t(b.far.size()));
  int32_t ignored = 0;
  return hx_echo_capture(e, b.mic, HX_ECHO_BLOCK, b.delay_ms, out, voice ? voice : &ignored);
}
