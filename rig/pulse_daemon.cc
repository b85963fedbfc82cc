#include "rig/pulse_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

#include "rig/shell.h"
#include "rig/wait_until.h"

namespace hxtest {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

bool WaitFor(const std::function<bool()> &cond, double seconds) { return WaitUntil(cond, int(seconds * 1000)); }

std::string TestServer() {
  const char *name = getenv("HX_TEST_SERVER");
  return name && *name ? name : "pulseaudio";
}

PulseDaemon::PulseDaemon(Microphone mic, std::string server) : mic_(mic), server_name_(std::move(server)) {}

PulseDaemon::~PulseDaemon() {
  Kill();
  bus_.Kill();
  int status;
  if (!dir_.empty()) Shell("rm -rf " + dir_, &status);
}

std::string PulseDaemon::server() const { return "unix:" + dir_ + (pipewire() ? "/pulse/native" : "/sock"); }

std::string PulseDaemon::Start() {
  if (server_name_ != "pulseaudio" && server_name_ != "pipewire")
    return "unknown sound server '" + server_name_ + "' (pulseaudio or pipewire)";
  const std::vector<std::string> programs = pipewire()
      ? std::vector<std::string>{"setpriv", "pactl", "dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}
      : std::vector<std::string>{"setpriv", "pactl", "pulseaudio"};
  int status;
  for (const std::string &p : programs)
    if (Shell("command -v " + p, &status), status != 0)
      return "the private " + server_name_ + " server cannot start: " + p + " is not installed (scripts/hx.sh setup installs it)";
  char tmpl[] = "/tmp/hx-pulse-XXXXXX";
  if (!mkdtemp(tmpl)) return std::string("cannot create a temporary folder: ") + strerror(errno);
  dir_ = tmpl;
  setenv("PULSE_SERVER", server().c_str(), 1);
  if (pipewire()) {
    const std::string why = WritePipeWireConfig();
    if (!why.empty()) return Failed(why);
  }
  return Launch();
}

std::string PulseDaemon::Launch() { return pipewire() ? LaunchPipeWire() : LaunchPulseAudio(); }

std::string PulseDaemon::Spawn(ServerProcess &p, const std::vector<std::string> &args) {
  const std::string why = p.Start(args, PrivateEnvironment(), dir_ + "/" + p.program() + ".log");
  if (why.empty()) pids_.push_back(p.pid());
  return why;
}

// Only what the server needs, all of it inside the folder: no variable of
// this process (a user's PULSE_SERVER, DISPLAY or PIPEWIRE_REMOTE) reaches
// it, and the system bus address names a socket that does not exist.
std::vector<std::string> PulseDaemon::PrivateEnvironment() const {
  const char *path = getenv("PATH");
  return {"PATH=" + std::string(path ? path : "/usr/bin:/bin"), "HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_,
          "XDG_CONFIG_HOME=" + dir_ + "/config", "XDG_STATE_HOME=" + dir_ + "/state",
          "XDG_DATA_HOME=" + dir_ + "/data", "XDG_CACHE_HOME=" + dir_ + "/cache",
          "PIPEWIRE_RUNTIME_DIR=" + dir_, "PULSE_RUNTIME_PATH=" + dir_ + "/pulse",
          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/bus",
          "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_ + "/no-system-bus", "PIPEWIRE_LOG_SYSTEMD=false"};
}

std::vector<std::string> PulseDaemon::EchoLoopback(const std::string &speaker, int echo_ms) {
  return {"module-loopback", "source=" + speaker + ".monitor", "sink=micsrc",
          "latency_msec=" + std::to_string(echo_ms), "source_dont_move=true", "sink_dont_move=true"};
}

namespace {
constexpr double kStartSeconds = 20;  // per process: a sanitizer build on two busy cores

// True when a unix stream socket at `path` accepts a connection.
bool Connectable(const std::string &path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::string Joined(const std::vector<std::string> &words) {
  std::string line;
  for (const std::string &w : words) line += (line.empty() ? "" : " ") + w;
  return line;
}
}  // namespace

std::string PulseDaemon::AwaitSocket(ServerProcess &p, const std::string &socket) {
  WaitFor([&] { return !p.Running() || Connectable(socket); }, kStartSeconds);
  if (!p.Running()) return p.program() + " exited at start";
  if (!Connectable(socket)) return p.program() + " did not open " + socket + " within 20 s";
  return "";
}

std::string PulseDaemon::LaunchPulseAudio() {
  unlink((dir_ + "/sock").c_str());
  std::string why = Spawn(pulseaudio_, {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                        "--disable-shm=yes", "--log-target=stderr", "--log-level=info", "-L",
                                        "module-native-protocol-unix socket=" + dir_ + "/sock auth-anonymous=1"});
  if (why.empty()) why = AwaitSocket(pulseaudio_, dir_ + "/sock");
  if (why.empty()) why = LoadDevices();
  return why.empty() ? "" : Failed("the private PulseAudio daemon did not start: " + why);
}

// Loads the devices (after a restart of the process that serves the
// protocol none is left: they went with it), then names the defaults and
// waits until the server reports them (on PipeWire wireplumber keeps them).
std::string PulseDaemon::LoadDevices() {
  ServerProcess &protocol = pipewire() ? pipewire_pulse_ : pulseaudio_;
  std::string out;
  WaitFor([&] { return !protocol.Running() || Pactl("info", &out) == 0; }, kStartSeconds);
  if (Pactl("info", &out) != 0) return protocol.program() + " does not answer: " + out;
  const std::vector<std::string> spk = {"module-null-sink", "sink_name=spk", "rate=48000"};
  std::vector<std::vector<std::string>> modules;
  if (mic_ == Microphone::kEchoPath)
    modules = {{"module-null-sink", "sink_name=micsrc", "rate=48000"},
               {"module-remap-source", "master=micsrc.monitor", "source_name=mic"}, spk, EchoLoopback("spk", 40)};
  else
    modules = {spk, {"module-pipe-source", "source_name=mic", "file=" + fifo(), "format=s16le", "rate=16000",
                     "channels=2"}};
  unlink(fifo().c_str());  // left behind by a killed server; the pipe source makes it anew
  launched_.clear();
  for (const std::vector<std::string> &m : modules) {
    launched_.emplace_back(Joined(m) + " ", LoadModule(m));
    if (launched_.back().second.empty()) return protocol.program() + " refused " + m[0] + " " + m[1];
  }
  std::string sink, source;
  WaitFor([&] {
    if (!protocol.Running() || (pipewire() && !wireplumber_.Running())) return true;
    Pactl("set-default-sink spk"), Pactl("set-default-source mic");
    return Pactl("get-default-sink", &sink) == 0 && sink == "spk\n" && Pactl("get-default-source", &source) == 0 &&
           source == "mic\n";
  }, kStartSeconds);
  if (sink != "spk\n" || source != "mic\n")
    return "the defaults did not become spk and mic (they are '" + sink + "' and '" + source + "')";
  return "";
}

std::string PulseDaemon::Failed(const std::string &why) {
  const std::string ended = Ended();
  Kill();
  bus_.Kill();
  return why + (ended.empty() ? "" : " (" + ended + ")") + " (server " + server() + "); its log:\n" + Log();
}

void PulseDaemon::Kill() {
  pipewire_pulse_.Kill();
  wireplumber_.Kill();
  pipewire_.Kill();
  pulseaudio_.Kill();
}

std::string PulseDaemon::Restart(Part part) {
  if (!pipewire() || part == Part::kWhole) {
    Kill();
  } else if (part == Part::kPipeWirePulse) {
    pipewire_pulse_.Kill();
  } else {
    pipewire_.Kill();
    // wireplumber and pipewire-pulse end by themselves when their
    // connection goes (a desktop's service manager restarts them with
    // pipewire); one still there after 10 s is killed too. Relaunching
    // while one of them is still on its way out left pipewire-pulse
    // refusing the pipe source and wireplumber with links it never made.
    if (!WaitFor([&] { return !wireplumber_.Running() && !pipewire_pulse_.Running(); }, 10)) {
      wireplumber_.Kill();
      pipewire_pulse_.Kill();
    }
  }
  const std::string why = Launch();
  if (why.empty() || !pipewire() || part == Part::kWhole) return why;
  // Seen under ThreadSanitizer on two busy cores: after pipewire alone was
  // killed, the old pipewire-pulse stayed up (refusing clients, "Host is
  // down") until killed, and the new one never answered. The server was
  // gone either way; a second, whole start lets the test go on to what it
  // checks (that the clients come back) and says so.
  fprintf(stderr, "the private PipeWire did not come back after a partial restart; started whole again. "
                  "The first start:\n%s\n", why.c_str());
  return Launch();
}

void PulseDaemon::Signal(int sig) { (pipewire() ? pipewire_pulse_ : pulseaudio_).Signal(sig); }

std::string PulseDaemon::Ended() {
  std::string ended;
  for (ServerProcess *p : pipewire() ? std::vector<ServerProcess *>{&bus_, &pipewire_, &wireplumber_, &pipewire_pulse_}
                                     : std::vector<ServerProcess *>{&pulseaudio_})
    if (!p->Running() && !p->ended().empty()) ended += (ended.empty() ? "" : "; ") + p->ended();
  return ended;
}

int PulseDaemon::Pactl(const std::string &args, std::string *out) const {
  int status = -1;
  const std::string text = Shell("pactl -s " + server() + " " + args, &status);
  if (out) *out = text;
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PulseDaemon::LoadModule(const std::vector<std::string> &args) const {
  std::string out;
  if (Pactl("load-module " + Joined(args), &out) != 0) return "";
  return out.substr(0, out.find_last_not_of("\n ") + 1);
}

std::string PulseDaemon::AddSpeaker(const std::string &name, int echo_ms, std::string *sink_module,
                                    std::string *echo_module) const {
  *sink_module = LoadModule({"module-null-sink", "sink_name=" + name, "rate=48000"});
  if (sink_module->empty()) return "cannot load a null sink " + name;
  *echo_module = LoadModule(EchoLoopback(name, echo_ms));
  if (echo_module->empty()) return "cannot load the echo loopback of " + name;
  return "";
}

std::string PulseDaemon::LaunchModule(const std::string &arg) const {
  for (const auto &m : launched_)
    if (m.first.find(arg) != std::string::npos) return m.second;
  return "";
}

std::string PulseDaemon::Log() const {
  std::string log;
  for (const char *program : pipewire() ? std::vector<const char *>{"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}
                                        : std::vector<const char *>{"pulseaudio"}) {
    std::ifstream f(dir_ + "/" + program + ".log");
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    log += pipewire() ? "--- " + std::string(program) + ":\n" + text : text;
  }
  return log;
}

// The stream into micsrc is opened here, on the caller's thread, when the
// server is up: streams the test opens afterwards then start after it
// (libpulse hands its objects between its threads through lock-free lists
// that ThreadSanitizer cannot see, and would report the reuse otherwise).
MicFeeder::MicFeeder(std::string fifo, double catch_up) : fifo_(std::move(fifo)), catch_up_(catch_up) {
  marks_.reserve(200000);
  if (fifo_.empty()) OpenMicsrc();
  thread_ = std::thread([this] { Run(); });
}

MicFeeder::MicFeeder(std::string fifo) : MicFeeder(std::move(fifo), 0.05) {}

// With the echo path the talker is played into micsrc (fifo_ stays empty).
// PipeWire's pipe source reads on its own clock: a burst to catch up would
// stay in the pipe as delay (seen growing to 440 ms), so none there.
MicFeeder::MicFeeder(const PulseDaemon &daemon)
    : MicFeeder(daemon.microphone() == Microphone::kEchoPath ? "" : daemon.fifo(),
                daemon.pipewire() && daemon.microphone() == Microphone::kPipe ? 0 : 0.05) {}

MicFeeder::~MicFeeder() { quit_ = true, thread_.join(); }

void MicFeeder::Queue(const std::vector<int16_t> &samples) {
  std::lock_guard<std::mutex> lk(mu_);
  queue_.insert(queue_.end(), samples.begin(), samples.end());
}

double MicFeeder::WriteTime(size_t n) const {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = std::upper_bound(marks_.begin(), marks_.end(), std::make_pair(n, 1e300));
  return it != marks_.begin() && n < (it - 1)->first + 160 ? (it - 1)->second : 0;
}

bool MicFeeder::OpenMicsrc() {
  pa_sample_spec ss = {PA_SAMPLE_S16LE, 16000, 2};
  pa_buffer_attr attr = {(uint32_t)-1, 4 * 640, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1};
  pa_ = pa_simple_new(nullptr, "hx-test", PA_STREAM_PLAYBACK, "micsrc", "near-end talker", &ss, nullptr,
                      &attr, nullptr);
  return pa_ != nullptr;
}

bool MicFeeder::Write(const int16_t *stereo, size_t bytes) {
  if (fifo_.empty()) {
    if (!pa_ && !OpenMicsrc()) return false;
    if (pa_simple_write(static_cast<pa_simple *>(pa_), stereo, bytes, nullptr) == 0) return true;
    pa_simple_free(static_cast<pa_simple *>(pa_));
    pa_ = nullptr;
    return false;
  }
  if (fd_ < 0) fd_ = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  ssize_t w = write(fd_, stereo, bytes);
  if (w == (ssize_t)bytes) return true;
  if (w < 0 && errno != EAGAIN) close(fd_), fd_ = -1;
  return false;
}

// SIGPIPE is blocked on this thread only: a write into a pipe whose server
// was killed fails with EPIPE instead of ending the test program.
void MicFeeder::Run() {
  sigset_t pipe_sig;
  sigemptyset(&pipe_sig);
  sigaddset(&pipe_sig, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_sig, nullptr);
  int16_t stereo[320];
  double t0 = Now();
  for (long n = 0; !quit_; ++n) {
    double due = t0 + n * 0.01, now = Now();
    if (due > now) usleep((useconds_t)((due - now) * 1e6));
    else if (now - due > catch_up_) t0 = now - n * 0.01;  // late: no burst afterwards
    size_t pos = written_.load();
    {
      std::lock_guard<std::mutex> lk(mu_);
      const size_t take = std::min<size_t>(queue_.size() - queue_pos_, 160);
      for (size_t i = 0; i < 160; ++i)
        stereo[2 * i] = stereo[2 * i + 1] = i < take ? queue_[queue_pos_ + i] : 0;
      queue_pos_ += take;
    }
    if (Write(stereo, sizeof stereo)) {
      std::lock_guard<std::mutex> lk(mu_);
      marks_.emplace_back(pos, Now());
    }
    written_ = pos + 160;
  }
  if (fd_ >= 0) close(fd_);
  if (pa_) pa_simple_free(static_cast<pa_simple *>(pa_));
}

std::string SimpleStream::Open(bool record, const char *device, int rate, int channels,
                               std::vector<int16_t> loop, int buffer_chunks) {
  Stop();
  pa_sample_spec ss = {PA_SAMPLE_S16LE, (uint32_t)rate, (uint8_t)channels};
  pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1};
  const size_t chunk = size_t(rate / 100 * channels);  // 10 ms; `loop` holds whole chunks
  if (record) attr.fragsize = uint32_t(2 * chunk);
  else attr.tlength = uint32_t(buffer_chunks * chunk * 2);
  int err = 0;
  pa_ = pa_simple_new(nullptr, "hx-test", record ? PA_STREAM_RECORD : PA_STREAM_PLAYBACK, device,
                      record ? "test recorder" : "test player", &ss, nullptr, &attr, &err);
  if (!pa_)
    return std::string("test stream on '") + (device ? device : "the default") + "': " + pa_strerror(err);
  received_ = 0;
  quit_ = false;
  thread_ = std::thread([this, record, chunk, channels, loop = std::move(loop)] {
    pa_simple *pa = static_cast<pa_simple *>(pa_);
    std::vector<int16_t> in(chunk);
    for (size_t pos = 0; !quit_; pos = loop.empty() ? 0 : (pos + chunk) % loop.size()) {
      if (!record) {
        if (loop.size() < chunk || pa_simple_write(pa, loop.data() + pos, chunk * 2, nullptr) < 0) break;
        continue;
      }
      if (pa_simple_read(pa, in.data(), chunk * 2, nullptr) < 0) break;
      std::lock_guard<std::mutex> lk(mu_);
      data_.insert(data_.end(), in.begin(), in.end());
      received_ += chunk / size_t(channels);
    }
  });
  return "";
}

void SimpleStream::Stop() {
  quit_ = true;
  if (thread_.joinable()) thread_.join();
  if (pa_) pa_simple_free(static_cast<pa_simple *>(pa_));
  pa_ = nullptr;
}

std::vector<int16_t> SimpleStream::Take() {
  std::lock_guard<std::mutex> lk(mu_);
  return std::move(data_);
}

}  // namespace hxtest
