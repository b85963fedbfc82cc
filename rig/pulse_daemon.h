// A private sound server that speaks the PulseAudio protocol, for one test
// program: PulseAudio itself, or PipeWire (its own session bus, pipewire,
// wireplumber without hardware monitors, pipewire-pulse). It lives in a
// fresh temporary folder (HOME, XDG_RUNTIME_DIR and the like point there, so
// no user or system server is touched); the kernel kills every process of
// it when the thread that started it ends (server_process.h). Its devices,
// loaded through pactl, spk and mic the defaults:
//   spk  null sink, 48 kHz stereo: the speaker
// and, with the pipe microphone (the default set-up):
//   mic  pipe source, 16 kHz stereo, fed by MicFeeder (the same signal on
//        both channels)
// or, with the echo path:
//   micsrc  null sink, 48 kHz stereo: what the microphone hears
//   mic     remap source of micsrc.monitor
//   echo    module-loopback from spk.monitor into micsrc (40 ms), which
//           never moves to another device and ends with its speaker.
// PULSE_SERVER is set in this process so the libraries under test reach it.
#ifndef HX_RIG_PULSE_DAEMON_H
#define HX_RIG_PULSE_DAEMON_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rig/server_process.h"

namespace hxtest {

enum class Microphone { kPipe, kEchoPath };

// The server the tests run on: HX_TEST_SERVER, "pulseaudio" (also when it
// is unset) or "pipewire".
std::string TestServer();

class PulseDaemon {
 public:
  explicit PulseDaemon(Microphone mic = Microphone::kPipe, std::string server = TestServer());
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon &) = delete;
  PulseDaemon &operator=(const PulseDaemon &) = delete;
  // "" when the server answers with its devices; else what went wrong, with
  // its log (nothing of it left running). Launch starts again whatever of
  // the server Kill or Restart stopped.
  std::string Start();
  std::string Launch();
  void Kill();  // SIGKILL to every process of the server, then wait for them
  // To the process that serves the protocol: SIGSTOP stalls the server.
  void Signal(int sig);
  // What a restart kills before Launch: the whole server, or on PipeWire
  // pipewire-pulse alone, or pipewire alone (as when it crashes; wireplumber
  // ends with it). On PulseAudio every part is the daemon.
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
  // Every process id this server has had.
  const std::vector<pid_t> &pids() const { return pids_; }
  // pactl against this server; its exit code (-1 when it did not run).
  int Pactl(const std::string &args, std::string *out = nullptr) const;
  // pactl load-module; the new module's index, "" on failure.
  std::string LoadModule(const std::vector<std::string> &args) const;
  // Echo path: a further speaker, null sink `name`, with its own echo into
  // micsrc after `echo_ms`; its two module indexes. "" when it worked.
  std::string AddSpeaker(const std::string &name, int echo_ms, std::string *sink_module,
                         std::string *echo_module) const;
  std::string Log() const;  // the server's own logs
  // The index of the device module loaded at launch whose arguments hold
  // `arg` ("sink_name=spk ", "module-loopback"); "" when there is none.
  std::string LaunchModule(const std::string &arg) const;

 private:
  std::string LaunchPulseAudio();
  std::string LaunchPipeWire();
  static std::vector<std::string> EchoLoopback(const std::string &speaker, int echo_ms);
  std::string WritePipeWireConfig() const;
  std::string LoadDevices();  // through pactl, on either server
  // "" once `socket` takes connections; else why not (`p` ended, or too slow).
  std::string AwaitSocket(ServerProcess &p, const std::string &socket);
  std::vector<std::string> PrivateEnvironment() const;
  std::string Spawn(ServerProcess &p, const std::vector<std::string> &args);
  std::string Failed(const std::string &why);

  Microphone mic_;
  std::string server_name_;
  std::string dir_;
  ServerProcess pulseaudio_{"pulseaudio"}, bus_{"dbus-daemon"}, pipewire_{"pipewire"},
      wireplumber_{"wireplumber"}, pipewire_pulse_{"pipewire-pulse"};
  std::vector<pid_t> pids_;
  std::vector<std::pair<std::string, std::string>> launched_;  // (arguments, index)
};

// Writes the microphone (mono, duplicated to stereo) in 10 ms chunks at
// real-time pace, silence when nothing is queued: into the pipe source, or
// with the echo path into micsrc (where it adds to the echo). Keeps going
// across server restarts.
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
  bool OpenMicsrc();
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
// from a device, or plays a buffer (looping) into one.
class SimpleStream {
 public:
  ~SimpleStream() { Stop(); }
  std::string Record(const char *device, int rate, int channels) { return Open(true, device, rate, channels, {}); }
  // `buffer_chunks`: 10 ms chunks the server holds ahead.
  std::string Play(const char *device, int rate, int channels, std::vector<int16_t> loop, int buffer_chunks = 4) {
    return Open(false, device, rate, channels, std::move(loop), buffer_chunks);
  }
  void Stop();
  std::vector<int16_t> Take();  // what was recorded so far (and forget it)
  // Samples per channel recorded since Record, Take or not.
  size_t received() const { return received_.load(); }

 private:
  std::string Open(bool record, const char *device, int rate, int channels, std::vector<int16_t> loop,
                   int buffer_chunks = 4);
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
