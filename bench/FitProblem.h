// The fit problem of the benchmarks: 20000 noisy points of eight known peaks, and a starting
// table a few per cent off each.
#pragma once

#include "fitting/FitRun.h"

namespace sonarix {

void PrepareFitProblem(FitState& fit);

}  // namespace sonarix
