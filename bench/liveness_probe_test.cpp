#include "shell/liveness_probe.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

namespace flashmere {
namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "liveness_probe_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// Runs the event loop for about ms milliseconds.
void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST(LivenessProbeTest, AFreeThreadTicksAtItsInterval) {
    app();
    LivenessProbe probe(10);
    probe.start();
    spin(200);
    probe.stop();
    EXPECT_GE(probe.ticks(), 10);
    EXPECT_GE(probe.maxGapMs(), 9);
    // Generous for a loaded machine; a blocked thread shows far larger gaps.
    EXPECT_LT(probe.maxGapMs(), 150);
}

TEST(LivenessProbeTest, ABlockedThreadShowsAsTheLargestGap) {
    app();
    LivenessProbe probe(10);
    probe.start();
    QTimer::singleShot(30, [] { QThread::msleep(120); });
    spin(250);
    probe.stop();
    EXPECT_GE(probe.maxGapMs(), 120);
    // The gap ended once the blocking handler returned.
    EXPECT_GE(probe.maxGapEndMs(), 150);
    EXPECT_LE(probe.maxGapEndMs(), probe.elapsedMs());
}

TEST(LivenessProbeTest, GapsOutsideTheMeasuredSpanDoNotCount) {
    app();
    bool measuring = false;
    LivenessProbe probe(10);
    probe.setMeasuring([&measuring] { return measuring; });
    probe.start();
    // Blocked while not measuring: not counted.
    QTimer::singleShot(20, [] { QThread::msleep(400); });
    spin(500);
    measuring = true;
    spin(100);
    measuring = false;
    spin(50);
    probe.stop();
    // Far below the blocked 400 ms, with room for a loaded machine.
    EXPECT_LT(probe.maxGapMs(), 300);
    EXPECT_GE(probe.ticks(), 5);
}

TEST(LivenessProbeTest, StopCountsTheTimeSinceTheLastTick) {
    app();
    LivenessProbe probe(10);
    probe.start();
    QThread::msleep(60);  // no tick can come while the thread sleeps
    probe.stop();
    EXPECT_GE(probe.maxGapMs(), 60);
    EXPECT_EQ(probe.ticks(), 1);
}

}  // namespace
}  // namespace flashmere
