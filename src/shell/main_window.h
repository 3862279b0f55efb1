#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "firmware/firmware_image.h"
#include "frontend/app_settings.h"
#include "frontend/message_table.h"
#include "link/clock.h"
#include "link/transport.h"
#include "operator/message_row.h"
#include "operator/operator_panel.h"
#include "service/service_functions.h"
#include "shell/device_runner.h"
#include "shell/reboot_wait_dialog.h"
#include "shell/tone.h"

namespace Ui {
class MainWindow;
}
class QDragEnterEvent;
class QDropEvent;
class QFontMetrics;
class QMenu;
class QUrl;
class QWidget;

namespace flashmere {

class NextUnitFlow;
class WindowPanel;

// The window's service functions, by their buttons Button1 to Button3,
// Button5 and Button6.
enum class ServiceFunction { SerialNumberQuery, IdQuery, VersionQuery, Erase, ReadBack };

// What the window asks of its surroundings; tests replace each part.
struct ShellHooks {
    // The open dialog, opened at startFolder (empty: the home folder): the
    // chosen path, or an empty text when cancelled.
    std::function<QString(QWidget* parent, const QString& startFolder)> chooseFirmwareFile;
    // The message bar's message and reason as text to select and copy.
    std::function<void(QWidget* parent, const QString& title, const QString& text)> showDetails;
    // A modal message box with an OK button only.
    std::function<void(QWidget* parent, const QString& title, const QString& text)> showMessage;
    // A modal question before an irreversible step: true when the operator
    // said yes. Without it nothing is confirmed.
    std::function<bool(QWidget* parent, const QString& title, const QString& text)> confirm;
    std::shared_ptr<TonePlayer> tone;
    // The serial port names for the port list.
    std::function<QStringList()> portList;
    // The operation behind the Upgrade button; the button does nothing
    // without it.
    DeviceRun runDevice;
    // The read-back's folder dialog, opened at startFolder: the chosen folder,
    // or an empty text when cancelled.
    std::function<QString(QWidget* parent, const QString& startFolder)> chooseReadBackFolder;
    // Opens the device links of the upgrade and the service functions; called
    // on their worker thread, which then owns the transports. Qt transports
    // when empty.
    TransportSource transports;
};

// The dialog, the message box, the sound card, the machine's ports and the
// upgrade engine.
ShellHooks defaultShellHooks();

// The path as it fits into width: whole when it fits; else the folder part
// elided in its middle and the file name whole; a file name that alone is
// too wide elided in its middle.
QString elidePathKeepingName(const QString& path, const QFontMetrics& metrics, int width);

// The main window.
class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    // Runs setUpFromSettings: loads the settings, fills the port list and puts the
    // settings into the link controls. Every device operation keeps its time
    // by clock.
    explicit MainWindow(AppSettings& settings, ShellHooks hooks = defaultShellHooks(),
                        Clock& clock = systemClock(), QWidget* parent = nullptr);
    ~MainWindow() override;

    AppSettings& settings() { return settings_; }
    FirmwareImage& image() { return image_; }
    int languageIndex() const { return settings_.languageIndex; }
    bool busy() const { return busy_; }
    // True from the click that starts a device operation (the upgrade or a
    // service function) until the window has shown its end.
    bool deviceOperationRunning() const { return runner_ && runner_->running(); }

    // The operations the device operations use.
    QString textOf(TableRow row) const;
    void showMessage(TableRow row);
    // Why the message came about: the message bar's tooltip, and with the
    // message in the details a click on (or Enter at) the bar shows.
    void showMessageReason(const QString& reason);
    const QString& pnMsgReason() const { return reason_; }
    // A stop of the running operation was asked for (the close box, a signal).
    bool stopRequested() const { return stop_->requested(); }
    // The last upgrade reached "Upgrade ok." but its check after the start
    // failed (the device silent, or still on its old version).
    bool afterStartCheckFailed() const;
    // The details of the message bar: its message and reason.
    void showReasonDetails();
    void setLamp(LampColour colour);
    QColor lampColour() const;
    void setBusyIndicator(bool on);
    bool busyIndicatorRunning() const { return busyBlinkTimer.isActive(); }
    void captureLinkSettings();
    OperatorOptions captureOptions();
    // The options with the link as AppSettings holds it now (no capture).
    OperatorOptions storedOptions() const;
    // Whole window and menu disabled, with the busy cursor when asked; or
    // back again.
    void setWindowBusy(bool on, bool busyCursor = true);
    void showDeviceField(DeviceField panel, const QString& text);
    void setErrorCounter(ErrorCounter counter, int value);
    void playTone(int frequencyHz, int durationMs);

    // The reboot-wait window while it is shown, else null.
    RebootWaitDialog* rebootWaitWindow() const { return frmProgress_; }
    void showRebootWait(int seconds);
    void updateRebootWait(const QString& caption, int barPosition, int barMaximum);
    void closeRebootWait();

    // Command-line set-up: the language for this session only (not stored),
    // a TCP device, a firmware file chosen without the dialog.
    void useLanguage(int languageIndex);
    void useNetLink(const QString& host, const QString& port);
    void chooseFirmwareFile(const QString& path);
    // Takes a firmware file as the select button does after its dialog (a
    // dropped file, a recent file).
    void takeFirmwareFile(const QString& path);
    // The File menu's recent firmware files, newest first.
    QMenu* recentFilesMenu() const { return recentMenu_; }
    // True while the ID box holds text that is no device ID.
    bool idBoxMarked() const { return idMarked_; }
    // The note box after showInWindowLanguage (off for screenshots and timing runs).
    void setNoteEnabled(bool on) { noteEnabled_ = on; }

    QTimer busyBlinkTimer;
    QTimer noteTimer;

  public slots:
    // At the first show and after each language change: the language's
    // font, captions, menus and first message; the note box after it.
    void showInWindowLanguage();
    void showStartupNote();
    void blinkBusyLamp();
    void showAbout();
    void exitFromMenu();
    void useEnglish();
    void useSimplifiedChinese();
    void useTraditionalChinese();
    void copyIdToTextBox();
    void takeTypedId();
    void showErrorCounters();
    void chooseSpeed19200();
    void chooseSpeed115200();
    void askForFirmwareFile();
    void startUpgrade();
    // Service buttons: the three queries, the erase and the read-back
    // (Button4 has no function: its only effect would be a file "MYFILE.TXT"
    // left in whatever folder the program was started from).
    void querySerialNumber();
    void queryId();
    void queryVersion();
    void eraseDevice();
    void readBackDevice();

  signals:
    // An upgrade run ended (the window is enabled again).
    void runFinished(flashmere::MessageRow result);
    // A service function ended (the window shows its end).
    void serviceFinished(flashmere::ServiceFunction function);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void setUpFromSettings();
    // Keyboard and assistive technology: no stops outside the visible area,
    // Enter presses the focused button, the message bar opens its details.
    void setUpKeyboardAndNames();
    // The names assistive technology reads, from the labels beside them.
    void showAccessibleNames();
    void rebuildRecentFilesMenu();
    // Marks the ID box while its text is no device ID (the ID stays).
    void markIdBox(bool on);
    // Why the window's inputs cannot start a device operation, naming the
    // box to correct; empty when they can. The link page is checked when
    // withLink.
    QString inputRefusal(bool withLink) const;
    // Refuses with the reason in a message box; true when refused.
    bool refusedByInputs(bool withLink);
    // The close box during a device operation: asks whether to stop it.
    void askToStopRun();
    // A stop signal: the running operation stops, then the window closes.
    void stopBySignal(const QString& name);
    void closeIfStopped();
    // Once per start: the damaged settings file that was set aside.
    void tellDamagedSettings();
    // A dropped file's refusal: why it cannot be taken; empty to take it.
    static QString dropRefusal(const QList<QUrl>& urls);
    void chooseLanguage(int index);
    // The texts of the labels, buttons, tabs and menus in the language.
    void showCaptions();
    void showMenuTexts();
    void beginFileChoice();
    void selectFile(const QString& path);
    // pnFile: the path elided so the file name shows; the whole path as tip.
    void showFilePath(const QString& path);
    // The file panels grey, with a note, while they show a file that Upgrade
    // will not use (a cancelled dialog, a refused file); else as designed.
    void markFileInUse(bool inUse);
    // Appends a port to the list marked as not present; gives its index.
    int addAbsentPort(const QString& name);
    void finishRun(MessageRow result);
    // The message bar says so when the check after the start failed.
    void showAfterStartCheck();
    void runQuery(ServiceFunction function, DeviceQuery query);
    // Asks the operator before the erase of the loaded image: which link,
    // which device ID, which blocks. True when there is nothing to ask (the
    // erase then refuses the image without touching a device).
    bool eraseConfirmed(const OperatorOptions& options);
    void runErase(const OperatorOptions& options, int eraseErrors);
    // The controls that start a device operation: off while a query runs,
    // then back to the states they had.
    void setDeviceControlsEnabled(bool on);
    // A read-back folder that cannot take the files: why, else empty.
    static QString readBackFolderProblem(const QString& folder);
    void reportReadBackFailure(const QString& folder, const QString& reason);

    std::unique_ptr<Ui::MainWindow> ui;
    AppSettings& settings_;
    ShellHooks hooks_;
    FirmwareImage image_;
    std::unique_ptr<WindowPanel> panel_;
    // After panel_ and image_, which its operations use: it goes first.
    std::unique_ptr<DeviceRunner> runner_;
    NextUnitFlow* nextUnit_ = nullptr;  // a child of the window
    QPointer<RebootWaitDialog> frmProgress_;
    int busyTag_ = 0;
    bool busy_ = false;
    bool busyCursor_ = false;
    // The chosen file's header was accepted (the file the erase loads).
    bool fileAccepted_ = false;
    std::vector<std::pair<QPointer<QWidget>, bool>> deviceControls_;
    bool noteEnabled_ = true;
    QString filePath_;  // the chosen file, whole
    QString reason_;    // beside the message bar's message
    bool idMarked_ = false;
    QMenu* recentMenu_ = nullptr;
    // Requested when the operator stops a running operation by closing the
    // window, or a signal asks the program to end; the operation's links
    // and its reboot wait read it.
    std::shared_ptr<StopRequest> stop_ = std::make_shared<StopRequest>();
    bool closeWhenIdle_ = false;
    bool damagedSettingsTold_ = false;
};

}  // namespace flashmere
