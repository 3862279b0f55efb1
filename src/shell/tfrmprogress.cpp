#include "shell/tfrmprogress.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <cstdlib>

namespace flashmere {

QString rebootWaitCaption(int elapsedSeconds, int rebootSeconds) {
    return QStringLiteral("device is rebooting,please wait ..... %1/%2 Seconds")
        .arg(elapsedSeconds, 3, 10, QLatin1Char('0'))
        .arg(rebootSeconds, 3, 10, QLatin1Char('0'));
}

TfrmProgress::TfrmProgress(QWidget* parent) : QDialog(parent) {
    setObjectName("frmProgress");
    setWindowTitle("Progress");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(404, 90);
    QFont font = this->font();
    font.setFamily("MS Sans Serif");
    font.setPixelSize(11);
    setFont(font);

    Progress_Bar = new QProgressBar(this);
    Progress_Bar->setObjectName("Progress_Bar");
    Progress_Bar->setGeometry(8, 20, 385, 20);
    Progress_Bar->setRange(1, 100);
    Progress_Bar->setValue(1);
    Progress_Bar->setTextVisible(false);

    pnlProgress = new QLabel(this);
    pnlProgress->setObjectName("pnlProgress");
    pnlProgress->setGeometry(8, 45, 385, 23);
    pnlProgress->setAlignment(Qt::AlignCenter);
    pnlProgress->setText(QString());

    tmrProgress.setInterval(500);
    connect(&tmrProgress, &QTimer::timeout, this, &TfrmProgress::tmrProgressTimer);
}

void TfrmProgress::prepare(int seconds) {
    rebootSeconds = seconds;
    elapsedSeconds = 0;
    Progress_Bar->setRange(1, seconds + 1);
    Progress_Bar->setValue(1);
    // Shown from the start: the first tick comes half a second later.
    pnlProgress->setText(rebootWaitCaption(0, seconds));
}

void TfrmProgress::update(const QString& caption, int barPosition, int barMaximum) {
    if (barMaximum >= 1 && barMaximum != Progress_Bar->maximum()) {
        Progress_Bar->setRange(1, barMaximum);
    }
    Progress_Bar->setValue(barPosition);
    pnlProgress->setText(caption);
}

void TfrmProgress::finish() {
    tmrProgress.stop();
    tickBusy_ = true;
    closingByProgram_ = true;
    close();
    closingByProgram_ = false;
}

void TfrmProgress::startCountdown(int seconds, TimeSource now) {
    now_ = std::move(now);
    prepare(seconds);
    startMs_ = now_();
    tickBusy_ = false;
    tmrProgress.start();
}

void TfrmProgress::tmrProgressTimer() {
    if (tickBusy_ || !now_) {
        return;
    }
    tickBusy_ = true;
    const std::int64_t elapsedMs = std::llabs(now_() - startMs_);
    elapsedSeconds = static_cast<int>(std::min<std::int64_t>(elapsedMs / 1000, 999999));
    update(rebootWaitCaption(elapsedSeconds, rebootSeconds), elapsedSeconds + 1, rebootSeconds + 1);
    if (elapsedSeconds > rebootSeconds) {
        finish();
        return;
    }
    tickBusy_ = false;
}

void TfrmProgress::closeEvent(QCloseEvent* event) {
    // The close box arrives here and goes on to reject().
    tmrProgress.stop();
    QDialog::closeEvent(event);
}

void TfrmProgress::reject() {
    // Escape or the close box: the operator ends the wait early.
    if (!closingByProgram_) {
        tmrProgress.stop();
        tickBusy_ = true;
        emit closedByOperator();
    }
    const bool wasClosingByProgram = closingByProgram_;
    closingByProgram_ = true;
    QDialog::reject();
    closingByProgram_ = wasClosingByProgram;
}

}  // namespace flashmere
