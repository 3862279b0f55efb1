#pragma once

#include "operator/run_times.h"

class QProgressBar;

namespace flashmere {

// The captions of the Program/Download and Verify bars: the page, the pages
// and the percent, and on the running stage's bar the elapsed time and the
// time left. A run starts with both cleared.
void clearBarCaptions(QProgressBar* program, QProgressBar* verify);
void showBarTimes(QProgressBar* program, QProgressBar* verify, const RunTimes& times,
                  int languageIndex);
// At the end of a run: a bar with a caption keeps its pages and percent, and
// no time is said to be left.
void settleBarCaptions(QProgressBar* program, QProgressBar* verify, int languageIndex);

}  // namespace flashmere
