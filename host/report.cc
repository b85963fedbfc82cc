#include "report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace host {

void Add(std::string *s, const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  *s += line;
}

namespace {

std::string Db(double v) {
  if (std::isinf(v) || v <= -120) return "silent";
  char b[32];
  snprintf(b, sizeof b, "%.1f dBFS", v);
  return b;
}

// A refusal line is written for the 1st, 11th, 21st ... refusal of a
// producer, so n lines stand for 10(n-1)+1 to 10n refusals (both kinds of
// one producer share the pacing counter, so this bound is per producer).
std::string RefusalRange(long lines) {
  if (lines == 0) return "none seen";
  char b[64];
  snprintf(b, sizeof b, "%ld line(s): about %ld..%ld packets", lines, 10 * (lines - 1) + 1,
           10 * lines);
  return b;
}

void AddNoise(std::string *s, const RunResult &r) {
  Add(s, "\n-- noise before and after cleaning --\n");
  if (!r.noise.valid) {
    Add(s, "not measured: too little upstream audio to compare\n");
  } else {
    Add(s, "alignment: output lags input by %d ms (envelope correlation %.2f)\n",
        r.noise.lag_frames * 20, r.noise.correlation);
    Add(s, "noise (non-speech, %zu frames of 20 ms): input %s, output %s\n", r.noise.quiet_frames,
        Db(r.noise.in_noise_dbfs).c_str(), Db(r.noise.out_noise_dbfs).c_str());
    Add(s, "speech (loudest fifth, %zu frames): input %s, output %s\n", r.noise.loud_frames,
        Db(r.noise.in_speech_dbfs).c_str(), Db(r.noise.out_speech_dbfs).c_str());
    if (!std::isinf(r.noise.out_noise_dbfs) && !std::isinf(r.noise.out_speech_dbfs))
      Add(s, "speech-to-noise: input %.1f dB, output %.1f dB\n",
          r.noise.in_speech_dbfs - r.noise.in_noise_dbfs,
          r.noise.out_speech_dbfs - r.noise.out_noise_dbfs);
  }
}

void AddSimulatedEcho(std::string *s, const Options &opt, const RunResult &r) {
  Add(s, "\n-- echo (simulated voice path) --\n");
  if (r.echo_desc.empty()) {
    Add(s, "echo path: off (--no-echo)\n");
  } else {
    const hxsim_echo_status &e = r.echo_end;
    const hx_echo_stats &c = e.canceller;
    Add(s, "echo path: %s\n", r.echo_desc.c_str());
    Add(s, "microphone.wav: what the voice path's microphone heard (near end + echo%s), %.2f s\n",
        opt.echo_noise_dbfs < 0 ? " + room noise" : "", r.heard_s);
    if (r.erle.valid)
      Add(s, "echo reduction (ERLE) on far-end-only stretches after 2 s: %.1f dB (%zu blocks of "
             "20 ms; microphone %s, host %s)\n",
          r.erle.db, r.erle.blocks, Db(r.erle.mic_dbfs).c_str(), Db(r.erle.out_dbfs).c_str());
    else
      Add(s, "echo reduction (ERLE): not measured, no far-end-only stretch after 2 s\n");
    *s += r.voice_lines;
    if (e.canceller_failed)
      Add(s, "echo canceller: could not start: %s\n", e.canceller_error ? e.canceller_error : "?");
    else if (!opt.echo_cancel)
      Add(s, "echo canceller: off (--no-cancel)\n");
    else
      Add(s, "echo canceller: delay reported %d ms, far end aligned by %d ms and handed over %d ms "
             "early; its own delay estimate %d ms after that far end (spread %d ms); its own "
             "ERLE %s; drift %.1f ppm; %lld blocks\n",
          c.reported_delay_ms, c.applied_delay_ms, c.lead_ms, c.delay_median_ms, c.delay_std_ms,
          c.erle_db > -100 ? (std::to_string(c.erle_db) + " dB").c_str() : "not given",
          c.drift_ppm, static_cast<long long>(c.capture_blocks));
    Add(s, "loudspeaker: %lld underruns, %lld far-end samples dropped\n",
        static_cast<long long>(e.underruns), static_cast<long long>(e.overflows));
  }
}

// The live voice path, from the figures its library wrote.
void AddVoicePath(std::string *s, const RunResult &r) {
  const VoicePathStats &v = r.voice;
  Add(s, "\n-- voice path (live) --\n");
  if (!v.valid) {
    Add(s, "no figures: the voice path did not run (%s is empty)\n", r.voice_stats_file.c_str());
    return;
  }
  Add(s, "figures: %ld lines in %s, %lld microphone blocks through the echo canceller\n", v.lines,
      r.voice_stats_file.c_str(), v.blocks);
  Add(s, "canceller delay: far end aligned by %d ms (reported with the microphone blocks %d ms; "
         "stream latencies: sink %d ms, source %d ms); its own residual delay estimate %d ms\n",
      v.applied_ms, v.reported_ms, v.render_ms, v.capture_ms, v.delay_median_ms);
  Add(s, "clock drift tracked: %.1f ppm (%s); echo found in the signals: %s (%.1f ppm)\n",
      v.drift_ppm, v.drift_used ? "correcting the far end" : "not used", v.path_locked ? "yes" : "no",
      v.path_ppm);
  Add(s, "levels: microphone %s before the canceller, %s after; far end played %s\n",
      Db(v.mic_dbfs).c_str(), Db(v.cleaned_dbfs).c_str(), Db(v.far_dbfs).c_str());
  auto db = [](int v) { return v > -100 ? std::to_string(v) + " dB" : std::string("not given"); };
  Add(s, "echo (the canceller's own figures): echo return loss %s (echo below the far end at the "
         "microphone), ERLE %s (echo removed)\n", db(v.erl_db).c_str(), db(v.erle_db).c_str());
  Add(s, "loudspeaker: %lld underruns, %lld far-end samples dropped (%.0f ms)\n", v.underruns,
      v.far_lost, v.far_lost / 16.0);
  Add(s, "canceller: %lld blocks without their far end, %lld far-end samples dropped from its "
         "queue\n", v.starved, v.far_dropped);
}

}  // namespace

std::string FormatReport(const Options &opt, const RunResult &r) {
  std::string s;
  Add(&s, "==== hxaec-host report ====\n");
  Add(&s, "module: %s\n", r.module_path.c_str());
  Add(&s, "mode flags: aec_mode=%d micro_capture=%d sys_capture=%d online_sys_capture=%d\n",
      opt.aec_mode, opt.micro_capture, opt.sys_capture, opt.online_sys_capture);
  const bool sim = !opt.live;
  Add(&s, "devices: %s\n", sim ? "simulated world" : "live (default sink and source of the sound server)");
  if (sim)
    Add(&s, "microphone: %s (%.2f s)%s\n", opt.mic_wav.c_str(), r.mic_s, opt.loop ? ", looped" : "");
  else
    Add(&s, "microphone: the default source (live)\n");
  if (r.farend_desc.empty()) Add(&s, "far-end streams: none\n");
  for (size_t i = 0; i < r.farend_desc.size(); ++i)
    Add(&s, "far-end stream %zu: %s\n", i, r.farend_desc[i].c_str());
  Add(&s, "system audio: %s\n", r.sys_desc.c_str());
  Add(&s, "run length: %.2f s (real time)\n", r.run_s);
  for (const auto &e : r.device_events) Add(&s, "device event at %.2f s: %s\n", e.first, e.second.c_str());

  Add(&s, "\n-- upstream (host capture callback) --\n");
  Add(&s, "blocks delivered to the host: %ld (1920 bytes each, %.2f s of audio)\n", r.up_blocks,
      r.up_blocks * 0.01);
  if (r.first_block_s >= 0) Add(&s, "first block after: %.3f s\n", r.first_block_s);
  Add(&s, "blocks of another length: %ld; blocks the host could not store: %ld\n", r.up_odd,
      r.up_overflow);
  long offered = opt.micro_capture ? 2 * r.status_end.mic_blocks : 0;
  if (sim)
    Add(&s, "microphone blocks delivered by the world: %lld (20 ms each) -> %ld packets offered\n",
        static_cast<long long>(r.status_end.mic_blocks), offered);
  if (sim && !opt.sys_capture)
    Add(&s, "packets not handed up (refused, or still queued at the stop): %ld\n",
        offered - r.up_blocks);
  Add(&s, "refused, quiet packet in a long queue (\"del mute pak\"): %s\n",
      RefusalRange(r.log.quiet_refusal_lines).c_str());
  Add(&s, "dropped, queue full (\"drop mute pak\"): %s\n",
      RefusalRange(r.log.full_refusal_lines).c_str());
  Add(&s, "mix-thread waits without a microphone packet (\"get mic timeout\"): %ld; "
          "without system audio: %ld\n", r.log.get_mic_timeouts, r.log.no_system_data);

  if (sim) {
    Add(&s, "\n-- back-end over time (world status) --\n");
    for (const auto &b : r.backends) Add(&s, "%7.2f s  %s\n", b.at_s, b.state.c_str());
  }
  Add(&s, "%s-- back-end selections (module log) --\n", sim ? "" : "\n");
  if (r.log.selections.empty()) Add(&s, "(none logged)\n");
  for (const auto &e : r.log.selections) Add(&s, "%7.2f s  %s\n", e.at_s, e.what.c_str());
  if (sim) Add(&s, "library calls: %s\n", r.call_log_summary.c_str());

  Add(&s, "\n-- far end --\n");
  for (int i = 0; i < 4; ++i)
    Add(&s, "play callback stream %d: %ld calls, %ld with audio\n", i, r.play_calls[i],
        r.play_audio[i]);
  if (r.play_bad) Add(&s, "play callback calls with a bad length or stream: %ld\n", r.play_bad);
  if (sim) {
    Add(&s, "play cycle rate: %.1f put_play_calls per second (%lld calls, %lld samples)\n",
        r.play_rate_per_s, static_cast<long long>(r.status_end.put_play_calls),
        static_cast<long long>(r.status_end.put_play_samples));
    Add(&s, "voice-path play requests: %.1f per second (%lld)\n", r.request_rate_per_s,
        static_cast<long long>(r.status_end.play_requests));
    Add(&s, "far end handed to the voice path: %zu samples (%.2f s at 16 kHz stereo)\n",
        r.voicepath_samples, r.voicepath_samples / 32000.0);
  } else {
    Add(&s, "play cycles: %.1f per second (the voice path's requests pace them)\n",
        r.run_s > 0 ? r.play_calls[0] / r.run_s : 0);
  }
  if (r.log.play_null) Add(&s, "\"m_fnPlay is null\" lines: %ld\n", r.log.play_null);

  if (sim) {
    AddNoise(&s, r);
    AddSimulatedEcho(&s, opt, r);
  } else {
    AddVoicePath(&s, r);
  }

  Add(&s, "\n-- module log --\n");
  Add(&s, "module log lines: %ld (module.log)\n", r.log.lines);
  if (r.log.assertion_lines) Add(&s, "fatal assertion lines: %ld\n", r.log.assertion_lines);
  for (const auto &n : r.notes) Add(&s, "note: %s\n", n.c_str());
  return s;
}

}  // namespace host
