// hxaec-host: runs a call through libHx_Aec_Mod.so.
//
// The program plays the part of a conferencing host: it loads the module
// with dlopen, exchanges the two pairs of function pointers with it, sets
// the mode flags and starts the engine. With --devices sim (the default)
// the simulated audio world (libhxsim) drives the stand-in back-ends in
// real time; with --devices pulse no stand-in is loaded, the module meets
// the real back-ends beside it and the call runs on the default sound
// devices while the world stays idle. Afterwards it writes what it
// received and a report.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "analysis.h"
#include "call_io.h"
#include "measure/echo_measure.h"
#include "hxsim.h"
#include "log_tap.h"
#include "module_api.h"
#include "options.h"
#include "pulse_probe.h"
#include "report.h"
#include "wav_io.h"

extern char **environ;

namespace host {
namespace {

volatile sig_atomic_t g_interrupted = 0;
void OnSigint(int) { g_interrupted = 1; }

int Fail(const std::string &message) {
  fprintf(stderr, "hxaec-host: error: %s\n", message.c_str());
  return 2;
}

bool FileExists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

std::string ExecutableDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string p(buf);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

// The module built with this program, else ../lib next to the executable.
std::string DefaultModulePath() {
  if (FileExists(HX_HOST_MODULE_PATH)) return HX_HOST_MODULE_PATH;
  return ExecutableDir() + "/../lib/libHx_Aec_Mod.so";
}

// The simulated world's stand-ins built with this program, else the folder
// they have beside the module.
std::string SimBackendDir(const std::string &module_path) {
  if (FileExists(std::string(HX_HOST_SIM_LIB_DIR) + "/libBrisaDll.so")) return HX_HOST_SIM_LIB_DIR;
  size_t slash = module_path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : module_path.substr(0, slash);
  return dir + "/hx-aec-mod/sim";
}

bool MakeDirs(const std::string &dir, std::string *error) {
  std::string partial;
  size_t start = 0;
  while (start <= dir.size()) {
    size_t slash = dir.find('/', start);
    if (slash == std::string::npos) slash = dir.size();
    partial = dir.substr(0, slash);
    start = slash + 1;
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create '" + partial + "': " + strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "'" + dir + "' is not a folder";
    return false;
  }
  return true;
}

std::string BackendState(const hxsim_status &st) {
  std::string s;
  if (st.brisa_started == 1) s = "voice path, capture + render (Brisa)";
  else if (st.brisa_started == 2) s = "voice path, render only (Brisa)";
  else if (st.brisa_initialised) s = "voice path initialised, not started (Brisa)";
  if (st.mirel_running) s += std::string(s.empty() ? "" : " + ") + "plain capture (Mirel)";
  if (s.empty()) s = "no microphone back-end";
  if (st.tovan_running) s += " + system audio (Tovan)";
  return s;
}

// "BrisaApi_Init(0) x2, BrisaApi_Start(1) x2, ..." in order of first call.
std::string SummariseCallLog() {
  size_t len = hxsim_call_log(nullptr, 0);
  std::string log(len + 1, '\0');
  hxsim_call_log(&log[0], log.size());
  log.resize(strlen(log.c_str()));
  std::vector<std::string> order;
  std::map<std::string, int> count;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t nl = log.find('\n', pos);
    if (nl == std::string::npos) nl = log.size();
    std::string call = log.substr(pos, nl - pos);
    pos = nl + 1;
    if (call.empty()) continue;
    if (count[call]++ == 0) order.push_back(call);
  }
  std::string out;
  for (const auto &c : order) {
    if (!out.empty()) out += ", ";
    out += c + " x" + std::to_string(count[c]);
  }
  return out.empty() ? "none" : out;
}

// sox <in> -n spectrogram -t <title> -o <png>; quiet, and only when sox is
// on PATH. Returns false when it could not run or failed.
bool Spectrogram(const std::string &in, const std::string &png, const std::string &title) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"sox", in, "-n", "spectrogram", "-t", title, "-o", png};
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, "sox", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void WriteAll(int fd, const std::string &s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t w = write(fd, s.data() + done, s.size() - done);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(w);
  }
}

void TakeHeard(std::vector<int16_t> *heard, std::vector<int16_t> *echo) {
  int16_t h[4096], e[4096];
  size_t n;
  while ((n = hxsim_take_mic_heard(h, e, sizeof h / sizeof h[0])) > 0) {
    heard->insert(heard->end(), h, h + n);
    echo->insert(echo->end(), e, e + n);
  }
}

std::string DescribeEcho(const Options &opt, int change_to_ms) {
  char d[256];
  snprintf(d, sizeof d, "%d ms, %.1f dB, %s, drift %g ppm, %s", opt.echo_delay_ms,
           opt.echo_gain_db, opt.echo_room ? "short room" : "no room", opt.echo_drift_ppm,
           opt.echo_cancel ? "cancelled by the voice path" : "not cancelled");
  std::string s = d;
  if (opt.echo_change_at_s >= 0) {
    snprintf(d, sizeof d, "; delay %d ms from %.2f s", change_to_ms, opt.echo_change_at_s);
    s += d;
  }
  return s;
}

void TakePlayed(std::vector<int16_t> *played) {
  int16_t chunk[8192];
  size_t n;
  while ((n = hxsim_take_played(chunk, sizeof chunk / sizeof chunk[0])) > 0)
    played->insert(played->end(), chunk, chunk + n);
}

int Run(int argc, char **argv) {
  Options opt;
  std::string error;
  opt.farend_wavs = {std::string(HX_HOST_SCENARIO_DIR) + "/far_end.wav"};
  int parsed = ParseOptions(argc, argv, &opt, &error);
  if (parsed > 0) return 0;
  if (parsed < 0) return Fail(error);
  const bool sim = !opt.live;
  if (sim && opt.mic_wav.empty()) opt.mic_wav = std::string(HX_HOST_SCENARIO_DIR) + "/near_end.wav";
  if (opt.live) {
    std::string server;
    if (!ProbeSoundServer(3.0, &server)) {
      fprintf(stderr, "hxaec-host: no sound server reachable at %s\n", server.c_str());
      return 3;
    }
    if (opt.seconds <= 0) opt.seconds = 10;
  }

  // ---- inputs ----
  RunResult res;
  Pcm mic;
  if (sim && !ReadPcm(opt.mic_wav, 16000, 2u, &mic, &error)) return Fail("microphone: " + error);
  res.mic_s = mic.seconds();
  FarEndSource farend;
  farend.loop = opt.loop;
  for (const auto &path : opt.farend_wavs) {
    Pcm p;
    if (!ReadPcm(path, 48000, 2u | 4u, &p, &error)) return Fail("far end: " + error);
    char desc[64];
    snprintf(desc, sizeof desc, " (%.2f s, %s)", p.seconds(), p.channels == 1 ? "mono" : "stereo");
    res.farend_desc.push_back(path + desc);
    ExpandToStereo(&p);
    farend.streams.push_back(std::move(p));
  }
  Pcm sys;
  res.sys_desc = sim ? "none (the world's system audio is silent)"
                     : "the default sink's monitor (live)";
  if (!opt.sys_wav.empty()) {
    if (!ReadPcm(opt.sys_wav, 48000, 4u, &sys, &error)) return Fail("system audio: " + error);
    char desc[32];
    snprintf(desc, sizeof desc, " (%.2f s)", sys.seconds());
    res.sys_desc = opt.sys_wav + desc;
  }
  res.module_path = opt.module_path.empty() ? DefaultModulePath() : opt.module_path;
  if (!FileExists(res.module_path)) return Fail("module '" + res.module_path + "' not found");
  if (!MakeDirs(opt.out_dir, &error)) return Fail("output folder: " + error);
  const double run_s = opt.seconds > 0 ? opt.seconds : res.mic_s;
  const std::string dir = opt.out_dir + "/";

  // ---- world (idle in a live call) ----
  unsigned render = opt.render_endpoints, capture = opt.capture_endpoints;
  if (sim) {
    hxsim_reset();
    hxsim_set_endpoints(render, capture);
    hxsim_set_mic_pcm(mic.samples.data(), mic.samples.size(), opt.loop ? 1 : 0);
    if (!sys.samples.empty()) hxsim_set_sys_pcm(sys.samples.data(), sys.frames(), opt.loop ? 1 : 0);
  }
  hxsim_echo_path echo_path = {};
  const int change_to_ms = opt.echo_change_to_ms >= 0 ? opt.echo_change_to_ms
                                                      : std::min(300, opt.echo_delay_ms + 100);
  if (sim && opt.echo) {
    hxsim_default_echo_path(&echo_path);
    echo_path.delay_ms = opt.echo_delay_ms;
    echo_path.gain_db = opt.echo_gain_db;
    echo_path.room = opt.echo_room;
    echo_path.drift_ppm = opt.echo_drift_ppm;
    echo_path.cancel = opt.echo_cancel ? 1 : 0;
    if (hxsim_set_echo_path(&echo_path) != 0) return Fail(std::string("echo path: ") + hxsim_last_error());
    res.echo_desc = DescribeEcho(opt, change_to_ms);
  }

  // The report goes to the real standard output; fd 1 itself carries the
  // module's log into module.log from here on.
  int report_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  LogTap tap;
  if (!tap.Start(dir + "module.log", &error)) return Fail(error);

  // ---- module ----
  ModuleApi api;
  if (sim && !PreloadSimBackends(SimBackendDir(res.module_path), &error)) {
    tap.Stop();
    return Fail(error);
  }
  if (!LoadModule(res.module_path, &api, &error)) {
    tap.Stop();
    return Fail(error);
  }
  void *push_fn = nullptr, *push_ctx = nullptr, *pull_fn = nullptr, *pull_ctx = nullptr;
  if (api.GetUpComCallBackPtr(&push_fn, &push_ctx, &pull_fn, &pull_ctx) != 0 || !push_fn ||
      !pull_fn) {
    res.notes.push_back("the module handed out no entry points");
  } else if (push_ctx != pull_ctx) {
    res.notes.push_back("the two entry-point contexts differ");
  }
  // The entry points (UpCom_PushMicData, UpCom_PullPlayData) would let a
  // host add its own upstream blocks or play the far end itself; this host
  // lets the voice path play, so it only checks that they were handed out.

  CaptureSink sink(static_cast<size_t>((run_s + 10) * 96000));
  api.SetDownComCallBackPtr(reinterpret_cast<void *>(&HostCapture), &sink,
                            reinterpret_cast<void *>(&HostPlay), &farend);
  api.SetAecMode(static_cast<uint8_t>(opt.aec_mode));
  api.SetMicroCapture(static_cast<uint8_t>(opt.micro_capture));
  api.SetOnlineCapSys(static_cast<uint8_t>(opt.online_sys_capture));

  signal(SIGINT, OnSigint);
  const double t0 = MonotonicSeconds();
  sink.start_s = t0;
  tap.set_origin(t0);
  api.Init();
  // System audio starts after Init, so its capture callback never meets an
  // engine that has not been started.
  api.SetSysCapture(static_cast<uint8_t>(opt.sys_capture));

  // ---- real-time loop ----
  std::vector<int16_t> played, heard, echo;
  bool echo_changed = false;
  size_t next_event = 0;
  std::string last_state;
  double next_progress = 0;
  hxsim_status st{};
  const bool progress = !opt.quiet;
  for (;;) {
    double now = MonotonicSeconds() - t0;
    if (now >= run_s || g_interrupted) break;
    while (next_event < opt.events.size() && opt.events[next_event].at_s <= now) {
      const DeviceEvent &e = opt.events[next_event++];
      switch (e.kind) {
        case DeviceEventKind::kUnplugSpeaker: render = 0; break;
        case DeviceEventKind::kPlugSpeaker: render = std::max(1u, opt.render_endpoints); break;
        case DeviceEventKind::kUnplugMic: capture = 0; break;
        case DeviceEventKind::kPlugMic: capture = std::max(1u, opt.capture_endpoints); break;
      }
      hxsim_set_endpoints(render, capture);
      res.device_events.push_back({now, DeviceEventName(e.kind)});
    }
    if (sim && opt.echo && !echo_changed && opt.echo_change_at_s >= 0 &&
        now >= opt.echo_change_at_s) {
      echo_path.delay_ms = change_to_ms;  // as when the output device changes
      hxsim_set_echo_path(&echo_path);
      echo_changed = true;
      res.device_events.push_back({now, "echo delay now " + std::to_string(change_to_ms) + " ms"});
    }
    std::string state = "live devices";
    if (sim) {
      hxsim_get_status(&st);
      state = BackendState(st);
      if (state != last_state) {
        res.backends.push_back({now, state});
        last_state = state;
      }
      TakePlayed(&played);
      TakeHeard(&heard, &echo);
    }
    if (progress && now >= next_progress) {
      long long far_calls = sim ? static_cast<long long>(st.put_play_calls) : farend.calls[0].load();
      fprintf(stderr, "\r%5.1f/%.1f s  upstream %5ld blocks  far end %6lld calls  %-48s", now,
              run_s, sink.blocks.load(), far_calls, state.c_str());
      next_progress = now + 0.25;
    }
    usleep(10000);
  }
  res.run_s = MonotonicSeconds() - t0;
  if (progress) fprintf(stderr, "\n");
  if (g_interrupted) res.notes.push_back("interrupted before the end");

  api.DeInit();
  // DeInit has ended every worker of the module; unloading stops the
  // capture libraries it left running, as a host closing a call would.
  dlclose(api.handle);
  api = host::ModuleApi();
  if (sim) {
    hxsim_get_status(&res.status_end);
    hxsim_get_echo_status(&res.echo_end);
    TakePlayed(&played);
    TakeHeard(&heard, &echo);
    res.call_log_summary = SummariseCallLog();
  }

  // ---- results ----
  const size_t up_samples = sink.used.load(std::memory_order_acquire);
  res.up_blocks = sink.blocks.load();
  res.up_odd = sink.odd_blocks.load();
  res.up_overflow = sink.overflow_blocks.load();
  res.first_block_s = sink.first_block_s.load();
  for (int i = 0; i < 4; ++i) {
    res.play_calls[i] = farend.calls[i].load();
    res.play_audio[i] = farend.audio_blocks[i].load();
  }
  res.play_bad = farend.bad_calls.load();
  res.voicepath_samples = played.size();
  res.play_rate_per_s = res.run_s > 0 ? res.status_end.put_play_calls / res.run_s : 0;
  res.request_rate_per_s = res.run_s > 0 ? res.status_end.play_requests / res.run_s : 0;

  bool ok = WritePcm16Wav(dir + "upstream.wav", sink.store.data(), up_samples / 2, 48000, 2, &error);
  if (ok && sim)
    ok = WritePcm16Wav(dir + "farend_to_voicepath.wav", played.data(), played.size() / 2, 16000,
                       2, &error);
  if (ok && sim && opt.echo)
    ok = WritePcm16Wav(dir + "microphone.wav", heard.data(), heard.size(), 16000, 1, &error);
  if (!ok) {
    tap.Stop();
    return Fail(error);
  }

  if (sim) {  // the live microphone's input is not known to the host
    size_t in_frames = std::min(mic.frames(), static_cast<size_t>(run_s * 16000));
    res.noise = CompareNoise(FrameRms(mic.samples.data(), in_frames, 16000, 1, 0),
                             FrameRms(sink.store.data(), up_samples / 2, 48000, 2, 0));
  }
  if (sim && opt.echo) {
    // The host's blocks follow the microphone's from its first one on; the
    // envelopes say by how many 20 ms frames more (refused packets), within
    // 200 ms.
    const NoiseReport a = CompareNoise(FrameRms(heard.data(), heard.size(), 16000, 1, 0),
                                       FrameRms(sink.store.data(), up_samples / 2, 48000, 2, 0));
    const long lag = a.valid && a.lag_frames > 0 && a.lag_frames <= 10 ? a.lag_frames * 320L : 0;
    res.heard_s = heard.size() / 16000.0;
    res.erle = echo_measure::FarEndOnly(heard.data(), echo.data(), heard.size(), sink.store.data(),
                                        up_samples / 2, lag);
  }

  if (opt.sys_capture)
    res.notes.push_back("system audio is mixed into the upstream audio, so the output noise "
                        "level includes it");
  const std::string input = opt.echo ? dir + "microphone.wav" : opt.mic_wav;
  if (!sim) {
    if (Spectrogram(dir + "upstream.wav", dir + "output.png", "upstream (left, right)"))
      res.notes.push_back("spectrogram: output.png");
  } else if (Spectrogram(input, dir + "input.png",
                         opt.echo ? "microphone input (near end + echo)" : "microphone input") &&
             Spectrogram(dir + "upstream.wav", dir + "output.png", "upstream (left, right)")) {
    res.notes.push_back("spectrograms: input.png, output.png");
  }

  tap.Stop();
  res.log = tap.counts();
  std::string report = FormatReport(opt, res);
  FILE *f = fopen((dir + "report.txt").c_str(), "w");
  if (!f) return Fail("cannot write '" + dir + "report.txt': " + strerror(errno));
  fputs(report.c_str(), f);
  fclose(f);
  WriteAll(report_fd >= 0 ? report_fd : STDERR_FILENO, report);
  if (report_fd >= 0) close(report_fd);
  return 0;
}

}  // namespace
}  // namespace host

int main(int argc, char **argv) { return host::Run(argc, argv); }
