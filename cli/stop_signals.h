#pragma once

#include <functional>

namespace flashmere::cli {

// Requests from outside to stop a long run. Ctrl-C counts one: the run
// starts nothing new and lets what runs finish; a second Ctrl-C stops it
// at once. The requests that give no second chance (SIGTERM and SIGHUP,
// what ssh and service managers send; Ctrl-Break and a console closed on
// Windows) count two at once. The handlers only count.
void installStopSignals();
void restoreStopSignals();

// How many stop requests came since installStopSignals.
int stopRequests();

// Starts a thread (start calls QThread::start or the like) that never
// receives the stop signals itself, so they reach the thread that watches
// them and never break off a device's exchange.
void startWithoutStopSignals(const std::function<void()>& start);

}  // namespace flashmere::cli
