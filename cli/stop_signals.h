#pragma once

#include <functional>
#include <string>

namespace flashmere::cli {

// Requests from outside to stop a long run. Ctrl-C counts one: the run
// starts nothing new and lets what runs finish; a second Ctrl-C stops it
// at once. The requests that give no second chance (SIGTERM and SIGHUP,
// what ssh and service managers send; Ctrl-Break and a console closed on
// Windows) count two at once. The handlers only count. The calls nest: only
// the outermost install starts the count afresh and only its restore gives
// the signals back, so a command run inside a longer one keeps the
// requests that came before it.
void installStopSignals();
void restoreStopSignals();

// How many stop requests came since the outermost installStopSignals.
int stopRequests();

// The first of them: "SIGINT", "SIGTERM", "SIGHUP"; on Windows "Ctrl-C",
// "Ctrl-Break", "the console was closed". Empty before any came.
std::string firstStopName();

// Starts a thread (start calls QThread::start or the like) that never
// receives the stop signals itself, so they reach the thread that watches
// them and never break off a device's exchange.
void startWithoutStopSignals(const std::function<void()>& start);

}  // namespace flashmere::cli
