// Every export and both entry points called with bad arguments, in every
// state of the engine, through the loaded module. Each call must give the
// header's result and touch nothing but the caller's buffers: every buffer
// is a heap block of exactly the size the header allows the module to use,
// so the sanitizer builds catch any read or write past it.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <functional>

#include "support/backend_harness.h"

namespace {

// A heap block of exactly `bytes` (none for 0), filled with `fill`.
struct Block {
  explicit Block(size_t bytes, uint8_t fill = 0x5A) : n(bytes), p(malloc(bytes ? bytes : 1)) {
    memset(p, fill, bytes);
  }
  ~Block() { free(p); }
  int16_t *pcm() { return static_cast<int16_t *>(p); }
  bool AllBytes(uint8_t v, size_t from, size_t to) const {
    for (size_t i = from; i < to; ++i)
      if (static_cast<uint8_t *>(p)[i] != v) return false;
    return true;
  }
  size_t n;
  void *p;
};

int32_t Capture(void *, int16_t *, int32_t) { return 0; }
int32_t Play(void *, int16_t *buf, int32_t len, int32_t) {
  for (int i = 0; i < len / 2; ++i) buf[i] = (int16_t)(i * 37);
  return len;
}
int g_host;  // the host's context

enum State { kLoaded, kRunning, kStopped, kStoppedTwice };
const char *const kStateNames[] = {"before Init", "running", "after DeInit", "after 2nd DeInit"};

struct Row {
  const char *what;
  int32_t want[4];  // result per state
  std::function<int32_t(ModuleApi &, UpComPushMicDataFn, void *, UpComPullPlayDataFn, void *,
                        std::string *)>
      call;  // may add a complaint about what it saw in the buffers
};

// Push of `frames` frames with a data block of exactly `read_frames` frames.
std::function<int32_t(ModuleApi &, UpComPushMicDataFn, void *, UpComPullPlayDataFn, void *,
                      std::string *)>
Push(uint32_t frames, uint8_t bpf, uint8_t ch, uint32_t rate, size_t read_frames, bool null_data = false,
     bool null_ctx = false) {
  return [=](ModuleApi &, UpComPushMicDataFn push, void *ctx, UpComPullPlayDataFn, void *,
             std::string *) {
    Block data(read_frames * 2 * (ch ? ch : 1));
    return push(null_ctx ? nullptr : ctx, null_data ? nullptr : data.pcm(), frames, bpf, ch, rate,
                1, 2, 3, 0xFF, 0xFFFFFFFF);
  };
}

// Pull into an out block of exactly 1920 bytes; checks what was written and the count.
std::function<int32_t(ModuleApi &, UpComPushMicDataFn, void *, UpComPullPlayDataFn, void *,
                      std::string *)>
Pull(int32_t frames, uint8_t ch, int32_t rate, bool plays, int nulls = 0) {
  return [=](ModuleApi &, UpComPushMicDataFn, void *, UpComPullPlayDataFn pull, void *ctx,
             std::string *bad) {
    Block out(1920, 0xA5);
    uint32_t count = 0xC0FFEE;
    int32_t r = pull(nulls == 1 ? nullptr : ctx, frames, 0xFF, ch, rate,
                     nulls == 2 ? nullptr : out.pcm(), nulls == 3 ? nullptr : &count);
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
  // Null slots of the callback exchange: refused, nothing written.
  for (int null_slot = 0; null_slot < 5; ++null_slot)
    rows.push_back({"GetUpComCallBackPtr null slot", {-1, -1, -1, -1},
                    [null_slot](ModuleApi &api, UpComPushMicDataFn, void *, UpComPullPlayDataFn,
                                void *, std::string *bad) {
                      void *slot[4] = {&slot, &slot, &slot, &slot};
                      void **arg[4] = {&slot[0], &slot[1], &slot[2], &slot[3]};
                      if (null_slot < 4) arg[null_slot] = nullptr;
                      else arg[0] = arg[1] = arg[2] = arg[3] = nullptr;
                      int32_t r = api.GetUpComCallBackPtr(arg[0], arg[1], arg[2], arg[3]);
                      for (void *v : slot)
                        if (v != &slot) *bad += "slot written; ";
                      return r;
                    }});
  rows.push_back({"SetDownComCallBackPtr all null", {0, 0, 0, 0},
                  [&](ModuleApi &api, UpComPushMicDataFn p, void *c, UpComPullPlayDataFn pull,
                      void *, std::string *bad) {
                    int32_t r = api.SetDownComCallBackPtr(nullptr, nullptr, nullptr, nullptr);
                    Block data(1920);
                    if (p(c, data.pcm(), 480, 4, 2, 48000, 0, 0, 0, 0, 0) != -1)
                      *bad += "push accepted without capture callback; ";
                    Block out(1920, 0xA5);
                    uint32_t n = 7;
                    if (pull(c, 480, 0, 2, 48000, out.pcm(), &n) != -1 || n != 7 ||
                        !out.AllBytes(0xA5, 0, 1920))
                      *bad += "pull served without play callback; ";
                    restore();
                    return r;
                  }});
  for (uint8_t v : {0, 1, 2, 255}) {
    rows.push_back({"SetAecMode", {0, 0, 0, 0}, [v](ModuleApi &a, auto, auto, auto, auto, auto) { return a.SetAecMode(v); }});
    rows.push_back({"SetOnlineCapSys", {0, 0, 0, 0}, [v](ModuleApi &a, auto, auto, auto, auto, auto) { return a.SetOnlineCapSys(v); }});
    rows.push_back({"SetSysCapture", {0, 0, 0, 0}, [v](ModuleApi &a, auto, auto, auto, auto, auto) { return a.SetSysCapture(v); }});
    rows.push_back({"SetMicroCapture", {0, 0, 0, 0}, [v](ModuleApi &a, auto, auto, auto, auto, auto) { return a.SetMicroCapture(v); }});
  }
  rows.push_back({"SetMicroCapture 1", {0, 0, 0, 0}, [](ModuleApi &a, auto, auto, auto, auto, auto) { return a.SetMicroCapture(1); }});

  // Push: null context or data, frames 0 / huge, channels 0 / 3+, a wrong
  // bytes_per_frame, rates 0, 1, 10^9 (taken as 48000), rates converted.
  rows.push_back({"push null ctx", {-1, -1, -1, -1}, Push(480, 4, 2, 48000, 480, false, true)});
  rows.push_back({"push null data", {-1, 0, -1, -1}, Push(480, 4, 2, 48000, 0, true)});
  rows.push_back({"push frames 0", {-1, 0, -1, -1}, Push(0, 4, 2, 48000, 0)});
  rows.push_back({"push frames 2^32-1 at 48000", {-1, 0, -1, -1}, Push(0xFFFFFFFFu, 4, 2, 48000, 480)});
  rows.push_back({"push frames 2^32-1 at 192000", {-1, 0, -1, -1}, Push(0xFFFFFFFFu, 2, 1, 192000, 1920)});
  rows.push_back({"push frames 2^31 at 8000", {-1, 0, -1, -1}, Push(0x80000000u, 4, 2, 8000, 80)});
  rows.push_back({"push frames 2^31 at 11025", {-1, 0, -1, -1}, Push(0x80000000u, 4, 2, 11025, 111)});
  rows.push_back({"push 1 frame at 44100", {-1, 0, -1, -1}, Push(1, 4, 2, 44100, 1)});
  for (uint8_t ch : {0, 3, 255}) rows.push_back({"push bad channels", {-1, 0, -1, -1}, Push(480, 4, ch, 48000, 0)});
  for (uint8_t bpf : {0, 1, 3, 8, 255}) rows.push_back({"push bad bytes_per_frame", {-1, 0, -1, -1}, Push(480, bpf, 2, 48000, 0)});
  for (uint32_t rate : {0u, 1u, 1000000000u, 0xFFFFFFFFu})
    rows.push_back({"push odd rate", {-1, 0, -1, -1}, Push(480, 2, 1, rate, 480)});

  // Pull: null context / out / count, frames 0, negative, huge, channels
  // 0 / 3+, rates 0, 1, 10^9, negative; both branches.
  for (int plays = 0; plays < 2; ++plays) {
    rows.push_back({plays ? "module plays" : "host plays", {0, 0, 0, 0},
                    [plays](ModuleApi &a, auto, auto, auto, auto, auto) {
                      return a.SetAecMode(plays ? 0 : 1) | a.SetOnlineCapSys(1);
                    }});
    for (int nulls = 1; nulls <= 3; ++nulls)
      rows.push_back({"pull null pointer", {nulls == 3 ? 0 : -1, nulls == 3 ? 0 : -1, nulls == 3 ? 0 : -1, nulls == 3 ? 0 : -1},
                      Pull(480, 2, 48000, plays, nulls)});
    for (int32_t frames : {0, -1, 441, 440, 442, 480, 960, INT_MAX, INT_MIN})
      for (uint8_t ch : {0, 1, 2, 3, 255})
        for (int32_t rate : {0, 1, 8000, 16000, 44100, 48000, 96000, 1000000000, -1, INT_MIN})
          rows.push_back({"pull", {0, 0, 0, 0}, Pull(frames, ch, rate, plays)});
  }

  restore();
  for (int state = kLoaded; state <= kStoppedTwice; ++state) {
    const int32_t transition =
        state == kRunning ? m.Init() : state == kLoaded ? 0 : m.DeInit();
    ASSERT_EQ(0, transition) << kStateNames[state];
    restore();
    int ok_rows = 0;
    for (Row &row : rows) {
      std::string bad;
      const int32_t got = row.call(m, m.push, m.push_ctx, m.pull, m.pull_ctx, &bad);
      EXPECT_EQ(row.want[state], got) << row.what << ", " << kStateNames[state];
      EXPECT_EQ("", bad) << row.what << ", " << kStateNames[state];
      ok_rows += got == row.want[state] && bad.empty();
      restore();
    }
    EXPECT_EQ((int)rows.size(), ok_rows) << kStateNames[state];
  }
  // Init twice only logs; the engine still stops cleanly.
  EXPECT_EQ(0, m.Init());
  EXPECT_EQ(0, m.Init());
  EXPECT_EQ(0, m.DeInit());
  m.Unload();
}

}  // namespace
