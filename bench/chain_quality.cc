// Prints how the microphone cleaning chain treats noisy speech.
//   chain_quality [--speech WAV] [--snr DB] [--seed N] [--out-prefix P]
// With --out-prefix, also writes <prefix>_ns.wav and <prefix>_agc.wav.
#include <sndfile.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>

#include "cli/option_table.h"
#include "tests/support/chain_quality.h"

static void WriteWav(const std::string &path, const std::vector<int16_t> &x) {
  SF_INFO info = {};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return;
  sf_write_short(f, x.data(), (sf_count_t)x.size());
  sf_close(f);
}

int main(int argc, char **argv) {
  std::string path = HX_SOURCE_DIR "/tests/data/speech16k.wav", prefix;
  double snr = 10.0;
  int seed = 1234;
  const cli::Command command{
      "chain_quality", "[options]", "How the microphone cleaning chain treats speech in white noise.",
      {cli::Text("speech", &path, "WAV", "16 kHz mono speech (default: the test speech)"),
       cli::Number("snr", &snr, -20, 60, "DB", "speech to noise (default 10)"),
       cli::Int("seed", &seed, 0, INT32_MAX, "N", "of the noise (default 1234)"),
       cli::Text("out-prefix", &prefix, "P", "also write P_ns.wav and P_agc.wav")}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  std::vector<int16_t> speech;
  if (!chain_quality::LoadSpeech(path, &speech)) {
    fprintf(stderr, "cannot read %s as 16 kHz mono\n", path.c_str());
    return 1;
  }
  std::vector<int16_t> ns_all, agc_all;
  chain_quality::Result r = chain_quality::Measure(speech, snr, uint32_t(seed), &ns_all, &agc_all);
  if (!prefix.empty()) {
    WriteWav(prefix + "_ns.wav", ns_all);
    WriteWav(prefix + "_agc.wav", agc_all);
  }
  printf("speech file        %s (%.2f s)\n", path.c_str(), speech.size() / 16000.0);
  printf("white noise        seed %d, measured SNR %.2f dB\n", seed, r.snr_db);
  printf("blocks (20 ms)     speech %d, pause %d\n", r.speech_blocks, r.pause_blocks);
  const double *p = r.pause_db, *s = r.speech_db;
  using namespace chain_quality;
  printf("pause noise        input %.2f dBFS, after NS %.2f dBFS (%.2f dB), after AGC %.2f dBFS\n",
         p[kInput], p[kNs], p[kInput] - p[kNs], p[kAgc]);
  printf("speech level       clean %.2f dBFS, input %.2f dBFS, after NS %.2f dBFS, after AGC "
         "%.2f dBFS (gain %+.2f dB)\n",
         s[kClean], s[kInput], s[kNs], s[kAgc], s[kAgc] - s[kNs]);
  return 0;
}
