#pragma once

#include "link/clock.h"
#include "operator/forwarding_panel.h"
#include "upgrade/time_left.h"

namespace flashmere {

// The panel of an upgrade as its stages see it: every call goes on to the
// front end's panel, and each page's position comes with the run's elapsed
// time and time left, measured on the run's clock.
class TimedPanel final : public ForwardingPanel {
  public:
    TimedPanel(OperatorPanel& inner, Clock& clock, const KnownPauses& pauses, bool verify)
        : ForwardingPanel(inner), clock_(clock), estimate_(pauses, verify, clock.nowMs()) {}

    void setProgramRange(int maximum) override {
        estimate_.stageStarted(false, maximum, clock_.nowMs());
        ForwardingPanel::setProgramRange(maximum);
    }
    void setProgramPosition(int position) override {
        timesBefore(position);
        ForwardingPanel::setProgramPosition(position);
    }
    void setVerifyRange(int maximum) override {
        estimate_.stageStarted(true, maximum, clock_.nowMs());
        ForwardingPanel::setVerifyRange(maximum);
    }
    void setVerifyPosition(int position) override {
        timesBefore(position);
        ForwardingPanel::setVerifyPosition(position);
    }

  private:
    // Position p after page p was handled: p + 1 pages are done, the
    // range's maximum is the end.
    void timesBefore(int position) {
        RunTimes times;
        if (estimate_.pageDone(position + 1, clock_.nowMs(), times)) {
            showRunTimes(times);
        }
    }

    Clock& clock_;
    TimeLeftEstimate estimate_;
};

}  // namespace flashmere
