// pulse_call: a call through the module over the real back-end libraries on
// a private sound server (PulseAudio, or PipeWire with pipewire-pulse:
// pulse_daemon.h), measured. The microphone (a pipe source fed
// in real time, 10 ms per write) carries a 20 ms click about every 500 ms,
// alternately in the first and the second half of a 20 ms voice-path
// block (the two phases a click can have against it); each click's
// microphone-to-host latency is the time from its write into the source to
// the arrival of the upstream block that holds its onset. The far end is a
// quiet tone, so the voice path plays all along. CPU is the time of the
// module's and the back-ends' threads (names "hx-") per second of call.
//
//   build/bin/pulse_call [--seconds N] [--window S] [--server pulseaudio|pipewire]
//
// prints the latency median, mean and 99th percentile of the whole call and
// of its first and last window (default 60 s), and the CPU per second. The
// pipe source adds no buffering of its own: a hardware microphone adds its
// fragment time on top.
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "host/module_api.h"
#include "proc_stat.h"
#include "rig/pulse_daemon.h"

using namespace hxtest;

namespace {

constexpr int kClickEvery = 8000;  // samples at 16 kHz: 500 ms
constexpr int kClickLen = 320;     // 20 ms burst at 1 kHz
constexpr int kChunk = 160;        // one write of the feeder: 10 ms

struct Host {
  std::mutex mu;
  std::vector<double> onsets;  // arrival time of each block that starts a click
  bool in_click = false;
  long blocks = 0;
  long tone_pos = 0;
  static int32_t Capture(void *ctx, int16_t *s, int32_t len) {
    Host *h = static_cast<Host *>(ctx);
    const double now = Now();
    bool loud = false;
    for (int32_t i = 0; i < len / 2; i += 2) loud |= abs(s[i]) > 3000;
    std::lock_guard<std::mutex> lk(h->mu);
    if (loud && !h->in_click) h->onsets.push_back(now);
    h->in_click = loud;
    h->blocks++;
    return 0;
  }
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
    Host *h = static_cast<Host *>(ctx);
    if (stream != 0) return 0;
    for (int32_t i = 0; i < len / 2; i += 2, ++h->tone_pos)
      buf[i] = buf[i + 1] = int16_t(1000 * sin(2 * M_PI * 300 * h->tone_pos / 48000.0));
    return len;
  }
};

// CPU seconds of this process's threads named hx-*.
double ModuleCpuSeconds() {
  double total = 0;
  for (const std::string &t : hxbench::Tasks("/proc/self/task")) {
    const std::string stat = hxbench::ReadFile("/proc/self/task/" + t + "/stat");
    if (!hxbench::StatName(stat).compare(0, 3, "hx-")) total += hxbench::StatCpuSeconds(stat);
  }
  return total;
}

double Mean(const std::vector<double> &v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? NAN : sum / double(v.size());
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t rank = size_t(ceil(p * double(v.size())));  // nearest rank
  return v[std::min(std::max<size_t>(rank, 1), v.size()) - 1];
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 60, window = 60;
  int server = 0;
  const cli::Command command{
      "pulse_call", "[options]",
      "A measured call over the real back-ends on a private sound server: microphone-to-host\n"
      "latency by clicks, and CPU (see the comment at the top of bench/pulse_call.cc).",
      {cli::Number("seconds", &seconds, 2, 1e6, "S", "call length (default 60)"),
       cli::Number("window", &window, 1, 1e6, "S", "first and last window reported (default 60)"),
       cli::Choice("server", &server, "pulseaudio|pipewire", "the private server (default pulseaudio)")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  PulseDaemon daemon(Microphone::kPipe, server ? "pipewire" : "pulseaudio");
  std::string error = daemon.Start();
  if (!error.empty()) {
    fprintf(stderr, "pulse_call: %s\n", error.c_str());
    return 1;
  }
  MicFeeder feeder(daemon.fifo());
  // The module's log goes to /dev/null: this tool reports figures only.
  int saved = dup(1);
  FILE *null = freopen("/dev/null", "w", stdout);
  (void)null;
  host::ModuleApi api;
  if (!host::LoadModule(HX_MODULE_PATH, &api, &error)) {
    fprintf(stderr, "pulse_call: %s\n", error.c_str());
    return 1;
  }
  Host host;
  api.SetDownComCallBackPtr(reinterpret_cast<void *>(&Host::Capture), &host,
                            reinterpret_cast<void *>(&Host::Play), &host);
  api.SetAecMode(1);
  api.SetMicroCapture(1);
  api.Init();
  if (!WaitFor([&] { std::lock_guard<std::mutex> lk(host.mu); return host.blocks > 100; }, 15)) {
    dprintf(saved, "pulse_call: no upstream audio\n");
    return 1;
  }
  // Click k starts at sample fed0 + ClickAt(k), on a chunk boundary.
  auto ClickAt = [](size_t k) { return k * kClickEvery + (k % 2) * kChunk; };
  const size_t clicks = size_t(seconds * 16000 / kClickEvery);
  std::vector<int16_t> feed(clicks * kClickEvery, 0);
  for (size_t k = 0; k < clicks; ++k)
    for (int i = 0; i < kClickLen; ++i)
      feed[ClickAt(k) + size_t(i)] = int16_t(16000 * sin(2 * M_PI * 1000 * i / 16000.0));
  {
    std::lock_guard<std::mutex> lk(host.mu);
    host.onsets.clear();
  }
  const size_t fed0 = feeder.samples_written();
  const double cpu0 = ModuleCpuSeconds(), t0 = Now();
  feeder.Queue(feed);
  usleep(useconds_t(seconds * 1e6) + 500000);
  const double cpu = ModuleCpuSeconds() - cpu0, wall = Now() - t0;
  api.DeInit();
  dlclose(api.handle);

  // Pair each click with the first onset after its write.
  std::vector<double> onsets, lat, first[2], last[2];
  {
    std::lock_guard<std::mutex> lk(host.mu);
    onsets = host.onsets;
  }
  size_t j = 0, missed = 0;
  for (size_t k = 0; k < clicks; ++k) {
    const double written = feeder.WriteTime(fed0 + ClickAt(k));
    if (written == 0) { ++missed; continue; }
    while (j < onsets.size() && onsets[j] < written - 0.005) ++j;
    if (j == onsets.size() || onsets[j] > written + 0.4) { ++missed; continue; }
    const double ms = (onsets[j] - written) * 1000;
    lat.push_back(ms);
    if (written - t0 < window) first[k % 2].push_back(ms);
    if (written - t0 >= seconds - window) last[k % 2].push_back(ms);
  }
  dprintf(saved, "call: %.0f s, %zu clicks, %zu not found\n", wall, clicks, missed);
  auto Line = [&](const char *what, const std::vector<double> &v) {
    dprintf(saved, "%s: median %.1f ms, mean %.1f ms, p99 %.1f ms (%zu clicks)\n", what,
            Percentile(v, 0.5), Mean(v), Percentile(v, 0.99), v.size());
  };
  Line("microphone to host latency, whole call", lat);
  // The two phases have latencies about 10 ms apart; a drift shows as a
  // change of either phase's median between the first and the last window.
  Line("first window, click in the first half of a block", first[0]);
  Line("first window, click in the second half of a block", first[1]);
  Line("last window, click in the first half of a block", last[0]);
  Line("last window, click in the second half of a block", last[1]);
  dprintf(saved, "CPU of the module and back-ends: %.2f ms per second of call (%.2f %% of one core)\n",
          cpu / wall * 1000, cpu / wall * 100);
  return 0;
}
