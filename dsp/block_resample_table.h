// Filter table of the block resampler: one wing of a Kaiser-windowed sinc
// low-pass response, 256 entries per input-sample period over 6 periods,
// Q15 with the peak at 32767, and the first differences for linear
// interpolation between entries.
#ifndef HX_DSP_BLOCK_RESAMPLE_TABLE_H
#define HX_DSP_BLOCK_RESAMPLE_TABLE_H

#include <stdint.h>

enum {
  kResampleNwing = 1536,      // table entries (one wing)
  kResampleNpc = 256,         // entries per input-sample period
  kResampleLpScl = 13128,     // output scale, Q13
};

// Both return the same 1536-entry arrays on every call; they are built on
// the first call (thread-safe) and never change afterwards.
const int16_t *ResampleImp();   // Imp[i]
const int16_t *ResampleImpD();  // Imp[i+1] - Imp[i]; last entry -Imp[1535]

#endif
