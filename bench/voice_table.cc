#include "voice_table.h"

#include <string.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace hxtest {

namespace {

using voice_metrics::VoiceMetrics;

struct Column {
  const char *head, *format;
  std::function<double(const VoiceMetrics &)> get;
};

const std::vector<Column> &Columns() {
  static const std::vector<Column> columns = {
      {"resid dB", " %8.1f", [](const VoiceMetrics &m) { return m.residual_db; }},
      {"leak %", " %6.1f", [](const VoiceMetrics &m) { return m.leak_pct; }},
      {"holes %", " %7.1f", [](const VoiceMetrics &m) { return m.holes_pct; }},
      {"dt dB", " %6.1f", [](const VoiceMetrics &m) { return m.double_talk_db; }},
      {"clip %", " %6.1f", [](const VoiceMetrics &m) { return m.clipped_pct; }},
      {"near ncc", " %8.3f", [](const VoiceMetrics &m) { return m.near_correlation; }},
      {"near dB", " %7.1f", [](const VoiceMetrics &m) { return m.near_gain_db; }},
      {"start dB", " %8.1f", [](const VoiceMetrics &m) { return m.start_db; }},
      {"bg dBFS", " %7.1f", [](const VoiceMetrics &m) { return m.background_dbfs; }},
  };
  return columns;
}

}  // namespace

void PrintVoiceHeader(FILE *to, int name_width, int system_width) {
  fprintf(to, "%-*s %-*s", name_width, "path", system_width, "system");
  for (const Column &c : Columns()) fprintf(to, " %*s", int(strlen(c.format) - 2), c.head);
  fprintf(to, " %9s %s\n", "worst res", "runs");
}

void PrintVoiceRow(FILE *to, int name_width, int system_width, const char *name, const char *system,
                   const std::vector<VoiceMetrics> &runs) {
  fprintf(to, "%-*s %-*s", name_width, name, system_width, system);
  double worst = NAN;
  for (const VoiceMetrics &m : runs) worst = std::isnan(worst) ? m.residual_db : std::max(worst, m.residual_db);
  for (const Column &c : Columns()) {
    std::vector<double> v;
    for (const VoiceMetrics &m : runs) v.push_back(c.get(m));
    fprintf(to, c.format, voice_metrics::Median(v));
  }
  fprintf(to, " %9.1f %zu\n", worst, runs.size());
  fflush(to);
}

}  // namespace hxtest
