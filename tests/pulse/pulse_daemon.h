// A private PulseAudio daemon for one test program: started in a fresh
// temporary folder (HOME and XDG_RUNTIME_DIR point there, so no user or
// system daemon is touched), stopped by its process id. Its devices:
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

namespace hxtest {

enum class Microphone { kPipe, kEchoPath };

class PulseDaemon {
 public:
  explicit PulseDaemon(Microphone mic = Microphone::kPipe) : mic_(mic) {}
  ~PulseDaemon();
  // "" when the daemon answers with its devices; else what went wrong, with
  // the daemon's log. Launch starts it again after Kill, on the same socket.
  std::string Start();
  std::string Launch();
  void Kill();  // SIGKILL, then wait for the process
  // SIGSTOP makes a server that is there but does not answer; SIGCONT wakes it.
  void Signal(int sig);
  std::string Restart() { return Kill(), Launch(); }
  const std::string &dir() const { return dir_; }
  std::string server() const { return "unix:" + dir_ + "/sock"; }
  std::string fifo() const { return dir_ + "/mic.fifo"; }
  Microphone microphone() const { return mic_; }
  // pactl against this daemon, `args` split at blanks; its exit code (-1
  // when it did not run) and its output.
  int Pactl(const std::string &args, std::string *out = nullptr) const;
  // pactl load-module; the new module's index, "" on failure.
  std::string LoadModule(const std::vector<std::string> &args) const;
  // Echo path set-up: a further speaker, a null sink `name`, with its own
  // echo into micsrc after `echo_ms` (module-loopback latency). Its two
  // module indexes go to *sink_module and *echo_module; "" when it worked.
  std::string AddSpeaker(const std::string &name, int echo_ms, std::string *sink_module,
                         std::string *echo_module) const;
  std::string Log() const;  // the daemon's own log

 private:
  Microphone mic_;
  std::string dir_;
  pid_t pid_ = -1;
};

// Writes the microphone (mono, duplicated to stereo) at real-time pace
// (10 ms chunks on an absolute schedule), silence when nothing is queued:
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
  std::string fifo_;    // the pipe source's file ("" with the echo path)
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
