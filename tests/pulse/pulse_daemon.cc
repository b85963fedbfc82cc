#include "pulse_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>

#include "support/log_capture.h"
#include "support/shell.h"

extern char **environ;

namespace hxtest {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

bool WaitFor(const std::function<bool()> &cond, double seconds) { return WaitUntil(cond, int(seconds * 1000)); }

PulseDaemon::~PulseDaemon() {
  Kill();
  int status;
  if (!dir_.empty()) Shell("rm -rf " + dir_, &status);
}

std::string PulseDaemon::Start() {
  char tmpl[] = "/tmp/hx-pulse-XXXXXX";
  if (!mkdtemp(tmpl)) return std::string("cannot create a temporary folder: ") + strerror(errno);
  dir_ = tmpl;
  setenv("PULSE_SERVER", server().c_str(), 1);
  return Launch();
}

namespace {
std::vector<std::string> EchoLoopback(const std::string &speaker, int echo_ms) {
  return {"module-loopback", "source=" + speaker + ".monitor", "sink=micsrc",
          "latency_msec=" + std::to_string(echo_ms), "source_dont_move=true", "sink_dont_move=true"};
}
}  // namespace

std::string PulseDaemon::Launch() {
  unlink(fifo().c_str());  // left behind by a killed daemon; the source makes it anew
  const bool echo = mic_ == Microphone::kEchoPath;
  // env sets the daemon's own HOME and runtime folder and then becomes it.
  // setpriv first asks the kernel to kill the daemon when the thread that
  // started it ends, so a crashed test or a killed tool leaves no daemon
  // behind (Start and Launch run on the main thread of the tests and tools).
  std::vector<std::string> args = {
      "setpriv", "--pdeathsig", "KILL",
      "env", "HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_, "XDG_CONFIG_HOME=" + dir_,
      "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
      "--disable-shm=yes", "--log-target=stderr", "--log-level=info",
      "-L", "module-native-protocol-unix socket=" + dir_ + "/sock auth-anonymous=1",
      "-L", "module-null-sink sink_name=spk rate=48000", "-L",
      "module-pipe-source source_name=mic file=" + fifo() + " format=s16le rate=16000 channels=2"};
  if (echo) {
    std::string loopback;
    for (const std::string &w : EchoLoopback("spk", 40)) loopback += w + " ";
    args.back() = "module-null-sink sink_name=micsrc rate=48000";
    args.insert(args.end(), {"-L", "module-remap-source master=micsrc.monitor source_name=mic", "-L", loopback});
  }
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, (dir_ + "/daemon.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
  if (posix_spawnp(&pid_, "setpriv", &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (pid_ <= 0) return "cannot run 'setpriv env pulseaudio': " + std::string(strerror(errno));
  std::string list;  // modules, sinks, sources...: "<index>\t<name>\t..." lines
  const bool up = WaitFor(
      [&] {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, true;
        return Pactl("list short", &list) == 0 && list.find("\tmic\t") != std::string::npos &&
               list.find("\tspk\t") != std::string::npos &&
               (!echo || list.find("module-loopback") != std::string::npos);
      },
      20);
  std::string why;
  if (pid_ <= 0) why = "the private PulseAudio daemon exited at start (is pulseaudio installed?)";
  else if (!up) why = "the private PulseAudio daemon did not answer within 20 s";
  // The defaults are named, not left to the server's choice among equals.
  else if (echo && (Pactl("set-default-sink spk") != 0 || Pactl("set-default-source mic") != 0))
    why = "the private PulseAudio daemon refused its default devices";
  if (why.empty()) return "";
  Kill();
  return why + " (server " + server() + "); its log:\n" + Log();
}

void PulseDaemon::Kill() {
  if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void PulseDaemon::Signal(int sig) { if (pid_ > 0) kill(pid_, sig); }

int PulseDaemon::Pactl(const std::string &args, std::string *out) const {
  int status = -1;
  const std::string text = Shell("pactl -s " + server() + " " + args, &status);
  if (out) *out = text;
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PulseDaemon::LoadModule(const std::vector<std::string> &args) const {
  std::string line = "load-module", out;
  for (const std::string &a : args) line += " " + a;
  if (Pactl(line, &out) != 0) return "";
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

std::string PulseDaemon::Log() const {
  int status;
  return Shell("cat " + dir_ + "/daemon.log", &status);
}

MicFeeder::MicFeeder(std::string fifo) : fifo_(std::move(fifo)) {
  marks_.reserve(200000);
  thread_ = std::thread([this] { Run(); });
}

// With the echo path the talker is played into micsrc (fifo_ stays empty).
MicFeeder::MicFeeder(const PulseDaemon &daemon)
    : MicFeeder(daemon.microphone() == Microphone::kEchoPath ? "" : daemon.fifo()) {}

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

bool MicFeeder::Write(const int16_t *stereo, size_t bytes) {
  if (fifo_.empty()) {
    if (!pa_) {
      pa_sample_spec ss = {PA_SAMPLE_S16LE, 16000, 2};
      pa_buffer_attr attr = {(uint32_t)-1, 4 * 640, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1};
      pa_ = pa_simple_new(nullptr, "hx-test", PA_STREAM_PLAYBACK, "micsrc", "near-end talker",
                          &ss, nullptr, &attr, nullptr);
      if (!pa_) return false;
    }
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

// SIGPIPE is blocked on this thread only (and stays pending there): a write
// into a pipe whose daemon was killed fails with EPIPE instead of ending the
// test program.
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
    else if (now - due > 0.05) t0 = now - n * 0.01;  // stalled: no burst afterwards
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

std::string SimpleStream::Record(const char *device, int rate, int channels) { return Open(true, device, rate, channels, {}); }

std::string SimpleStream::Play(const char *device, int rate, int channels, std::vector<int16_t> loop,
                               int buffer_chunks) {
  return Open(false, device, rate, channels, std::move(loop), buffer_chunks);
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
