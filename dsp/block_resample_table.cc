#include "dsp/block_resample_table.h"

#include <math.h>

namespace {

// Zeroth-order modified Bessel function of the first kind, by its power
// series sum_k ((x/2)^k / k!)^2, summed in double until a term falls below
// 1e-21 of the sum.
double BesselI0(double x) {
  double sum = 1.0, term = 1.0, half = x / 2.0;
  for (int k = 1; k < 1000; ++k) {
    double r = half / k;
    term *= r * r;
    sum += term;
    if (term < 1e-21 * sum) break;
  }
  return sum;
}

struct ResampleTable {
  int16_t imp[kResampleNwing];
  int16_t impd[kResampleNwing];

  // Everything in double precision:
  //   c[0] = 0.9; c[i] = sin(2*0.45*u)/u with u = pi*i/256 (roll-off 0.90);
  //   c[i] *= I0(9*sqrt(max(0, 1-(i/(N-1))^2))) / I0(9) (Kaiser, beta 9);
  //   Imp[i] = (int16)(c[i]*(32767/0.9) + 0.5), the cast truncating toward 0.
  ResampleTable() {
    const int n = kResampleNwing;
    const double beta = 9.0;
    const double i0beta = BesselI0(beta);
    const double scale = 32767.0 / 0.9;
    for (int i = 0; i < n; ++i) {
      double c;
      if (i == 0) {
        c = 0.9;
      } else {
        double u = M_PI * i / (double)kResampleNpc;
        c = sin(2.0 * 0.45 * u) / u;
        double x = (double)i / (double)(n - 1);
        double w = 1.0 - x * x;
        if (w < 0.0) w = 0.0;
        c *= BesselI0(beta * sqrt(w)) / i0beta;
      }
      imp[i] = (int16_t)(c * scale + 0.5);
    }
    for (int i = 0; i < n - 1; ++i) impd[i] = (int16_t)(imp[i + 1] - imp[i]);
    impd[n - 1] = (int16_t)-imp[n - 1];
  }
};

const ResampleTable &Table() {
  static const ResampleTable table;  // built once; C++ guarantees thread-safe init
  return table;
}

}  // namespace

const int16_t *ResampleImp() { return Table().imp; }
const int16_t *ResampleImpD() { return Table().impd; }
