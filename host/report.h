// The run summary: report.txt and its copy on the terminal.
#ifndef HX_HOST_REPORT_H
#define HX_HOST_REPORT_H

#include <string>
#include <vector>

#include "analysis.h"
#include "measure/echo_measure.h"
#include "hxsim.h"
#include "log_tap.h"
#include "options.h"
#include "voice_path_stats.h"

namespace host {

struct BackendChange {
  double at_s;
  std::string state;  // from the world's status
};

struct RunResult {
  std::string module_path;
  double run_s = 0;
  double mic_s = 0;
  std::vector<std::string> farend_desc;
  std::string sys_desc;
  // upstream
  long up_blocks = 0, up_odd = 0, up_overflow = 0;
  double first_block_s = -1;
  // far end
  long play_calls[4] = {0, 0, 0, 0}, play_audio[4] = {0, 0, 0, 0}, play_bad = 0;
  size_t voicepath_samples = 0;
  hxsim_status status_end{};
  double play_rate_per_s = 0;     // put_play_calls per second over the run
  double request_rate_per_s = 0;  // play requests per second
  std::vector<BackendChange> backends;
  std::vector<std::pair<double, std::string>> device_events;  // applied
  std::string call_log_summary;
  LogCounts log;
  NoiseReport noise;
  // echo path of the simulated voice path
  std::string echo_desc;           // its settings, "" when off
  double heard_s = 0;              // microphone.wav's length
  echo_measure::Erle erle;
  hxsim_echo_status echo_end{};
  // the live voice path's own figures
  std::string voice_stats_file;
  VoicePathStats voice;
  std::string voice_lines;         // the simulated voice path as heard (voice_report.h)
  std::vector<std::string> notes;
};

std::string FormatReport(const Options &opt, const RunResult &r);

// Appends one printf-formatted piece of a report to *s.
void Add(std::string *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace host

#endif
