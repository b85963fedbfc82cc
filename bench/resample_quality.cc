// Quality of CBlockResample and the library resamplers on the module's two
// conversions, all streaming the same tone in the same blocks:
//  - SDR of a 1 kHz tone: a least-squares fit of amplitude, phase and DC at
//    1 kHz is the signal, everything else is distortion and noise (so delay
//    and gain do not count, but time jitter, images and aliases do);
//  - the band-edge tone and its image/alias, each in dB relative to the
//    input tone's amplitude (16k->48k: 7 kHz and its image at 9 kHz;
//    48k->44.1k: 23 kHz, which should vanish, and its alias at 21.1 kHz).
// Analysis window: exactly 0.5 s (2 Hz bins, a whole number of cycles of
// every tone used, so a rectangular window is exact), starting 0.2 s into
// the output, well past every converter's delay and start-up transient
// (CBlockResample: m_xoff = 7 input samples).
#include <math.h>
#include <stdio.h>

#include "bench/resample_peers.h"
#include "cli/option_table.h"

namespace {

struct Pair {
  const char *name;
  int in_rate, out_rate;
  size_t frame;
  double edge_hz, image_hz;
};

const double kAmp = 16384.0;  // -6 dBFS

// Outputs of one call, fewest and most, over the calls after the first ten:
// how evenly the converter streams (a bursty one needs a buffer, hence
// delay, to hand out fixed blocks).
struct PerCall {
  size_t min = (size_t)-1, max = 0;
};

std::vector<int16_t> Convert(const PeerSpec &spec, const Pair &p, double tone_hz, bool *ok,
                             PerCall *per_call = nullptr) {
  std::unique_ptr<BlockConverter> c = MakeConverter(spec, p.in_rate, p.out_rate, p.frame);
  *ok = c != nullptr;
  std::vector<int16_t> out;
  if (!c) return out;
  size_t blocks = (size_t)(1.0 * p.in_rate / p.frame) + 1;  // 1 s of input
  std::vector<int16_t> in(p.frame), buf(p.frame * 8 + 256);
  size_t n = 0;
  for (size_t b = 0; b < blocks; ++b) {
    for (size_t i = 0; i < p.frame; ++i, ++n)
      in[i] = (int16_t)lrint(kAmp * sin(2 * M_PI * tone_hz * (double)n / p.in_rate));
    size_t got = c->Process(in.data(), buf.data(), buf.size());
    if (per_call && b >= 10) {
      per_call->min = std::min(per_call->min, got);
      per_call->max = std::max(per_call->max, got);
    }
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  return out;
}

// Amplitude of the component at `hz` over the window (whole cycles).
double Amplitude(const int16_t *y, size_t n, double hz, int rate) {
  double re = 0, im = 0;
  for (size_t i = 0; i < n; ++i) {
    double w = 2 * M_PI * hz * (double)i / rate;
    re += y[i] * cos(w);
    im += y[i] * sin(w);
  }
  return 2.0 * sqrt(re * re + im * im) / (double)n;
}

double Sdr(const int16_t *y, size_t n, double hz, int rate) {
  double re = 0, im = 0, mean = 0;
  for (size_t i = 0; i < n; ++i) {
    double w = 2 * M_PI * hz * (double)i / rate;
    re += y[i] * cos(w);
    im += y[i] * sin(w);
    mean += y[i];
  }
  re *= 2.0 / n;
  im *= 2.0 / n;
  mean /= n;
  double sig = 0, err = 0;
  for (size_t i = 0; i < n; ++i) {
    double w = 2 * M_PI * hz * (double)i / rate;
    double fit = re * cos(w) + im * sin(w);
    double e = y[i] - mean - fit;
    sig += fit * fit;
    err += e * e;
  }
  return 10.0 * log10(sig / std::max(err, 1e-9));
}

double Db(double amp) { return 20.0 * log10(std::max(amp, 1e-3) / kAmp); }

}  // namespace

int main(int argc, char **argv) {
  const cli::Command command{
      "resample_quality", "",
      "The block resampler beside the library resamplers: distortion, edge tone, images and\n"
      "output per call for four rate pairs.",
      {}};
  const cli::Parsed parsed = cli::Parse(argc, argv, command);
  if (parsed != cli::Parsed::kRun) return cli::ExitStatus(parsed);
  const Pair pairs[] = {{"16000 -> 48000, 320-sample blocks", 16000, 48000, 320, 7000.0, 9000.0},
                        {"48000 -> 44100, 480-sample blocks", 48000, 44100, 480, 23000.0, 21100.0},
                        {"44100 -> 48000, 441-sample blocks", 44100, 48000, 441, 20000.0, 23900.0},
                        {"16000 -> 48000, 160-sample blocks", 16000, 48000, 160, 7000.0, 9000.0}};
  for (const Pair &p : pairs) {
    printf("%s (tones at %.1f dBFS; levels in dB re. the input tone)\n", p.name,
           20.0 * log10(kAmp / 32768.0));
    printf("%-18s %10s %14s %16s %14s\n", "converter", "SDR 1 kHz", "edge tone", "image/alias",
           "out per call");
    const size_t skip = (size_t)(0.2 * p.out_rate), win = (size_t)p.out_rate / 2;
    for (const PeerSpec &spec : PeerSpecs()) {
      bool ok = false;
      PerCall per_call;
      std::vector<int16_t> a = Convert(spec, p, 1000.0, &ok, &per_call);
      if (!ok) {
        printf("%-18s %10s\n", spec.name, "rate pair refused");
        continue;
      }
      std::vector<int16_t> b = Convert(spec, p, p.edge_hz, &ok);
      if (a.size() < skip + win || b.size() < skip + win) {
        printf("%-18s too little output (%zu)\n", spec.name, a.size());
        continue;
      }
      double sdr = Sdr(&a[skip], win, 1000.0, p.out_rate);
      double edge = p.edge_hz < p.out_rate / 2.0 ? Db(Amplitude(&b[skip], win, p.edge_hz, p.out_rate))
                                                 : NAN;
      double image = Db(Amplitude(&b[skip], win, p.image_hz, p.out_rate));
      char edge_text[32];
      if (isnan(edge))
        snprintf(edge_text, sizeof edge_text, "(above %g k)", p.out_rate / 2000.0);
      else
        snprintf(edge_text, sizeof edge_text, "%.1f dB @%gk", edge, p.edge_hz / 1000.0);
      printf("%-18s %7.1f dB %14s %9.1f dB @%gk %7zu..%zu\n", spec.name, sdr, edge_text, image,
             p.image_hz / 1000.0, per_call.min, per_call.max);
    }
    printf("\n");
  }
  return 0;
}
