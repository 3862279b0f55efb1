#pragma once

#include <QObject>
#include <memory>

#include "frontend/stop_request.h"
#include "operator/message_row.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace flashmere {

class DeviceRunner;
class MainWindow;

// Device after device in the window: with its check box on, after each
// ending of an upgrade the window waits for the next unit on the runner's
// worker (the link asked quietly, with the same settings) and upgrades it
// when it answers. Esc, the stop button or closing the window end the wait
// at once. With the box off nothing of a run changes.
class NextUnitFlow final : public QObject {
    Q_OBJECT
  public:
    NextUnitFlow(MainWindow& window, DeviceRunner& runner);

    bool waiting() const { return waitStop_ != nullptr; }
    // The captions in the window's language.
    void showCaptions(int languageIndex);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void runEnded(MessageRow result);
    void waitEnded(bool arrived);
    void stopWaiting();
    void showCount();
    void showWaiting();

    MainWindow& window_;
    DeviceRunner& runner_;
    QCheckBox* option_ = nullptr;
    QLabel* count_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    std::shared_ptr<StopRequest> waitStop_;
    bool closeAfterWait_ = false;
    int ok_ = 0;
    int notOk_ = 0;
    int languageIndex_ = 0;
};

}  // namespace flashmere
