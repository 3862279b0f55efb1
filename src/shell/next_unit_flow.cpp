#include "shell/next_unit_flow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "frontend/window_texts.h"
#include "shell/device_runner.h"
#include "shell/main_window.h"

namespace flashmere {

NextUnitFlow::NextUnitFlow(MainWindow& window, DeviceRunner& runner)
    : QObject(&window), window_(window), runner_(runner) {
    auto* upgrade = window.findChild<QPushButton*>(QStringLiteral("btnAuto"));
    QWidget* area = upgrade->parentWidget();
    // The Upgrade button gives the right of its row to the flow's controls.
    upgrade->setGeometry(8, 352, 441, 49);
    option_ = new QCheckBox(area);
    option_->setObjectName(QStringLiteral("chkNextUnit"));
    option_->setGeometry(455, 352, 234, 24);
    count_ = new QLabel(area);
    count_->setObjectName(QStringLiteral("lblUnits"));
    count_->setGeometry(455, 377, 120, 24);
    stopButton_ = new QPushButton(area);
    stopButton_->setObjectName(QStringLiteral("btnStopWaiting"));
    stopButton_->setGeometry(579, 377, 110, 24);
    stopButton_->hide();
    connect(stopButton_, &QPushButton::clicked, this, [this] { stopWaiting(); });
    connect(&window, &MainWindow::runFinished, this, [this](MessageRow r) { runEnded(r); });
    window.installEventFilter(this);
}

void NextUnitFlow::showCaptions(int languageIndex) {
    languageIndex_ = languageIndex;
    option_->setText(QString::fromStdString(textOf(WindowText::NextUnitOption, languageIndex)));
    stopButton_->setText(QString::fromStdString(textOf(WindowText::StopWaiting, languageIndex)));
    showCount();
    if (waiting()) {
        showWaiting();  // not the first message of the language
    }
}

void NextUnitFlow::showWaiting() {
    window_.findChild<QLabel*>(QStringLiteral("pnMsg"))
        ->setText(QString::fromStdString(textOf(WindowText::WaitingForNextUnit, languageIndex_)));
}

void NextUnitFlow::showCount() {
    if (ok_ + notOk_ == 0) {
        count_->clear();
        return;
    }
    count_->setText(QString::fromStdString(textOf(WindowText::UnitsCount, languageIndex_))
                        .arg(ok_)
                        .arg(notOk_));
}

void NextUnitFlow::runEnded(MessageRow result) {
    if (!option_->isChecked()) {
        return;
    }
    const bool ok = result == MessageRow::msgUpgradeOk && !window_.afterStartCheckFailed();
    (ok ? ok_ : notOk_) += 1;
    showCount();
    if (window_.stopRequested()) {
        return;
    }
    // The serial the last unit gave, as its panel shows it.
    const QString lastSerial = window_.findChild<QLabel*>(QStringLiteral("pnDeviceSN"))->text();
    waitStop_ = std::make_shared<StopRequest>();
    if (!runner_.waitForNextUnit(window_.storedOptions(), lastSerial.toStdString(), waitStop_,
                                 [this](bool arrived) { waitEnded(arrived); })) {
        waitStop_.reset();
        return;
    }
    showWaiting();
    stopButton_->show();
    stopButton_->setFocus();
}

void NextUnitFlow::waitEnded(bool arrived) {
    waitStop_.reset();
    stopButton_->hide();
    if (closeAfterWait_) {
        window_.close();
        return;
    }
    if (arrived && option_->isChecked()) {
        window_.startUpgrade();
    } else {
        window_.showMessage(CaptionRow::msgRunConnect);
    }
}

void NextUnitFlow::stopWaiting() {
    if (waitStop_) {
        waitStop_->request(kStoppedByOperator);
    }
}

bool NextUnitFlow::eventFilter(QObject* watched, QEvent* event) {
    if (waiting() && event->type() == QEvent::Close) {
        closeAfterWait_ = true;
        stopWaiting();
        event->ignore();
        return true;
    }
    if (waiting() && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        stopWaiting();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace flashmere
