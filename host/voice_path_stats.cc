#include "voice_path_stats.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

namespace host {
namespace {

using Line = std::map<std::string, double>;

Line Split(const std::string &text) {
  Line fields;
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    const size_t eq = token.find('=');
    if (eq != std::string::npos) fields[token.substr(0, eq)] = strtod(token.c_str() + eq + 1, nullptr);
  }
  return fields;
}

double Get(const Line &l, const char *key) {
  const auto it = l.find(key);
  return it == l.end() ? 0 : it->second;
}

// A mean level and its sample count, added up as power.
struct Level {
  double energy = 0, samples = 0;
  void Add(double dbfs, double n) {
    if (n > 0 && dbfs > -120) energy += std::pow(10.0, dbfs / 10) * n;
    samples += n;
  }
  double Dbfs() const {
    const double p = samples > 0 ? energy / samples : 0;
    return p > 1e-12 ? 10 * std::log10(p) : -120;
  }
};

}  // namespace

VoicePathStats ReadVoicePathStats(const std::string &path) {
  VoicePathStats s;
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return s;
  std::vector<Line> lines;
  char buf[2048];
  while (fgets(buf, sizeof buf, f)) {
    Line l = Split(buf);
    if (l.count("blocks")) lines.push_back(std::move(l));
  }
  fclose(f);
  if (lines.empty()) return s;
  // A load's counters only grow: where one falls, a new load began, and
  // the line before was the last of the previous one.
  auto falls = [&lines](size_t i, const char *key) { return Get(lines[i + 1], key) < Get(lines[i], key); };
  Level mic, cleaned, far;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line &l = lines[i];
    const bool last_of_load = i + 1 == lines.size() || falls(i, "mic_n") || falls(i, "far_n") ||
                              falls(i, "underruns") || falls(i, "far_lost");
    if (!last_of_load) continue;
    s.underruns += (long long)Get(l, "underruns");
    s.far_lost += (long long)Get(l, "far_lost");
    mic.Add(Get(l, "mic_dbfs"), Get(l, "mic_n"));
    cleaned.Add(Get(l, "cleaned_dbfs"), Get(l, "mic_n"));
    far.Add(Get(l, "far_dbfs"), Get(l, "far_n"));
  }
  // The canceller's counters carry over while it is handed from instance to
  // instance; the same rule finds where one began anew.
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line &l = lines[i];
    if (i + 1 < lines.size() && !falls(i, "blocks")) continue;
    s.starved += (long long)Get(l, "starved");
    s.far_dropped += (long long)Get(l, "far_dropped");
  }
  const Line &l = lines.back();
  s.valid = true;
  s.lines = long(lines.size());
  s.blocks = (long long)Get(l, "blocks");
  s.reported_ms = int(Get(l, "reported_ms"));
  s.applied_ms = int(Get(l, "applied_ms"));
  // The streams' latencies as last seen open (the line written when an
  // instance ends has its streams closed, at 0).
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (Get(*it, "render_ms") == 0 && Get(*it, "capture_ms") == 0) continue;
    s.render_ms = int(Get(*it, "render_ms"));
    s.capture_ms = int(Get(*it, "capture_ms"));
    break;
  }
  s.drift_ppm = Get(l, "drift_ppm");
  s.drift_used = Get(l, "drift_used") != 0;
  s.path_locked = Get(l, "path_locked") != 0;
  s.path_ppm = Get(l, "path_ppm");
  s.erle_db = int(Get(l, "erle_db"));
  s.erl_db = int(Get(l, "erl_db"));
  s.delay_median_ms = int(Get(l, "delay_median_ms"));
  s.mic_dbfs = mic.Dbfs();
  s.cleaned_dbfs = cleaned.Dbfs();
  s.far_dbfs = far.Dbfs();
  return s;
}

}  // namespace host
