// The table voice_quality and voice_replay print: per row a name, a system
// and, over the runs given, the median of each figure of
// measure/voice_metrics.h and the worst residual.
#ifndef HX_BENCH_VOICE_TABLE_H
#define HX_BENCH_VOICE_TABLE_H

#include <stdio.h>

#include <vector>

#include "measure/voice_metrics.h"

namespace hxtest {

// `name_width` and `system_width`: the first two columns' widths.
void PrintVoiceHeader(FILE *to, int name_width, int system_width);
void PrintVoiceRow(FILE *to, int name_width, int system_width, const char *name, const char *system,
                   const std::vector<voice_metrics::VoiceMetrics> &runs);

}  // namespace hxtest

#endif
