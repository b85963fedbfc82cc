// Every export and both entry points called with bad arguments, in every
// state of the engine, through the loaded module. Each call must give the
// header's result and touch nothing but the caller's buffers: every buffer
// is a heap block of exactly the size the header allows the module to use,
// so the sanitizer builds catch any read or write past it.
#include <limits.h>

#include <functional>

#include "support/backend_harness.h"

namespace {

// A heap block of exactly `bytes` (none for 0), filled with `fill`.
struct Block {
  explicit Block(size_t bytes, uint8_t fill = 0x5A) : p(malloc(bytes ? bytes : 1)) { memset(p, fill, bytes); }
  ~Block() { free(p); }
  int16_t *pcm() { return static_cast<int16_t *>(p); }
  bool AllBytes(uint8_t v, size_t from, size_t to) const {
    return std::all_of(static_cast<uint8_t *>(p) + from, static_cast<uint8_t *>(p) + to, [v](uint8_t x) { return x == v; });
  }
  void *p;
};

int32_t Capture(void *, int16_t *, int32_t) { return 0; }
int32_t Play(void *, int16_t *buf, int32_t len, int32_t) { return std::fill(buf, buf + len / 2, 37), len; }
int g_host;  // the host's context

const char *const kStates[] = {"before Init", "running", "after DeInit", "after 2nd DeInit"};
const int32_t kAlways[4] = {0, 0, 0, 0}, kNever[4] = {-1, -1, -1, -1}, kOnlyRunning[4] = {-1, 0, -1, -1};

// One call (result per state in `want`); it may add a complaint about what it saw in the buffers.
using Call = std::function<int32_t(ModuleApi &, std::string *bad)>;
struct Row { const char *what; const int32_t *want; Call call; };

// Push of `frames` frames with a data block of exactly `read_frames` frames.
Call Push(uint32_t frames, uint8_t bpf, uint8_t ch, uint32_t rate, size_t read_frames, bool null_data = false,
          bool null_ctx = false) {
  return [=](ModuleApi &m, std::string *) {
    Block data(read_frames * 2 * (ch ? ch : 1));
    return m.push(null_ctx ? nullptr : m.push_ctx, null_data ? nullptr : data.pcm(), frames, bpf, ch, rate, 1, 2, 3,
                  0xFF, 0xFFFFFFFF);
  };
}

// Pull into an out block of exactly 1920 bytes (null context, out or count
// for `nulls` 1 to 3); checks what was written and the count.
Call Pull(int32_t frames, uint8_t ch, int32_t rate, bool plays, int nulls = 0) {
  return [=](ModuleApi &m, std::string *bad) {
    Block out(1920, 0xA5);
    uint32_t count = 0xC0FFEE;
    int32_t r = m.pull(nulls == 1 ? nullptr : m.pull_ctx, frames, 0xFF, ch, rate, nulls == 2 ? nullptr : out.pcm(),
                       nulls == 3 ? nullptr : &count);
    const uint32_t want_count = plays ? 0xC0FFEE : frames == 441 ? 882 : 960;
    if (r == 0 && nulls != 3 && count != want_count) *bad += "count " + std::to_string(count);
    if (r == 0 && frames == 441 && !plays && !out.AllBytes(0xA5, 1764, 1920)) *bad += "wrote past 1764; ";
    if (r != 0 && !out.AllBytes(0xA5, 0, 1920)) *bad += "refused but wrote; ";
    if (r == 0 && plays && !out.AllBytes(0, 0, 1920)) *bad += "not silence; ";
    return r;
  };
}

TEST(Misuse, EveryExportAndEntryPointRefusesBadArgumentsInEveryState) {
  hxsim_reset();
  hxsim_set_manual(1);
  ModuleApi m;
  ASSERT_TRUE(m.Load(HX_MODULE_PATH)) << dlerror();
  ASSERT_TRUE(m.EntryPoints());
  auto restore = [&] {
    m.SetDownComCallBackPtr((void *)&Capture, &g_host, (void *)&Play, &g_host);
    m.SetMicroCapture(1);
  };

  std::vector<Row> rows;
  // Null slots of the callback exchange (one, or all): refused, nothing written.
  for (int null_slot = 0; null_slot < 5; ++null_slot)
    rows.push_back({"GetUpComCallBackPtr null slot", kNever, [null_slot](ModuleApi &api, std::string *bad) {
                      void *slot[4] = {&slot, &slot, &slot, &slot};
                      void **arg[4] = {&slot[0], &slot[1], &slot[2], &slot[3]};
                      for (int i = 0; i < 4; ++i)
                        if (null_slot == i || null_slot == 4) arg[i] = nullptr;
                      int32_t r = api.GetUpComCallBackPtr(arg[0], arg[1], arg[2], arg[3]);
                      if (std::count(slot, slot + 4, (void *)&slot) != 4) *bad += "slot written; ";
                      return r;
                    }});
  rows.push_back({"SetDownComCallBackPtr all null", kAlways, [&](ModuleApi &api, std::string *bad) {
                    int32_t r = api.SetDownComCallBackPtr(nullptr, nullptr, nullptr, nullptr);
                    Block data(1920), out(1920, 0xA5);
                    if (api.push(api.push_ctx, data.pcm(), 480, 4, 2, 48000, 0, 0, 0, 0, 0) != -1)
                      *bad += "push accepted without capture callback; ";
                    uint32_t n = 7;
                    if (api.pull(api.pull_ctx, 480, 0, 2, 48000, out.pcm(), &n) != -1 || n != 7 || !out.AllBytes(0xA5, 0, 1920))
                      *bad += "pull served without play callback; ";
                    restore();
                    return r;
                  }});
  const std::pair<const char *, int32_t (*)(uint8_t)> setters[] = {
      {"SetAecMode", m.SetAecMode}, {"SetOnlineCapSys", m.SetOnlineCapSys}, {"SetSysCapture", m.SetSysCapture},
      {"SetMicroCapture", m.SetMicroCapture}};
  for (const auto &set : setters)
    for (uint8_t v : {0, 1, 2, 255}) rows.push_back({set.first, kAlways, [f = set.second, v](ModuleApi &, std::string *) { return f(v); }});

  // Push: null context or data, frames 0 / huge, channels 0 / 3+, a wrong
  // bytes_per_frame, rates 0, 1, 10^9 (taken as 48000), rates converted.
  rows.push_back({"push null ctx", kNever, Push(480, 4, 2, 48000, 480, false, true)});
  rows.push_back({"push null data", kOnlyRunning, Push(480, 4, 2, 48000, 0, true)});
  rows.push_back({"push frames 0", kOnlyRunning, Push(0, 4, 2, 48000, 0)});
  rows.push_back({"push frames 2^32-1 at 48000", kOnlyRunning, Push(0xFFFFFFFFu, 4, 2, 48000, 480)});
  rows.push_back({"push frames 2^32-1 at 192000", kOnlyRunning, Push(0xFFFFFFFFu, 2, 1, 192000, 1920)});
  rows.push_back({"push frames 2^31 at 8000", kOnlyRunning, Push(0x80000000u, 4, 2, 8000, 80)});
  rows.push_back({"push frames 2^31 at 11025", kOnlyRunning, Push(0x80000000u, 4, 2, 11025, 111)});
  rows.push_back({"push 1 frame at 44100", kOnlyRunning, Push(1, 4, 2, 44100, 1)});
  for (uint8_t ch : {0, 3, 255}) rows.push_back({"push bad channels", kOnlyRunning, Push(480, 4, ch, 48000, 0)});
  for (uint8_t bpf : {0, 1, 3, 8, 255}) rows.push_back({"push bad bytes_per_frame", kOnlyRunning, Push(480, bpf, 2, 48000, 0)});
  for (uint32_t rate : {0u, 1u, 1000000000u, 0xFFFFFFFFu}) rows.push_back({"push odd rate", kOnlyRunning, Push(480, 2, 1, rate, 480)});

  // Pull: null context / out / count, frames 0, negative, huge, channels
  // 0 / 3+, rates 0, 1, 10^9, negative; both branches.
  for (int plays = 0; plays < 2; ++plays) {
    rows.push_back({plays ? "module plays" : "host plays", kAlways,
                    [plays](ModuleApi &a, std::string *) { return a.SetAecMode(plays ? 0 : 1) | a.SetOnlineCapSys(1); }});
    for (int nulls = 1; nulls <= 3; ++nulls)
      rows.push_back({"pull null pointer", nulls == 3 ? kAlways : kNever, Pull(480, 2, 48000, plays, nulls)});
    for (int32_t frames : {0, -1, 441, 440, 442, 480, 960, INT_MAX, INT_MIN})
      for (uint8_t ch : {0, 1, 2, 3, 255})
        for (int32_t rate : {0, 1, 8000, 16000, 44100, 48000, 96000, 1000000000, -1, INT_MIN})
          rows.push_back({"pull", kAlways, Pull(frames, ch, rate, plays)});
  }

  for (int state = 0; state < 4; ++state) {
    ASSERT_EQ(0, state == 1 ? m.Init() : state == 0 ? 0 : m.DeInit()) << kStates[state];
    restore();
    for (Row &row : rows) {
      std::string bad;
      EXPECT_EQ(row.want[state], row.call(m, &bad)) << row.what << ", " << kStates[state];
      EXPECT_EQ("", bad) << row.what << ", " << kStates[state];
      restore();
    }
  }
  m.Unload();
}

}  // namespace
