// call_cost: what a live call costs, this module beside PulseAudio's own
// echo canceller, on one private daemon with the echo path of the
// real-device tests (the speaker's monitor comes back into the microphone
// through module-loopback). Three phases, one after the other, each with a
// client process of its own so that its CPU is the client's alone:
//   idle    a host loads the module and starts it (voice path on), plays no
//           far end; the microphone is silent;
//   call    the same host plays the test speech (looped) as the far end;
//   anchor  module-echo-cancel (webrtc, source_master=mic sink_master=spk)
//           is loaded, and a client plays the same speech into its sink and
//           records its source (16 kHz mono; the real-device tests' own
//           streams: 10 ms fragments, 40 ms target buffer asked), as a call
//           would.
// Each phase waits until its client is live, lets it settle 2 s, then
// measures for --seconds: CPU seconds (user + system) of the client process
// and of the daemon, and per thread name of the client the voluntary and
// involuntary context switches per second (/proc/<pid>/task/*/status; the
// voluntary ones are the thread's wakeups). With --perf P the module's
// process is then profiled for P s more (perf record -e cpu-clock -g) and
// the top threads, libraries and symbols are printed.
//
//   build/bin/call_cost [--seconds S] [--perf P] [--phases LIST]
//
// (defaults: 30 s, no profile, idle,call,anchor). The client of the module's
// phases is this program run again with --role (internal).
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "rig/echo_call.h"
#include "host/module_api.h"
#include "proc_stat.h"
#include "rig/pulse_daemon.h"
#include "rig/shell.h"

using namespace hxtest;

namespace {

constexpr int kReportFd = 3;  // the client's report pipe
constexpr double kSettleSeconds = 2;
constexpr double kReadySeconds = 20;

// ---- the clients (run as a child process) ----

struct CallHost {
  std::vector<int16_t> far;  // 16 kHz mono, looped; empty: no far end
  size_t far_pos = 0;        // play thread only
  std::atomic<long> blocks{0};
  static int32_t Capture(void *ctx, int16_t *, int32_t) {
    static_cast<CallHost *>(ctx)->blocks++;
    return 0;
  }
  // Every sample three times at 48 kHz stereo: the voice path hears `far`.
  static int32_t Play(void *ctx, int16_t *buf, int32_t len, int32_t stream) {
    CallHost *h = static_cast<CallHost *>(ctx);
    if (stream != 0 || h->far.empty()) return 0;
    for (int32_t f = 0; f < len / 4; ++f)
      buf[2 * f] = buf[2 * f + 1] = h->far[(h->far_pos + size_t(f) / 3) % h->far.size()];
    h->far_pos = (h->far_pos + size_t(len / 4) / 3) % h->far.size();
    return len;
  }
};

// Reports "ready <count>" once live, then blocks on stdin (no wakeups of
// its own) until the parent writes or closes it, reports "<count>" and ends.
template <typename Count>
int Serve(Count count) {
  dprintf(kReportFd, "ready %ld\n", count());
  char c;
  while (read(0, &c, 1) < 0 && errno == EINTR) {
  }
  dprintf(kReportFd, "%ld\n", count());
  return 0;
}

int RunModuleClient(bool with_far_end) {
  std::string error;
  host::ModuleApi api;
  if (!host::LoadModule(HX_MODULE_PATH, &api, &error)) {
    fprintf(stderr, "call_cost: %s\n", error.c_str());
    return 1;
  }
  CallHost host;
  if (with_far_end) host.far = SpeechLoop16k();
  api.SetDownComCallBackPtr(reinterpret_cast<void *>(&CallHost::Capture), &host,
                            reinterpret_cast<void *>(&CallHost::Play), &host);
  api.SetAecMode(1);
  api.SetMicroCapture(1);
  if (api.Init() != 0 || !WaitFor([&] { return host.blocks > 100; }, kReadySeconds)) {
    fprintf(stderr, "call_cost: the module delivers no upstream audio\n");
    return 1;
  }
  const int rc = Serve([&] { return host.blocks.load(); });
  api.DeInit();
  return rc;
}

int RunAnchorClient() {
  SimpleStream far, out;
  std::string error = out.Record("aec_src", 16000, 1);
  if (error.empty()) error = far.Play("aec_sink", 16000, 1, SpeechLoop16k());
  if (!error.empty() || !WaitFor([&] { return out.received() > 16000; }, kReadySeconds)) {
    fprintf(stderr, "call_cost: the echo canceller's streams do not run: %s\n", error.c_str());
    return 1;
  }
  // Recorded audio is dropped as it comes, so the client holds no growing buffer.
  return Serve([&] {
    out.Take();
    return long(out.received() / 160);
  });
}

// ---- measurement (the parent) ----

struct Switches {
  double voluntary = 0, involuntary = 0;
  int threads = 0;
};
using ByThread = std::map<std::string, Switches>;

ByThread ThreadSwitches(pid_t pid) {
  ByThread out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const std::string &task : hxbench::Tasks(dir)) {
    std::istringstream status(hxbench::ReadFile(dir + "/" + task + "/status"));
    std::string line, name;
    Switches s;
    while (std::getline(status, line)) {
      if (!line.compare(0, 5, "Name:")) name = line.substr(line.find_first_not_of(" \t", 5));
      else if (!line.compare(0, 24, "voluntary_ctxt_switches:")) s.voluntary = atof(line.c_str() + 24);
      else if (!line.compare(0, 27, "nonvoluntary_ctxt_switches:")) s.involuntary = atof(line.c_str() + 27);
    }
    if (name.empty()) continue;
    Switches &t = out[name];
    t.voluntary += s.voluntary;
    t.involuntary += s.involuntary;
    t.threads += 1;
  }
  return out;
}

struct Client {
  pid_t pid = -1;
  int to = -1, from = -1;
  FILE *report = nullptr;
  long ready_count = 0;
};

std::string ReadLine(Client &c, double seconds) {
  pollfd p = {c.from, POLLIN, 0};
  if (poll(&p, 1, int(seconds * 1000)) <= 0) return "";
  char line[128];
  return fgets(line, sizeof line, c.report) ? line : "";
}

// Runs this program again as a client; its log goes to /dev/null.
bool Spawn(const char *role, Client *c) {
  int to[2], from[2];
  // Above the client's own descriptors, so that no dup2 below is a no-op.
  if (pipe(to) || pipe(from)) return false;
  for (int *fd : {&to[0], &to[1], &from[0], &from[1]}) {
    const int high = fcntl(*fd, F_DUPFD_CLOEXEC, 10);
    close(*fd);
    *fd = high;
  }
  c->pid = fork();
  if (c->pid == 0) {
    dup2(to[0], 0);
    dup2(from[1], kReportFd);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    for (int fd : {to[0], to[1], from[0], from[1], null})
      if (fd != 0 && fd != 1 && fd != kReportFd) close(fd);
    execl("/proc/self/exe", "call_cost", "--role", role, (char *)nullptr);
    _exit(127);
  }
  close(to[0]);
  close(from[1]);
  c->to = to[1];
  c->from = from[0];
  c->report = fdopen(c->from, "r");
  const std::string line = ReadLine(*c, kReadySeconds + 20);
  if (line.compare(0, 6, "ready ") != 0) return false;
  c->ready_count = atol(line.c_str() + 6);
  return true;
}

long Finish(Client &c) {
  if (c.to >= 0) close(c.to);
  const std::string line = c.report ? ReadLine(c, 30) : "";
  if (c.report) fclose(c.report);
  int status = 0;
  if (c.pid > 0 && waitpid(c.pid, &status, 0) == c.pid && status != 0)
    fprintf(stderr, "call_cost: the client ended with status %d (signal %d)\n",
            WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return line.empty() ? -1 : atol(line.c_str());
}

struct Phase {
  std::string name;
  double client_cpu = 0, daemon_cpu = 0, daemon_wakeups = 0, seconds = 0;
  double units_per_second = 0;  // upstream blocks (module) or 10 ms of output (anchor)
  ByThread threads;            // per second
  std::string profile;
  bool ok = false;
};

void Profile(pid_t pid, double seconds, const std::string &dir, Phase *ph) {
  int status;
  const std::string data = dir + "/perf-" + ph->name + ".data";
  Shell("perf record -q -e cpu-clock -F 997 -g -p " + std::to_string(pid) + " -o " + data +
        " -- sleep " + std::to_string(seconds), &status);
  if (status != 0) {
    ph->profile = "  perf record failed here (perf_event_paranoid, or perf is missing)\n";
    return;
  }
  const std::string report = "perf report -i " + data + " --stdio -q --no-children -g none --percent-limit ";
  ph->profile = "  by thread:\n" + Shell(report + "2 --sort comm", &status) +
                "  by library:\n" + Shell(report + "2 --sort dso", &status) +
                "  by symbol (self, at least 1 %):\n" +
                Shell(report + "1 --sort sym", &status);
  unlink(data.c_str());
}

Phase Measure(const std::string &name, const char *role, pid_t daemon, double seconds,
              double perf_seconds, const std::string &dir) {
  Phase ph;
  ph.name = name;
  Client c;
  if (!Spawn(role, &c)) {
    fprintf(stderr, "call_cost: the %s client did not come up\n", name.c_str());
    Finish(c);
    return ph;
  }
  usleep(useconds_t(kSettleSeconds * 1e6));  // a measurement window, not a wait for a condition
  const ByThread th0 = ThreadSwitches(c.pid), d0 = ThreadSwitches(daemon);
  const double cpu0 = hxbench::CpuSeconds(c.pid), dcpu0 = hxbench::CpuSeconds(daemon), t0 = Now();
  // The count the client reports is read at the end only: asking it in
  // between would wake it.
  const long count0 = c.ready_count;
  const double ready_at = t0 - kSettleSeconds;
  usleep(useconds_t(seconds * 1e6));
  const double cpu1 = hxbench::CpuSeconds(c.pid), dcpu1 = hxbench::CpuSeconds(daemon), t1 = Now();
  const ByThread th1 = ThreadSwitches(c.pid), d1 = ThreadSwitches(daemon);
  ph.seconds = t1 - t0;
  ph.client_cpu = cpu1 - cpu0;
  ph.daemon_cpu = dcpu1 - dcpu0;
  for (const auto &kv : th1) {
    auto was = th0.find(kv.first);
    Switches s = kv.second;
    if (was != th0.end()) {
      s.voluntary -= was->second.voluntary;
      s.involuntary -= was->second.involuntary;
    }
    s.voluntary /= ph.seconds;
    s.involuntary /= ph.seconds;
    s.threads = kv.second.threads;
    ph.threads[kv.first] = s;
  }
  double dv0 = 0, dv1 = 0;
  for (const auto &kv : d0) dv0 += kv.second.voluntary;
  for (const auto &kv : d1) dv1 += kv.second.voluntary;
  ph.daemon_wakeups = (dv1 - dv0) / ph.seconds;
  if (perf_seconds > 0) Profile(c.pid, perf_seconds, dir, &ph);
  const long count1 = Finish(c);
  ph.units_per_second = count1 >= 0 ? double(count1 - count0) / (Now() - ready_at) : 0;
  ph.ok = count1 > count0;
  return ph;
}

void Print(const Phase &ph) {
  printf("\n%s: %.1f s measured; client %.3f s CPU (%.2f %% of one core), daemon %.3f s "
         "(%.2f %%), together %.3f s; daemon wakeups %.0f/s; %s %.1f/s%s\n",
         ph.name.c_str(), ph.seconds, ph.client_cpu, 100 * ph.client_cpu / ph.seconds,
         ph.daemon_cpu, 100 * ph.daemon_cpu / ph.seconds, ph.client_cpu + ph.daemon_cpu,
         ph.daemon_wakeups, ph.name == "anchor" ? "output (10 ms units)" : "upstream blocks",
         ph.units_per_second, ph.ok ? "" : " (NOT LIVE: figures do not count)");
  printf("  thread              wakeups/s  involuntary/s\n");
  double hx = 0, all = 0;
  for (const auto &kv : ph.threads) {
    printf("  %-16s x%-2d %9.1f %14.1f\n", kv.first.c_str(), kv.second.threads,
           kv.second.voluntary, kv.second.involuntary);
    all += kv.second.voluntary;
    if (!kv.first.compare(0, 3, "hx-")) hx += kv.second.voluntary;
  }
  printf("  all threads %.1f/s, the module's (hx-*) %.1f/s\n", all, hx);
  if (!ph.profile.empty()) printf("  profile:\n%s", ph.profile.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 30, perf_seconds = 0;
  std::string phases = "idle,call,anchor", role;
  const cli::Command command{
      "call_cost", "[options]",
      "What a live call costs on a private PulseAudio daemon: CPU of the module's process and\n"
      "of the daemon, wakeups per thread and a profile, beside module-echo-cancel.",
      {cli::Number("seconds", &seconds, 5, 1e6, "S", "each phase's length (default 30)"),
       cli::Number("perf", &perf_seconds, 0, 1e6, "P", "profile P s of each phase with perf (default 0: none)"),
       cli::Call("phases", "LIST", "some of idle,call,anchor, comma-separated (default all three)",
                 [&phases](const char *v, std::string *why) {
                   std::stringstream list(v);
                   for (std::string item; std::getline(list, item, ',');)
                     if (item != "idle" && item != "call" && item != "anchor") {
                       *why = "option --phases wants some of idle,call,anchor, not '" + std::string(v) + "'";
                       return false;
                     }
                   phases = v;
                   return true;
                 }),
       cli::Text("role", &role, "R", "internal: the client process of a phase")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  if (!role.empty()) prctl(PR_SET_NAME, "host");  // the client's main thread
  if (role == "call" || role == "idle") return RunModuleClient(role == "call");
  if (role == "anchor") return RunAnchorClient();
  if (!role.empty()) return cli::Refuse(command, "--role wants call, idle or anchor");
  signal(SIGPIPE, SIG_IGN);
  PulseDaemon daemon(Microphone::kEchoPath, "pulseaudio");
  std::string error = daemon.Start();
  if (!error.empty()) {
    fprintf(stderr, "call_cost: %s\n", error.c_str());
    return 1;
  }
  const pid_t dpid = daemon.pids().front();  // the pulseaudio process
  MicFeeder feeder(daemon);  // silence into the microphone all along
  printf("private daemon (echo path), %.0f s per phase after %.0f s of settling; CPU from "
         "/proc/<pid>/stat, wakeups = voluntary context switches\n", seconds, kSettleSeconds);
  std::vector<Phase> done;
  for (const std::string name : {"idle", "call", "anchor"}) {
    if (phases.find(name) == std::string::npos) continue;
    std::string index;
    if (name == "anchor") {
      index = daemon.LoadModule({"module-echo-cancel", "source_master=mic", "sink_master=spk",
                                 "source_name=aec_src", "sink_name=aec_sink", "aec_method=webrtc",
                                 "'aec_args=\"analog_gain_control=0 digital_gain_control=0\"'"});
      if (index.empty()) {
        fprintf(stderr, "call_cost: module-echo-cancel did not load:\n%s\n", daemon.Log().c_str());
        return 1;
      }
    }
    done.push_back(Measure(name, name.c_str(), dpid, seconds, name == "anchor" ? 0 : perf_seconds,
                           daemon.dir()));
    Print(done.back());
    fflush(stdout);
    if (!index.empty()) daemon.Pactl("unload-module " + index);
  }
  printf("\n| %.0f s | client CPU | daemon CPU | together |\n|---|---|---|---|\n", seconds);
  bool ok = true;
  for (const Phase &ph : done) {
    printf("| %s | %.3f s (%.2f %%) | %.3f s | **%.3f s** |\n", ph.name.c_str(), ph.client_cpu,
           100 * ph.client_cpu / ph.seconds, ph.daemon_cpu, ph.client_cpu + ph.daemon_cpu);
    ok &= ph.ok;
  }
  return ok ? 0 : 1;
}
