#include "shell/reboot_wait_dialog.h"

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

RebootWaitDialog::RebootWaitDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("frmProgress");
    setWindowTitle("Progress");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(404, 90);
    QFont font = this->font();
    font.setFamily("MS Sans Serif");
    font.setPixelSize(11);
    setFont(font);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("progressBar");
    progressBar->setGeometry(8, 20, 385, 20);
    progressBar->setRange(1, 100);
    progressBar->setValue(1);
    progressBar->setTextVisible(false);

    captionLabel = new QLabel(this);
    captionLabel->setObjectName("captionLabel");
    captionLabel->setGeometry(8, 45, 385, 23);
    captionLabel->setAlignment(Qt::AlignCenter);
    captionLabel->setText(QString());

    countdownTimer.setInterval(500);
    connect(&countdownTimer, &QTimer::timeout, this, &RebootWaitDialog::countOneTick);
}

void RebootWaitDialog::prepare(int seconds) {
    rebootSeconds = seconds;
    elapsedSeconds = 0;
    progressBar->setRange(1, seconds + 1);
    progressBar->setValue(1);
    // Shown from the start: the first tick comes half a second later.
    captionLabel->setText(rebootWaitCaption(0, seconds));
}

void RebootWaitDialog::update(const QString& caption, int barPosition, int barMaximum) {
    if (barMaximum >= 1 && barMaximum != progressBar->maximum()) {
        progressBar->setRange(1, barMaximum);
    }
    progressBar->setValue(barPosition);
    captionLabel->setText(caption);
}

void RebootWaitDialog::finish() {
    countdownTimer.stop();
    tickBusy_ = true;
    closingByProgram_ = true;
    close();
    closingByProgram_ = false;
}

void RebootWaitDialog::startCountdown(int seconds, TimeSource now) {
    now_ = std::move(now);
    prepare(seconds);
    startMs_ = now_();
    tickBusy_ = false;
    countdownTimer.start();
}

void RebootWaitDialog::countOneTick() {
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

void RebootWaitDialog::closeEvent(QCloseEvent* event) {
    // The close box arrives here and goes on to reject().
    countdownTimer.stop();
    QDialog::closeEvent(event);
}

void RebootWaitDialog::reject() {
    // Escape or the close box: the operator ends the wait early.
    if (!closingByProgram_) {
        countdownTimer.stop();
        tickBusy_ = true;
        emit closedByOperator();
    }
    const bool wasClosingByProgram = closingByProgram_;
    closingByProgram_ = true;
    QDialog::reject();
    closingByProgram_ = wasClosingByProgram;
}

}  // namespace flashmere
