#pragma once

// How live the window stays while a device operation runs: a 10 ms timer on
// the window's thread notes the largest gap between its ticks. A gap much
// longer than the interval means the thread was busy and the window froze.
// Header-only (no moc): the window's main() includes it for the
// --measure-liveness and --auto-upgrade options.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "shell/main_window.h"
#include "shell/process_cpu_time.h"

namespace flashmere {

class LivenessProbe {
  public:
    explicit LivenessProbe(int intervalMs = 10) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(intervalMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    }

    // Counts only the gaps that touch a moment when `measuring` is true; by
    // default every gap counts.
    void setMeasuring(std::function<bool()> measuring) { measuring_ = std::move(measuring); }

    void start() {
        maxGapMs_ = 0;
        maxGapEndMs_ = 0;
        ticks_ = 0;
        clock_.start();
        lastTickMs_ = 0;
        lastMeasuring_ = isMeasuring();
        timer_.start();
    }

    // Stops, counting the time since the last tick as a gap too.
    void stop() {
        if (timer_.isActive()) {
            tick();
            timer_.stop();
        }
    }

    qint64 maxGapMs() const { return maxGapMs_; }
    // When the largest gap ended, in ms since start().
    qint64 maxGapEndMs() const { return maxGapEndMs_; }
    qint64 elapsedMs() const { return clock_.isValid() ? clock_.elapsed() : 0; }
    int ticks() const { return ticks_; }
    int intervalMs() const { return timer_.interval(); }

  private:
    bool isMeasuring() const { return !measuring_ || measuring_(); }

    void tick() {
        const qint64 now = clock_.elapsed();
        const bool measuring = isMeasuring();
        if (measuring || lastMeasuring_) {
            if (now - lastTickMs_ > maxGapMs_) {
                maxGapMs_ = now - lastTickMs_;
                maxGapEndMs_ = now;
            }
            ++ticks_;
        }
        lastTickMs_ = now;
        lastMeasuring_ = measuring;
    }

    QTimer timer_;
    QElapsedTimer clock_;
    std::function<bool()> measuring_;
    qint64 lastTickMs_ = 0;
    qint64 maxGapMs_ = 0;
    qint64 maxGapEndMs_ = 0;
    int ticks_ = 0;
    bool lastMeasuring_ = false;
};

// --measure-liveness FILE and --auto-upgrade: the probe runs from the moment
// the window shows; the largest gap during the first upgrade run is written
// to FILE as one JSON object when that run ends. With --auto-upgrade the run
// is started as if Upgrade was pressed once the window has painted itself,
// and the program quits after it with 0 for "Upgrade ok." and 1 otherwise.
// With FLASHMERE_LIVENESS_TICKS=0 in the environment the timer stays off:
// FILE then gives the run's duration and CPU time, and no gap (-1).
class LivenessRun {
  public:
    LivenessRun(MainWindow& window, QString outputFile, bool autoUpgrade)
        : window_(window), outputFile_(std::move(outputFile)), autoUpgrade_(autoUpgrade) {
        probe_.setMeasuring([this] { return window_.busy(); });
        if (autoUpgrade_) {
            window_.setNoteEnabled(false);
        }
        QObject::connect(&window_, &MainWindow::runFinished, &window_,
                         [this](MessageRow result) { finished(result); });
    }

    // After the window was shown and the file chosen.
    void begin() {
        QTimer::singleShot(0, &window_, [this] {
            // The probe's own ticks cost the process CPU time (a wake-up of
            // the window's thread each): it runs only when its figure is
            // asked for, and FLASHMERE_LIVENESS_TICKS=0 keeps it off so that
            // a run's CPU time is the window's alone.
            if (!outputFile_.isEmpty() && qEnvironmentVariable("FLASHMERE_LIVENESS_TICKS") != "0") {
                ticking_ = true;
                probe_.start();
            }
            if (autoUpgrade_) {
                exposedWait_.start();
                pressOnceExposed();
            }
        });
    }

  private:
    // How often and how long the press waits for the window's first paint.
    static constexpr int kExposedCheckMs = 10;
    static constexpr qint64 kExposedWaitMs = 1000;

    // The window paints itself whole when it is first exposed; pressed
    // before that, the run's figures would include that start-up painting.
    // A platform that never reports the window exposed gets the press after
    // kExposedWaitMs.
    void pressOnceExposed() {
        const QWindow* handle = window_.windowHandle();
        const bool exposed = handle != nullptr && handle->isExposed();
        if (!exposed && exposedWait_.elapsed() < kExposedWaitMs) {
            QTimer::singleShot(kExposedCheckMs, &window_, [this] { pressOnceExposed(); });
            return;
        }
        // The expose event is handled and painted by now; one more turn of
        // the event loop lets whatever it posted run before the press.
        QTimer::singleShot(0, &window_, [this] { pressUpgrade(); });
    }

    void pressUpgrade() {
        auto* button = window_.findChild<QPushButton*>("btnAuto");
        if (button == nullptr || !button->isEnabled()) {
            std::fprintf(stderr, "flashmere: --auto-upgrade needs an accepted --file\n");
            QApplication::exit(2);
            return;
        }
        started_.start();
        startedAt_ = probe_.elapsedMs();
        cpuAtStartMs_ = processCpuMs();
        window_.startUpgrade();
        pressMs_ = started_.elapsed();
    }

    void finished(MessageRow result) {
        if (done_) {
            return;
        }
        done_ = true;
        probe_.stop();
        if (!outputFile_.isEmpty()) {
            QFile file(outputFile_);
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                const QString json =
                    QString(
                        "{\"max_gap_ms\":%1,\"interval_ms\":%2,\"ticks\":%3,\"run_ms\":%4,"
                        "\"row\":%5,\"ok\":%6,\"max_gap_end_ms\":%7,\"press_ms\":%8,"
                        "\"run_cpu_ms\":%9}\n")
                        .arg(ticking_ ? probe_.maxGapMs() : -1)
                        .arg(probe_.intervalMs())
                        .arg(probe_.ticks())
                        .arg(started_.isValid() ? started_.elapsed() : -1)
                        .arg(static_cast<int>(result))
                        .arg(result == MessageRow::msgUpgradeOk ? "true" : "false")
                        .arg(ticking_ ? probe_.maxGapEndMs() - (started_.isValid() ? startedAt_ : 0)
                                      : -1)
                        .arg(pressMs_)
                        .arg(processCpuMs() - cpuAtStartMs_);
                file.write(json.toUtf8());
            } else {
                std::fprintf(stderr, "flashmere: cannot write %s\n", qPrintable(outputFile_));
            }
        }
        if (autoUpgrade_) {
            QApplication::exit(result == MessageRow::msgUpgradeOk ? 0 : 1);
        }
    }

    MainWindow& window_;
    QString outputFile_;
    bool autoUpgrade_;
    bool done_ = false;
    bool ticking_ = false;
    LivenessProbe probe_;
    QElapsedTimer started_;
    qint64 startedAt_ = 0;     // probe time of the press of Upgrade
    qint64 pressMs_ = -1;      // how long the press itself held the window's thread
    qint64 cpuAtStartMs_ = 0;  // the process's CPU time at the press
    QElapsedTimer exposedWait_;
};

}  // namespace flashmere
