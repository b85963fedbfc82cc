// The live voice path's own figures, as libBrisaDll.so writes them once a
// second to the file named by HX_BRISA_STATS ("key=value" lines). Reading
// that file keeps the host to the library's contract exports: no extra
// symbol to look up in a library the module loads and unloads by itself,
// and figures that survive every reload of it within the call.
#ifndef HX_HOST_VOICE_PATH_STATS_H
#define HX_HOST_VOICE_PATH_STATS_H

#include <string>

namespace host {

struct VoicePathStats {
  bool valid = false;    // at least one line was read
  long lines = 0;
  // From the last line: what the canceller used at the end of the call.
  long long blocks = 0;        // microphone blocks through the canceller
  int reported_ms = 0;         // delay the streams' latencies give
  int applied_ms = 0;          // delay the far end is aligned by
  int render_ms = 0, capture_ms = 0;  // the sink's and the source's latency, last seen open
  double drift_ppm = 0;        // render clock against capture clock
  bool drift_used = false;
  bool path_locked = false;    // the echo found in the signals
  double path_ppm = 0;
  int erle_db = -100, erl_db = -100;  // the canceller's own (<= -100: not given)
  int delay_median_ms = 0;
  // Summed over the library's loads (each one starts its counters at 0).
  long long underruns = 0;     // sink fills the far end did not cover
  long long far_lost = 0;      // far-end frames dropped before the sink
  long long starved = 0;       // blocks whose aligned far end had not arrived
  long long far_dropped = 0;   // far-end samples the canceller's queue dropped
  // Mean levels over the call, dBFS (-120: silent or none).
  double mic_dbfs = -120, cleaned_dbfs = -120, far_dbfs = -120;
};

// Reads the figures file; valid is false when it holds no figures line.
VoicePathStats ReadVoicePathStats(const std::string &path);

}  // namespace host

#endif
