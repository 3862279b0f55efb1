#include "shell/window_panel.h"

#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QScrollBar>
#include <QThread>

#include "shell/tfrmmodule.h"

namespace flashmere {
namespace {
QString qs(const std::string& s) {
    return QString::fromStdString(s);
}
}  // namespace

WindowPanel::WindowPanel(TfrmModule& window) : window_(&window) {}

void WindowPanel::setSnapshot(const OperatorOptions& options) {
    std::lock_guard lock(snapshotMutex_);
    snapshot_ = options;
}

void WindowPanel::post(std::function<void(TfrmModule&)> f) {
    TfrmModule* window = window_.data();
    if (window == nullptr) {
        return;
    }
    if (QThread::currentThread() == window->thread()) {
        f(*window);
        return;
    }
    QMetaObject::invokeMethod(
        window, [window, f = std::move(f)] { f(*window); }, Qt::QueuedConnection);
}

OperatorOptions WindowPanel::captureOptions() {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void WindowPanel::storeLinkSettings(std::uint8_t linkKind, const LinkSettings& link) {
    post([linkKind, link](TfrmModule& w) {
        AppSettings& settings = w.settings();
        settings.linkKind = linkKind == kLinkNet ? kLinkNet : kLinkCom;
        settings.setLinkSettings(link);
        settings.storeLinkSettings();
    });
}

void WindowPanel::setPnMsg(MessageRow row) {
    post([row](TfrmModule& w) { w.setPnMsg(row); });
}

void WindowPanel::setPnMsgReason(const std::string& reason) {
    post([reason](TfrmModule& w) { w.setPnMsgReason(qs(reason)); });
}

void WindowPanel::setLamp(LampColour colour) {
    post([colour](TfrmModule& w) { w.setLamp(colour); });
}

void WindowPanel::setBusyIndicator(bool on) {
    post([on](TfrmModule& w) { w.setBusyIndicator(on); });
}

void WindowPanel::setProgramRange(int maximum) {
    post([maximum](TfrmModule& w) {
        w.findChild<QProgressBar*>("pbProgram")->setRange(0, std::max(maximum, 0));
    });
}

void WindowPanel::setProgramPosition(int position) {
    post([position](TfrmModule& w) {
        auto* bar = w.findChild<QProgressBar*>("pbProgram");
        // A position past the end shows a full bar.
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
}

void WindowPanel::setVerifyRange(int maximum) {
    post([maximum](TfrmModule& w) {
        w.findChild<QProgressBar*>("pbVerify")->setRange(0, std::max(maximum, 0));
    });
}

void WindowPanel::setVerifyPosition(int position) {
    post([position](TfrmModule& w) {
        auto* bar = w.findChild<QProgressBar*>("pbVerify");
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
}

void WindowPanel::setErrorCounter(ErrorCounter counter, int value) {
    post([counter, value](TfrmModule& w) { w.setErrorCounter(counter, value); });
}

void WindowPanel::setEdtPage(const std::string& text) {
    post([t = qs(text)](TfrmModule& w) { w.findChild<QLineEdit*>("edtPage")->setText(t); });
}

void WindowPanel::setEdtPage1(const std::string& text) {
    post([t = qs(text)](TfrmModule& w) { w.findChild<QLineEdit*>("edtPage1")->setText(t); });
}

void WindowPanel::setEdtTX(const std::string& text) {
    post([t = qs(text)](TfrmModule& w) { w.findChild<QLineEdit*>("edtTX")->setText(t); });
}

void WindowPanel::setEdtRX(const std::string& text) {
    post([t = qs(text)](TfrmModule& w) { w.findChild<QLineEdit*>("edtRX")->setText(t); });
}

void WindowPanel::linkNote(const std::string& text) {
    post([t = qs(text)](TfrmModule& w) {
        // No control of the window holds notes: they go to the message bar's
        // tool tip and to the log output.
        qInfo("link: %s", qPrintable(t));
        w.findChild<QWidget*>("pnMsg")->setToolTip(t);
    });
}

void WindowPanel::setDevicePanel(DevicePanel panel, const std::string& text) {
    post([panel, t = qs(text)](TfrmModule& w) { w.setDevicePanel(panel, t); });
}

void WindowPanel::setSbID(int position) {
    post([position](TfrmModule& w) { w.findChild<QScrollBar*>("sbID")->setValue(position); });
}

void WindowPanel::tone(int frequencyHz, int durationMs) {
    post([frequencyHz, durationMs](TfrmModule& w) { w.playTone(frequencyHz, durationMs); });
}

void WindowPanel::showRebootWait(int rebootSeconds) {
    rebootWaitClosed_ = false;
    post([rebootSeconds](TfrmModule& w) { w.showRebootWait(rebootSeconds); });
}

void WindowPanel::updateRebootWait(const std::string& caption, int barPosition, int barMaximum) {
    post([t = qs(caption), barPosition, barMaximum](TfrmModule& w) {
        w.updateRebootWait(t, barPosition, barMaximum);
    });
}

void WindowPanel::closeRebootWait() {
    post([](TfrmModule& w) { w.closeRebootWait(); });
}

bool WindowPanel::rebootWaitClosedByOperator() {
    return rebootWaitClosed_;
}

}  // namespace flashmere
