// Block converters compared with CBlockResample: each takes one block of
// 16-bit mono input per call and writes 16-bit output through the library's
// own streaming API (float libraries convert on the way in and out, as a
// caller with 16-bit audio must).
#ifndef HX_BENCH_RESAMPLE_PEERS_H
#define HX_BENCH_RESAMPLE_PEERS_H

#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "dsp/block_resample.h"
#include "dsp/webrtc_legacy.h"

class BlockConverter {
 public:
  virtual ~BlockConverter() {}
  // Writes the outputs of one `frame`-sample block; returns their number.
  virtual size_t Process(const int16_t *in, int16_t *out, size_t out_cap) = 0;
};

class ModuleConverter : public BlockConverter {
 public:
  bool Open(int in_rate, int out_rate, size_t frame) {
    return r_.Init(in_rate, out_rate, (uint32_t)frame) == 0;
  }
  size_t Process(const int16_t *in, int16_t *out, size_t) override {
    uint32_t n = 0;
    r_.Process(in, out, &n);
    return n;
  }

 private:
  CBlockResample r_;
};

class SpeexConverter : public BlockConverter {
 public:
  ~SpeexConverter() override {
    if (st_) speex_resampler_destroy(st_);
  }
  bool Open(int in_rate, int out_rate, size_t frame, int quality) {
    int err = 0;
    frame_ = frame;
    st_ = speex_resampler_init(1, in_rate, out_rate, quality, &err);
    return st_ && err == 0;
  }
  size_t Process(const int16_t *in, int16_t *out, size_t out_cap) override {
    spx_uint32_t in_len = (spx_uint32_t)frame_, out_len = (spx_uint32_t)out_cap;
    speex_resampler_process_int(st_, 0, in, &in_len, out, &out_len);
    return out_len;
  }

 private:
  SpeexResamplerState *st_ = nullptr;
  size_t frame_ = 0;
};

class SrcConverter : public BlockConverter {
 public:
  ~SrcConverter() override {
    if (st_) src_delete(st_);
  }
  bool Open(int in_rate, int out_rate, size_t frame, int type) {
    int err = 0;
    frame_ = frame;
    ratio_ = (double)out_rate / in_rate;
    fin_.resize(frame);
    fout_.resize(frame * 8 + 64);
    st_ = src_new(type, 1, &err);
    return st_ && err == 0;
  }
  size_t Process(const int16_t *in, int16_t *out, size_t out_cap) override {
    src_short_to_float_array(in, fin_.data(), (int)frame_);
    SRC_DATA d = {};
    d.data_in = fin_.data();
    d.data_out = fout_.data();
    d.input_frames = (long)frame_;
    d.output_frames = (long)std::min(out_cap, fout_.size());
    d.src_ratio = ratio_;
    src_process(st_, &d);
    src_float_to_short_array(fout_.data(), out, (int)d.output_frames_gen);
    return (size_t)d.output_frames_gen;
  }

 private:
  SRC_STATE *st_ = nullptr;
  size_t frame_ = 0;
  double ratio_ = 1.0;
  std::vector<float> fin_, fout_;
};

class SoxrConverter : public BlockConverter {
 public:
  ~SoxrConverter() override {
    if (s_) soxr_delete(s_);
  }
  bool Open(int in_rate, int out_rate, size_t frame, unsigned long recipe) {
    soxr_error_t err = nullptr;
    frame_ = frame;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
    s_ = soxr_create(in_rate, out_rate, 1, &err, &io, &q, nullptr);
    return s_ && !err;
  }
  size_t Process(const int16_t *in, int16_t *out, size_t out_cap) override {
    size_t idone = 0, odone = 0;
    soxr_process(s_, in, frame_, &idone, out, out_cap, &odone);
    return odone;
  }

 private:
  soxr_t s_ = nullptr;
  size_t frame_ = 0;
};

// webrtc::Resampler supports 16000 -> 48000 but refuses 48000 -> 44100; a
// refused reset leaves the object unusable, so Open reports the refusal and
// the caller never pushes.
class WebrtcConverter : public BlockConverter {
 public:
  bool Open(int in_rate, int out_rate, size_t frame) {
    frame_ = frame;
    return r_.Reset(in_rate, out_rate, 1) == 0;
  }
  size_t Process(const int16_t *in, int16_t *out, size_t out_cap) override {
    size_t n = 0;
    if (r_.Push(in, frame_, out, out_cap, n) != 0) return 0;
    return n;
  }

 private:
  webrtc::Resampler r_;
  size_t frame_ = 0;
};

struct PeerSpec {
  const char *name;
  int kind;   // 0 module, 1 speex, 2 libsamplerate, 3 soxr, 4 webrtc
  long arg;   // quality / converter type / recipe
};

inline const std::vector<PeerSpec> &PeerSpecs() {
  static const std::vector<PeerSpec> specs = {
      {"CBlockResample", 0, 0},
      {"speex_q0", 1, 0},
      {"speex_q3", 1, 3},
      {"speex_q4", 1, 4},
      {"speex_q5", 1, 5},
      {"src_linear", 2, SRC_LINEAR},
      {"src_sinc_fastest", 2, SRC_SINC_FASTEST},
      {"soxr_qq", 3, SOXR_QQ},
      {"soxr_lq", 3, SOXR_LQ},
      {"soxr_mq", 3, SOXR_MQ},
      {"webrtc_resampler", 4, 0},
  };
  return specs;
}

// Null when the library refuses the rate pair.
inline std::unique_ptr<BlockConverter> MakeConverter(const PeerSpec &spec, int in_rate,
                                                     int out_rate, size_t frame) {
  bool ok = false;
  std::unique_ptr<BlockConverter> c;
  switch (spec.kind) {
    case 0: {
      auto *m = new ModuleConverter;
      c.reset(m);
      ok = m->Open(in_rate, out_rate, frame);
      break;
    }
    case 1: {
      auto *m = new SpeexConverter;
      c.reset(m);
      ok = m->Open(in_rate, out_rate, frame, (int)spec.arg);
      break;
    }
    case 2: {
      auto *m = new SrcConverter;
      c.reset(m);
      ok = m->Open(in_rate, out_rate, frame, (int)spec.arg);
      break;
    }
    case 3: {
      auto *m = new SoxrConverter;
      c.reset(m);
      ok = m->Open(in_rate, out_rate, frame, (unsigned long)spec.arg);
      break;
    }
    default: {
      auto *m = new WebrtcConverter;
      c.reset(m);
      ok = m->Open(in_rate, out_rate, frame);
      break;
    }
  }
  if (!ok) c.reset();
  return c;
}

#endif
