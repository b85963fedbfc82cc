// Host push of blocks at other rates: a streaming conversion to 10 ms packets of 48 kHz stereo.
// Tones go through the push entry point and the mix thread to the capture callback and are
// judged by their SINAD, overall and at the packet edges.
#include <math.h>

#include "engine/audio_block.h"
#include "support/upstream_harness.h"

namespace {

const double kAmp = 16384.0, kToneHz = 1000.0;  // -6 dBFS

// sinad_db: tone power over the power of everything else, whole window; edge_db: the same,
// counting only the residual at the two frames either side of every packet edge.
struct ToneFit { double sinad_db, edge_db, amplitude; };

// Least-squares fit of DC and a 1 kHz tone to one channel of 48 kHz stereo output over a
// window of whole cycles starting at frame `from`.
ToneFit FitTone(const Pcm &stereo, int ch, size_t from, size_t frames) {
  auto w = [](size_t i) { return 2 * M_PI * kToneHz * (double)i / 48000.0; };
  double re = 0, im = 0, mean = 0, sig = 0, err = 0, edge_err = 0;
  for (size_t i = from; i < from + frames; ++i)
    re += stereo[2 * i + ch] * cos(w(i)), im += stereo[2 * i + ch] * sin(w(i)), mean += stereo[2 * i + ch];
  re *= 2.0 / frames, im *= 2.0 / frames, mean /= frames;
  size_t edge_n = 0;
  for (size_t i = from; i < from + frames; ++i) {
    const double fit = re * cos(w(i)) + im * sin(w(i)), e = stereo[2 * i + ch] - mean - fit;
    sig += fit * fit, err += e * e;
    if (i % kBlockFrames < 2 || i % kBlockFrames >= kBlockFrames - 2) edge_err += e * e, ++edge_n;
  }
  return {10 * log10(sig / std::max(err, 1e-9)), 10 * log10(sig / frames / std::max(edge_err / edge_n, 1e-9)),
          sqrt(re * re + im * im)};
}

typedef UpstreamTest PushStream;

}  // namespace

TEST_F(PushStream, TonesComeOutCleanAndSeamless) {
  Start();
  LogCapture log;
  // 44.1 kHz and 16 kHz, and rates whose 10 ms is not a whole number of frames.
  const struct { uint32_t rate; uint8_t channels; } tones[] = {
      {44100, 2}, {16000, 1}, {11025, 1}, {22050, 2}, {8000, 1}, {96000, 2}};
  for (const auto &t : tones) {
    sink_.blocks.clear();
    // 1 s of 10 ms blocks, at most 10 ahead of the mix thread (the queue holds 12). Block k
    // has the frames that keep the running total at floor(k * rate / 100) (110, 110, 110,
    // 111 ... at 11025 Hz); left a sine, right the same tone at another phase, so a channel
    // swap or a state shared between channels shows.
    for (uint64_t k = 0, first = 0; k < 100; ++k) {
      const uint32_t n = (uint32_t)((k + 1) * t.rate / 100 - k * t.rate / 100);
      Pcm v(n * t.channels);
      for (uint32_t i = 0; i < v.size(); ++i)
        v[i] = (int16_t)lrint(kAmp * sin(2 * M_PI * kToneHz * (double)(first + i / t.channels) / t.rate +
                                         1.3 * (i % t.channels)));
      ASSERT_EQ(0, Push(v, n, t.channels, t.rate));
      first += n;
      if (k % 10 == 9) {
        ASSERT_TRUE(WaitUntil([&] { return sink_.Blocks().size() == k + 1; }))
            << "the capture callback got " << sink_.Blocks().size() << " of " << k + 1;
      }
    }
    Pcm out;
    for (const Pcm &b : sink_.Blocks()) out.insert(out.end(), b.begin(), b.end());
    ASSERT_EQ(100u * kBlockValues, out.size()) << t.rate;
    // From 0.1 s (past the stream's start) to the end: 900 whole cycles.
    for (int ch = 0; ch < 2; ++ch) {
      SCOPED_TRACE(testing::Message() << t.rate << " Hz channel " << ch);
      const ToneFit f = FitTone(out, ch, 4800, 43200);
      EXPECT_GE(f.sinad_db, 70.0);
      EXPECT_GE(f.edge_db, 70.0);
      EXPECT_NEAR(kAmp, f.amplitude, kAmp * 0.06);  // 0.5 dB
    }
    EXPECT_TRUE(t.channels == 2 || Channel(out.data(), 0, 48000) == Channel(out.data(), 1, 48000));
  }
  // Honest 10 ms blocks never drain or overfill the stream, nor count as padded or cut.
  EXPECT_EQ(0, log.Count("push stream at") + log.Count("push block of"));
}
