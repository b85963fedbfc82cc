// A private sound server that speaks the PulseAudio protocol, for one test
// program: PulseAudio itself, or PipeWire with pipewire-pulse. It lives in a
// fresh temporary folder (HOME, XDG_RUNTIME_DIR and the configuration and
// state folders point there, so no user or system server is touched) and is
// stopped by its process ids. Every process of it is killed by the kernel
// when the thread that started it ends (server_process.h).
//   PulseAudio: one daemon, its devices loaded at start, socket DIR/sock.
//   PipeWire: a session bus of its own (dbus-daemon), then pipewire,
//     wireplumber (without its ALSA, Bluetooth and camera monitors: no
//     hardware, no system bus) and pipewire-pulse, socket DIR/pulse/native;
//     the devices load through pactl once it answers.
// Its devices:
//   spk  null sink, 48 kHz stereo: the speaker; spk.monitor is what it played
// and, with the pipe microphone (the default set-up):
//   mic  pipe source, 16 kHz stereo: the microphone, fed by MicFeeder with
//        the same signal on both channels (mono capture takes the downmix).
//        Not a render endpoint: without spk there is none.
// or, with the echo path:
//   micsrc  null sink, 48 kHz stereo: what the microphone hears; MicFeeder
//           plays the near-end talker into it
//   mic     remap source of micsrc.monitor: the microphone
//   echo    module-loopback from spk.monitor into micsrc (40 ms): the
//           acoustic echo of the speaker. It never moves to another device
//           (a loopback rescued onto mic would feed the microphone back into
//           itself); it ends with its speaker.
//   spk and mic are the defaults.
// PULSE_SERVER is set in this process so the libraries under test reach it.
#ifndef HX_TESTS_PULSE_DAEMON_H
#define HX_TESTS_PULSE_DAEMON_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"

namespace hxtest {

enum class Microphone { kPipe, kEchoPath };

// The server the tests run on: HX_TEST_SERVER, "pulseaudio" (also when it
// is unset) or "pipewire".
std::string TestServer();

class PulseDaemon {
 public:
  // `server`: "pulseaudio" or "pipewire"; Start refuses any other name.
  explicit PulseDaemon(Microphone mic = Microphone::kPipe, std::string server = TestServer());
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon &) = delete;
  PulseDaemon &operator=(const PulseDaemon &) = delete;
  // "" when the server answers with its devices; else what went wrong, with
  // the server's log (and nothing of it left running). Launch starts again,
  // on the same socket, whatever of the server Kill or Restart stopped, and
  // its devices (they went with it).
  std::string Start();
  std::string Launch();
  void Kill();  // SIGKILL to every process of the server, then wait for them
  // To the process that serves the protocol (pulseaudio, pipewire-pulse):
  // SIGSTOP makes a server that is there but does not answer; SIGCONT wakes it.
  void Signal(int sig);
  // What a restart kills before Launch: the whole server, or with PipeWire
  // one part of it. kPipeWirePulse: pipewire-pulse alone (the devices
  // loaded through it go with it). kPipeWire: pipewire alone, as when it
  // crashes; wireplumber ends with it, pipewire-pulse stays. With
  // PulseAudio every part is the daemon.
  enum class Part { kWhole, kPipeWirePulse, kPipeWire };
  std::string Restart(Part part = Part::kWhole);
  bool pipewire() const { return server_name_ == "pipewire"; }
  const std::string &server_name() const { return server_name_; }
  const std::string &dir() const { return dir_; }
  std::string server() const;  // the PULSE_SERVER string
  std::string fifo() const { return dir_ + "/mic.fifo"; }
  Microphone microphone() const { return mic_; }
  // "" while every process of the server runs; else which ended and how.
  std::string Ended();
  // Every process id this server has had (the test of its clean-up).
  const std::vector<pid_t> &pids() const { return pids_; }
  // pactl against this server, `args` split at blanks; its exit code (-1
  // when it did not run) and its output.
  int Pactl(const std::string &args, std::string *out = nullptr) const;
  // pactl load-module; the new module's index, "" on failure.
  std::string LoadModule(const std::vector<std::string> &args) const;
  // Echo path set-up: a further speaker, a null sink `name`, with its own
  // echo into micsrc after `echo_ms` (module-loopback latency). Its two
  // module indexes go to *sink_module and *echo_module; "" when it worked.
  std::string AddSpeaker(const std::string &name, int echo_ms, std::string *sink_module,
                         std::string *echo_module) const;
  std::string Log() const;  // the server's own logs

 private:
  std::string LaunchPulseAudio();
  std::string LaunchPipeWire();
  // The module-loopback arguments of a speaker's echo into micsrc.
  static std::vector<std::string> EchoLoopback(const std::string &speaker, int echo_ms);
  std::string WritePipeWireConfig() const;
  std::string LoadPipeWireDevices();
  std::vector<std::string> PrivateEnvironment() const;
  // Starts a process of the server, its log DIR/<program>.log.
  std::string Spawn(ServerProcess &p, const std::vector<std::string> &args);
  // Kills the server and its bus; `why`, how its processes ended, its log.
  std::string Failed(const std::string &why);

  Microphone mic_;
  std::string server_name_;
  std::string dir_;
  ServerProcess pulseaudio_{"pulseaudio"}, bus_{"dbus-daemon"}, pipewire_{"pipewire"},
      wireplumber_{"wireplumber"}, pipewire_pulse_{"pipewire-pulse"};
  std::vector<pid_t> pids_;
};

// Writes the microphone (mono, duplicated to stereo) at real-time pace
// (10 ms chunks on an absolute schedule that catches up after a delay of
// up to 50 ms; on PipeWire's pipe source after none), silence when nothing
// is queued:
// into the pipe source, or with the echo path into micsrc through a
// playback stream, where it adds to the echo. Keeps going across daemon
// restarts (it reopens the pipe or the stream).
class MicFeeder {
 public:
  explicit MicFeeder(std::string fifo);
  explicit MicFeeder(const PulseDaemon &daemon);
  ~MicFeeder();
  void Queue(const std::vector<int16_t> &samples);
  // Samples written so far (silence included).
  size_t samples_written() const { return written_.load(); }
  // Monotonic seconds at which sample number `n` was written (0 if not yet).
  double WriteTime(size_t n) const;

 private:
  void Run();
  // One stereo chunk to the pipe or the sink; false when it could not be
  // written (reopened at the next chunk).
  bool Write(const int16_t *stereo, size_t bytes);
  // `catch_up`: how late (s) a chunk may be and the next come at once after it.
  MicFeeder(std::string fifo, double catch_up);
  std::string fifo_;    // the pipe source's file ("" with the echo path)
  const double catch_up_;
  int fd_ = -1;
  void *pa_ = nullptr;  // pa_simple playback into micsrc
  mutable std::mutex mu_;
  std::vector<int16_t> queue_;
  size_t queue_pos_ = 0;
  std::vector<std::pair<size_t, double>> marks_;  // (first sample, time) per chunk
  std::atomic<size_t> written_{0};
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

// A test's own stream through libpulse-simple on its own thread: records
// from a device into a buffer, or plays a buffer (looping) into one.
class SimpleStream {
 public:
  ~SimpleStream() { Stop(); }
  std::string Record(const char *device, int rate, int channels);
  // `buffer_chunks`: 10 ms chunks the server holds ahead (the stream's
  // latency, and how long this thread may stall without an underrun).
  std::string Play(const char *device, int rate, int channels, std::vector<int16_t> loop,
                   int buffer_chunks = 4);
  void Stop();
  std::vector<int16_t> Take();  // what was recorded so far (and forget it)
  // Samples per channel recorded since Record, Take or not.
  size_t received() const { return received_.load(); }

 private:
  std::string Open(bool record, const char *device, int rate, int channels,
                   std::vector<int16_t> loop, int buffer_chunks = 4);
  void *pa_ = nullptr;
  std::mutex mu_;
  std::vector<int16_t> data_;
  std::atomic<size_t> received_{0};
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

double Now();  // monotonic seconds

// Polls cond until it holds or `seconds` pass.
bool WaitFor(const std::function<bool()> &cond, double seconds);

}  // namespace hxtest

#endif
