#include "shell/window_panel.h"

#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <mutex>

#include "shell/bar_captions.h"
#include "shell/main_window.h"
#include "shell/qt_texts.h"

namespace flashmere {
namespace {
QString qs(const std::string& s) {
    return QString::fromStdString(s);
}
}  // namespace

namespace {
// Nobody reads the trace boxes during a run (they lie below the visible
// area); a few updates a second keep them current enough.
constexpr std::int64_t kTraceIntervalMs = 250;

// Qt's event queue hands a posted call to the window's thread under a lock
// that ThreadSanitizer cannot see (Qt is not instrumented and locks with
// futexes), so the call's captures look raced. Held while a call is posted
// and taken once before it runs, this lock shows the hand-over; it is never
// held for longer than one post.
std::mutex postHandOver;
}  // namespace

WindowPanel::WindowPanel(MainWindow& window, Clock& clock)
    : window_(&window),
      programBar_(window.findChild<QProgressBar*>("pbProgram")),
      verifyBar_(window.findChild<QProgressBar*>("pbVerify")),
      storePath_(window.settings().storePath()),
      updates_(clock, armOnWindowThread(&WindowPanel::updates_)),
      traces_(clock, armOnWindowThread(&WindowPanel::traces_), kTraceIntervalMs) {}

UpdateCoalescer::Arm WindowPanel::armOnWindowThread(UpdateCoalescer WindowPanel::*coalescer) {
    return [this, coalescer](std::int64_t delayMs) {
        // The timer is started on the window's thread, which runs it.
        postRaw([this, coalescer, delayMs](MainWindow& w) {
            QTimer::singleShot(static_cast<int>(delayMs), Qt::PreciseTimer, &w,
                               [this, coalescer] { (this->*coalescer).timerFlush(); });
        });
    };
}

void WindowPanel::setSnapshot(const OperatorOptions& options) {
    std::lock_guard lock(snapshotMutex_);
    snapshot_ = options;
}

void WindowPanel::post(std::function<void(MainWindow&)> f) {
    // The updates made before this call go with it; later ones stay behind.
    postRaw([bars = updates_.take(), traces = traces_.take(), f = std::move(f)](MainWindow& w) {
        if (bars) {
            bars();
        }
        if (traces) {
            traces();
        }
        f(w);
    });
}

void WindowPanel::coalesce(UpdateCoalescer& coalescer, UpdateCoalescer::Slot slot,
                           std::function<void(MainWindow&)> f) {
    coalescer.set(slot, [this, f = std::move(f)] {
        if (MainWindow* window = window_.data()) {
            f(*window);
        }
    });
}

void WindowPanel::postRaw(std::function<void(MainWindow&)> f) {
    MainWindow* window = window_.data();
    if (window == nullptr) {
        return;
    }
    if (QThread::currentThread() == window->thread()) {
        f(*window);
        return;
    }
    std::lock_guard handing(postHandOver);
    QMetaObject::invokeMethod(
        window,
        [window, f = std::move(f)] {
            { std::lock_guard taken(postHandOver); }
            f(*window);
        },
        Qt::QueuedConnection);
}

OperatorOptions WindowPanel::captureOptions() {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void WindowPanel::storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) {
    const std::uint8_t kind = linkKind == kLinkNet ? kLinkNet : kLinkCom;
    // The ID the operator gave is remembered with the link it answered on.
    const int deviceId = captureOptions().deviceId;
    post([kind, link, deviceId](MainWindow& w) {
        AppSettings& settings = w.settings();
        settings.linkKind = kind;
        settings.setLinkSettings(link);
        settings.deviceId = deviceId;
    });
    // The file is written here, on the operation's thread: a write ends with
    // a sync to disk (some 20 ms here, more on a slow disk) that would stop
    // the window in the middle of the run.
    AppSettings stored(storePath_);
    stored.linkKind = kind;
    stored.setLinkSettings(link);
    stored.deviceId = deviceId;
    stored.storeLinkSettings();
}

void WindowPanel::showMessage(MessageRow row) {
    post([row](MainWindow& w) { w.showMessage(row); });
}

void WindowPanel::showMessageReason(const std::string& reason) {
    post([reason](MainWindow& w) { w.showMessageReason(qs(reason)); });
}

void WindowPanel::setLamp(LampColour colour) {
    post([colour](MainWindow& w) { w.setLamp(colour); });
}

void WindowPanel::setBusyIndicator(bool on) {
    post([on](MainWindow& w) { w.setBusyIndicator(on); });
}

void WindowPanel::setProgramRange(int maximum) {
    post([bar = programBar_, maximum](MainWindow&) { bar->setRange(0, std::max(maximum, 0)); });
}

void WindowPanel::setProgramPosition(int position) {
    coalesce(updates_, UpdateCoalescer::ProgramBar, [bar = programBar_, position](MainWindow&) {
        // A position past the end shows a full bar.
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
}

void WindowPanel::setVerifyRange(int maximum) {
    post([bar = verifyBar_, maximum](MainWindow&) { bar->setRange(0, std::max(maximum, 0)); });
}

void WindowPanel::setVerifyPosition(int position) {
    coalesce(updates_, UpdateCoalescer::VerifyBar, [bar = verifyBar_, position](MainWindow&) {
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
}

void WindowPanel::showRunTimes(const RunTimes& times) {
    coalesce(updates_, UpdateCoalescer::BarTimes,
             [program = programBar_, verify = verifyBar_, times](MainWindow& w) {
                 showBarTimes(program, verify, times, w.languageIndex());
             });
}

void WindowPanel::setErrorCounter(ErrorCounter counter, int value) {
    post([counter, value](MainWindow& w) { w.setErrorCounter(counter, value); });
}

void WindowPanel::setLineTrace(const std::string& text) {
    coalesce(traces_, UpdateCoalescer::PageTrace,
             [t = qs(text)](MainWindow& w) { w.findChild<QLineEdit*>("edtPage")->setText(t); });
}

void WindowPanel::setPageTrace(const std::string& text) {
    coalesce(traces_, UpdateCoalescer::Page1Trace,
             [t = qs(text)](MainWindow& w) { w.findChild<QLineEdit*>("edtPage1")->setText(t); });
}

void WindowPanel::setSentTrace(const std::string& text) {
    coalesce(traces_, UpdateCoalescer::TxTrace,
             [t = qs(text)](MainWindow& w) { w.findChild<QLineEdit*>("edtTX")->setText(t); });
}

void WindowPanel::setReceivedTrace(const std::string& text) {
    coalesce(traces_, UpdateCoalescer::RxTrace,
             [t = qs(text)](MainWindow& w) { w.findChild<QLineEdit*>("edtRX")->setText(t); });
}

void WindowPanel::linkNote(const std::string& text) {
    post([t = qs(text)](MainWindow& w) {
        // No control of the window holds notes: they go to the message bar's
        // tool tip and to the log output.
        qInfo("link: %s", qPrintable(t));
        w.findChild<QWidget*>("pnMsg")->setToolTip(t);
    });
}

void WindowPanel::showDeviceField(DeviceField panel, const std::string& text) {
    post([panel, t = qs(text)](MainWindow& w) { w.showDeviceField(panel, t); });
}

void WindowPanel::showDeviceId(int position) {
    post([position](MainWindow& w) { w.findChild<QScrollBar*>("sbID")->setValue(position); });
}

void WindowPanel::tone(int frequencyHz, int durationMs) {
    post([frequencyHz, durationMs](MainWindow& w) { w.playTone(frequencyHz, durationMs); });
}

void WindowPanel::showRebootWait(int rebootSeconds) {
    rebootWaitClosed_ = false;
    post([rebootSeconds](MainWindow& w) { w.showRebootWait(rebootSeconds); });
}

void WindowPanel::updateRebootWait(const std::string& caption, int barPosition, int barMaximum) {
    post([t = qs(caption), barPosition, barMaximum](MainWindow& w) {
        w.updateRebootWait(t, barPosition, barMaximum);
    });
}

void WindowPanel::closeRebootWait() {
    post([](MainWindow& w) { w.closeRebootWait(); });
}

// The window's words in a reason the operation builds, in the language the
// window shows then; the engine's own words around them stay as it wrote them.
std::string WindowPanel::noReplyAdvice(bool serialLink) const {
    return textOf(serialLink ? WindowText::NoReplyAdviceCom : WindowText::NoReplyAdviceNet,
                  windowLanguage());
}

std::string WindowPanel::bootLoaderAdvice() const {
    return textOf(WindowText::BootLoaderAdvice, windowLanguage());
}

bool WindowPanel::rebootWaitClosedByOperator() {
    return rebootWaitClosed_ || (stop_ && stop_->requested());
}

}  // namespace flashmere
