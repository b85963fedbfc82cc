// voice_replay: the voice path's signal processing replayed offline on the
// recordings of live calls (`voice_quality --keep DIR` saves them as
// DIR/<path><run>_<signal>.wav), deterministic and as fast as the CPU
// allows. Per recording, side by side:
//   module       the live call's output as the host got it (for reference)
//   component    the echo component (echo/hx_echo.h, default settings) on
//                the microphone, the loudspeaker's signal as played and the
//                echo's delay reported exactly
//   comp+chain   that, then the module's cleaning chain (high-pass filter,
//                noise suppression, gain control) as the module runs it
//   aec3         current WebRTC's AEC3 (aec3_anchor) on the same recording
//   aec3+chain   that, then the same cleaning chain
//   live-feed    where the call kept its canceller's recording
//                (<name>_live.rec, HX_BRISA_RECORD): the component replayed
//                on exactly what it consumed live (the far end as it came,
//                the stream delays as reported); with today's component it
//                gives back, bit for bit, what it gave live
//   live+chain   that, then the cleaning chain
// The chain runs its gain control on the blocks the voice path marks voice,
// as the module does; after AEC3, on the blocks WebRTC's voice detector
// hears voice in.
// Printed: every recording's figures (measure/voice_metrics.h) with
// --verbose, and per path the median of each figure and the worst residual.
//
//   build/bin/voice_replay --dir DIR [--ahead MS] [--unreported MS] [--save OUT] [--verbose]
//
// --ahead and --unreported feed the component as a live voice path does
// (offline_systems.h, ComponentFeed): the far end handed over MS before it
// plays, and an echo MS later than the stream delay says (a room client's
// own latency, which the server does not report). --verbose also prints the
// component's alignment figures at each recording's end.
//
// Exit status 0 when every recording measured, 1 otherwise, 2 on a bad
// option.
#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "offline_systems.h"
#include "rig/signal_check.h"
#include "rig/voice_call.h"
#include "voice_table.h"

using namespace hxtest;
using voice_metrics::VoiceMetrics;

namespace {

enum System { kModule, kComponent, kComponentChain, kAec3, kAec3Chain, kLiveFeed, kLiveFeedChain, kSystems };
const char *const kSystemName[kSystems] = {"module",     "component", "comp+chain", "aec3",
                                           "aec3+chain", "live-feed", "live+chain"};

// Where `part` (the timeline's microphone) starts in `whole` (a longer
// recording of the same microphone), to the nearest 10 ms: the best match
// of their frame levels. The metrics find the rest of the lag themselves.
long FindWithin(const std::vector<float> &whole, const std::vector<float> &part) {
  constexpr size_t kFrame = 160;
  const auto levels = [](const std::vector<float> &x) {
    std::vector<double> l(x.size() / kFrame);
    for (size_t f = 0; f < l.size(); ++f) {
      double e = 1e-10;
      for (size_t i = 0; i < kFrame; ++i) e += double(x[f * kFrame + i]) * x[f * kFrame + i];
      l[f] = std::log10(e);
    }
    return l;
  };
  const std::vector<double> w = levels(whole), p = levels(part);
  long best = 0;
  double best_score = -INFINITY;
  for (long lag = -long(p.size()) / 2; lag + long(p.size()) / 2 <= long(w.size()); ++lag) {
    double sw = 0, sp = 0, swp = 0, sww = 0, spp = 0;
    size_t n = 0;
    for (size_t f = 0; f < p.size(); ++f) {
      const long g = lag + long(f);
      if (g < 0 || g >= long(w.size())) continue;
      const double a = w[size_t(g)], b = p[f];
      sw += a, sp += b, swp += a * b, sww += a * a, spp += b * b, ++n;
    }
    if (n < p.size() / 2) continue;
    const double cov = swp - sw * sp / double(n), vw = sww - sw * sw / double(n), vp = spp - sp * sp / double(n);
    const double score = cov / std::sqrt(vw * vp + 1e-30);
    if (score > best_score) best_score = score, best = lag;
  }
  return best * long(kFrame);
}

// x from `at` for n samples, zeros where it has none.
std::vector<float> Window(const std::vector<float> &x, long at, size_t n) {
  std::vector<float> y(n, 0.f);
  for (size_t i = 0; i < n; ++i)
    if (at + long(i) >= 0 && at + long(i) < long(x.size())) y[i] = x[size_t(at + long(i))];
  return y;
}

std::vector<float> Load(const std::string &path) {
  SF_INFO info = {};
  return PcmToFloat(ReadWav(path, &info));
}

// Where a component ended: the delay it aligned by, its lead, the echo it
// found in the signals.
void PrintAlignment(const hx_echo_stats &st) {
  printf("reported %d ms, applied %d ms, lead %d ms, %lld alignment steps, %lld blocks starved, echo "
         "found %d (%+.1f ms), erle %d dB\n",
         st.reported_delay_ms, st.applied_delay_ms, st.lead_ms, (long long)st.alignment_steps,
         (long long)st.starved_blocks, st.path_locked, st.path_offset_ms, st.erle_db);
}

constexpr int kNameWidth = 10, kSystemWidth = 10;

}  // namespace

int main(int argc, char **argv) {
  bool verbose = false;
  std::string dir, save;
  ComponentFeed feed;
  const cli::Command command{
      "voice_replay", "--dir DIR [options]",
      "The echo component and AEC3, each alone and followed by the module's cleaning chain,\n"
      "replayed offline on the recordings voice_quality --keep saved in DIR.",
      {cli::Text("dir", &dir, "DIR", "the folder of recordings"),
       cli::Int("ahead", &feed.ahead_ms, 0, 500, "MS", "far end handed over MS before it plays (default 0)"),
       cli::Int("unreported", &feed.unreported_ms, 0, 500, "MS",
                "echo MS later than the stream delay says (default 0)"),
       cli::Text("save", &save, "DIR", "write each system's output to DIR/<name>_<system>.wav"),
       cli::Flag("verbose", &verbose, "every recording's figures")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  if (dir.empty()) return cli::Refuse(command, "--dir DIR is needed");
  // Recordings: every <name>_mic.wav with its far, near and echo beside it.
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d)) {
      const std::string f = e->d_name;
      if (f.size() > 8 && f.compare(f.size() - 8, 8, "_mic.wav") == 0) names.push_back(f.substr(0, f.size() - 8));
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    fprintf(stderr, "voice_replay: no <name>_mic.wav in %s\n", dir.c_str());
    return 1;
  }
  PrintVoiceHeader(stdout, kNameWidth, kSystemWidth);
  const voice_metrics::VoiceTimeline tl = LiveTimeline();
  std::map<std::string, std::vector<VoiceMetrics>> per_path[kSystems];
  int failed = 0;
  for (const std::string &name : names) {
    const std::string base = dir + "/" + name + "_";
    VoiceRecording r;
    r.mic = Load(base + "mic.wav"), r.far = Load(base + "far.wav");
    r.near = Load(base + "near.wav"), r.echo = Load(base + "echo.wav");
    if (r.mic.empty() || r.far.empty() || r.near.size() != r.mic.size() || r.echo.size() != r.mic.size()) {
      fprintf(stderr, "voice_replay: %s: the recording's far, near, echo and mic do not match\n", name.c_str());
      ++failed;
      continue;
    }
    std::string error;
    std::vector<float> out[kSystems];
    out[kModule] = Load(base + "module.wav");
    hx_echo_stats st = {};
    VoiceMarks component_voice;
    out[kComponent] = RunComponent(r, feed, &error, &st, &component_voice);
    if (verbose) {
      printf("%s: component ", name.c_str());
      PrintAlignment(st);
    }
    out[kAec3] = RunAec3(HX_AEC3_ANCHOR, r, &error);
    if (!out[kComponent].empty()) out[kComponentChain] = Chain(out[kComponent], component_voice);
    if (!out[kAec3].empty()) out[kAec3Chain] = Chain(out[kAec3], DetectVoice(out[kAec3]));
    if (FILE *f = fopen((base + "live.rec").c_str(), "rb")) {
      fclose(f);
      std::vector<float> mic, live;
      hx_echo_stats lst = {};
      VoiceMarks live_voice;
      const std::vector<float> replayed = ReplayLiveFeed(base + "live.rec", &mic, &live, &error, &lst, &live_voice);
      if (!replayed.empty()) {
        size_t differ = 0;
        for (size_t i = 0; i < replayed.size(); ++i) differ += replayed[i] != live[i];
        const long at = FindWithin(mic, r.mic);
        // The chain runs from the canceller's first block, as the module's did.
        const std::vector<float> chained = Chain(replayed, live_voice);
        out[kLiveFeed] = Window(replayed, at, r.mic.size());
        out[kLiveFeedChain] = Window(chained, at, r.mic.size());
        if (verbose) {
          printf("%s: live feed of %.1f s, the timeline %.2f s into it; the replay differs from the live "
                 "output in %zu samples; at its end ",
                 name.c_str(), double(mic.size()) / kVoiceRate, double(at) / kVoiceRate, differ);
          PrintAlignment(lst);
        }
      }
    }
    if (!error.empty()) fprintf(stderr, "voice_replay: %s: %s\n", name.c_str(), error.c_str());
    const std::string path = name.substr(0, 1);
    for (int s = kComponent; s < kSystems && !save.empty(); ++s) {
      const std::string file = save + "/" + name + "_" + kSystemName[s] + ".wav";
      if (!out[s].empty() && !WriteWav(file, FloatToPcm(out[s]))) {
        fprintf(stderr, "voice_replay: cannot write %s\n", file.c_str());
        ++failed;
      }
    }
    for (int s = 0; s < kSystems; ++s) {
      if (out[s].empty()) continue;
      r.out = out[s];
      const VoiceMetrics m = MeasureRecording(r, tl);
      if (!m.valid) {
        fprintf(stderr, "voice_replay: %s: %s: output not lined up (ncc %.2f)\n", name.c_str(), kSystemName[s],
                m.near_correlation);
        ++failed;
        continue;
      }
      per_path[s][path].push_back(m);
      if (verbose) PrintVoiceRow(stdout, kNameWidth, kSystemWidth, name.c_str(), kSystemName[s], {m});
    }
  }
  for (const auto &[path, runs] : per_path[kModule]) {
    (void)runs;
    for (int s = 0; s < kSystems; ++s)
      PrintVoiceRow(stdout, kNameWidth, kSystemWidth, ("(" + path + ")").c_str(), kSystemName[s], per_path[s][path]);
  }
  return failed ? 1 : 0;
}
