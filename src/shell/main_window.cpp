#include "shell/main_window.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <algorithm>

#include "firmware/firmware_selection.h"
#include "frontend/id_entry.h"
#include "frontend/message_table.h"
#include "link/clock.h"
#include "link/link_channel.h"
#include "shell/bar_captions.h"
#include "shell/focus_mark.h"
#include "shell/history_dialog.h"
#include "shell/language_font.h"
#include "shell/next_unit_flow.h"
#include "shell/qt_texts.h"
#include "shell/reason_dialog.h"
#include "shell/reboot_wait_dialog.h"
#include "shell/screen_fit.h"
#include "shell/stop_signal_watcher.h"
#include "shell/window_panel.h"
#include "ui_main_window.h"

namespace flashmere {
namespace {

const QColor kLampRed(255, 0, 0);
const QColor kLampYellow(255, 255, 0);

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

QString elidePathKeepingName(const QString& path, const QFontMetrics& metrics, int width) {
    if (metrics.horizontalAdvance(path) <= width) {
        return path;
    }
    const qsizetype slash = path.lastIndexOf('/');
    const QString name = path.mid(slash + 1);
    const QString tail = slash >= 0 ? "/" + name : name;
    const int folderRoom = width - metrics.horizontalAdvance(tail);
    if (slash < 0 || folderRoom < metrics.horizontalAdvance(QStringLiteral("\u2026"))) {
        return metrics.elidedText(name, Qt::ElideMiddle, width);
    }
    return metrics.elidedText(path.left(slash), Qt::ElideMiddle, folderRoom) + tail;
}

ShellHooks defaultShellHooks() {
    ShellHooks hooks;
    hooks.chooseFirmwareFile = [](QWidget* parent, const QString& startFolder) {
        return QFileDialog::getOpenFileName(parent, QString(), startFolder,
                                            QStringLiteral("Firmware files (*.TVB)"));
    };
    hooks.showDetails = [](QWidget* parent, const QString& title, const QString& text) {
        ReasonDialog dialog(title, text, windowLanguage(), parent);
        dialog.exec();
    };
    hooks.showMessage = [](QWidget* parent, const QString& title, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
        box.exec();
    };
    hooks.confirm = [](QWidget* parent, const QString& title, const QString& text) {
        QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No,
                        parent);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    };
    hooks.tone = makeSystemTonePlayer();
    hooks.portList = [] { return fillPortList(); };
    hooks.runDevice = defaultDeviceRun();
    hooks.chooseReadBackFolder = [](QWidget* parent, const QString& startFolder) {
        return QFileDialog::getExistingDirectory(parent, QStringLiteral("ZENTA_FIRMWARE_READ"),
                                                 startFolder);
    };
    hooks.transports = [] { return defaultTransports(); };
    return hooks;
}

MainWindow::MainWindow(AppSettings& settings, ShellHooks hooks, Clock& clock, QWidget* parent)
    : QMainWindow(parent),
      ui(std::make_unique<Ui::MainWindow>()),
      settings_(settings),
      hooks_(std::move(hooks)) {
    ui->setupUi(this);
    if (!hooks_.tone) {
        hooks_.tone = std::make_shared<SilentTonePlayer>();
    }
    panel_ = std::make_unique<WindowPanel>(*this);
    // The last state of the coalesced bars and traces shows before an
    // operation's end does.
    panel_->stopWaitsWhen(stop_);
    runner_ = std::make_unique<DeviceRunner>(*panel_, hooks_.transports, clock,
                                             [this] { panel_->flushUpdates(); });
    runner_->keepHistory(RunHistory::besideSettings(settings_.storePath()));
    runner_->stopWhen(stop_);
    nextUnit_ = new NextUnitFlow(*this, *runner_);
    new StopSignalWatcher([this](const QString& name) { stopBySignal(name); }, this);

    // Client area 697 x 408 below the menu; not resizable, no maximise box.
    // On a screen too small for it the window takes what there is and the
    // client area scrolls.
    ui->clientArea->setFixedSize(697, 408);
    scrollCentralWidget(*this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    // The menu is drawn with the platform's font in every language.
    ui->mnuMain->setFont(QApplication::font());
    fixSizeWithinScreen(*this, ui->clientArea->size());

    busyBlinkTimer.setInterval(200);
    noteTimer.setInterval(100);
    noteTimer.setSingleShot(true);
    connect(&busyBlinkTimer, &QTimer::timeout, this, &MainWindow::blinkBusyLamp);
    connect(&noteTimer, &QTimer::timeout, this, &MainWindow::showStartupNote);

    addHistoryMenuEntry(*ui->mnuFile, *this, settings_.storePath(),
                        [this] { return settings_.languageIndex; });
    connect(ui->mnuAbout, &QAction::triggered, this, &MainWindow::showAbout);
    connect(ui->mnuExit, &QAction::triggered, this, &MainWindow::exitFromMenu);
    connect(ui->mnuEnglish, &QAction::triggered, this, &MainWindow::useEnglish);
    connect(ui->mnuSimplified, &QAction::triggered, this, &MainWindow::useSimplifiedChinese);
    connect(ui->mnuTraditional, &QAction::triggered, this, &MainWindow::useTraditionalChinese);
    connect(ui->sbID, &QScrollBar::valueChanged, this, &MainWindow::copyIdToTextBox);
    connect(ui->edID, &QLineEdit::textChanged, this, &MainWindow::takeTypedId);
    connect(ui->btnComm19200, &QPushButton::clicked, this, &MainWindow::chooseSpeed19200);
    connect(ui->btnComm115200, &QPushButton::clicked, this, &MainWindow::chooseSpeed115200);
    connect(ui->btnSelect, &QPushButton::clicked, this, &MainWindow::askForFirmwareFile);
    connect(ui->btnAuto, &QPushButton::clicked, this, &MainWindow::startUpgrade);
    connect(ui->Button1, &QPushButton::clicked, this, &MainWindow::querySerialNumber);
    connect(ui->Button2, &QPushButton::clicked, this, &MainWindow::queryId);
    connect(ui->Button3, &QPushButton::clicked, this, &MainWindow::queryVersion);
    connect(ui->Button5, &QPushButton::clicked, this, &MainWindow::eraseDevice);
    connect(ui->Button6, &QPushButton::clicked, this, &MainWindow::readBackDevice);
    ui->pnFileVer->installEventFilter(this);
    connect(this, &MainWindow::runFinished, this, &MainWindow::closeIfStopped);
    connect(this, &MainWindow::serviceFinished, this, &MainWindow::closeIfStopped);
    setUpKeyboardAndNames();

    recentMenu_ = new QMenu(this);
    recentMenu_->setObjectName("mnuRecentFiles");
    ui->mnuFile->insertMenu(ui->mnuExit, recentMenu_);
    ui->mnuFile->insertSeparator(ui->mnuExit);
    connect(recentMenu_, &QMenu::aboutToShow, this, &MainWindow::rebuildRecentFilesMenu);

    setUpFromSettings();
    rebuildRecentFilesMenu();
    // Connected once the stored state is shown: only the operator's clicks
    // store it.
    connect(ui->chkCheckAfter, &QCheckBox::toggled, this, [this](bool on) {
        settings_.checkAfterStart = on;
        settings_.storeCheckAfterStart();
    });
}

MainWindow::~MainWindow() {
    runner_.reset();  // waits for a running operation
    if (frmProgress_) {
        delete frmProgress_.data();
    }
}

void MainWindow::setUpFromSettings() {
    settings_.loadSettings();
    useWindowLanguage(settings_.languageIndex);
    ui->chkCheckAfter->setChecked(settings_.checkAfterStart);

    QStringList ports = hooks_.portList ? hooks_.portList() : QStringList();
    if (ports.isEmpty()) {
        ports = fallbackPortList();
    }
    ui->cmbPort->clear();
    ui->cmbPort->addItems(ports);
    ui->cmbPort->setCurrentIndex(0);
    int port = findEntryIgnoringCase(ports, qs(settings_.comPortName));
    if (port < 0 && settings_.comPortNameStored && !settings_.comPortName.empty()) {
        // A port that worked before (a pty, an adapter unplugged now) stays
        // reachable, marked as not present.
        port = addAbsentPort(qs(settings_.comPortName));
    }
    if (port >= 0) {
        ui->cmbPort->setCurrentIndex(port);
    }

    QStringList speeds;
    for (int i = 0; i < ui->cmbBaudrate->count(); ++i) {
        speeds << ui->cmbBaudrate->itemText(i);
    }
    const int speed = findEntryIgnoringCase(speeds, qs(settings_.comBaudRate));
    ui->cmbBaudrate->setCurrentIndex(speed >= 0 ? speed : kBaudRate19200Even);

    if (settings_.deviceId) {
        ui->sbID->setValue(*settings_.deviceId);
    }
    ui->edIP->setText(qs(settings_.netIP));
    ui->edPort->setText(qs(settings_.netPort));
    ui->pcPort->setCurrentWidget(settings_.linkKind == kLinkNet ? ui->tsNet : ui->tsCom);
    image_.pageCount = 0;
}

int MainWindow::addAbsentPort(const QString& name) {
    ui->cmbPort->addItem(name);
    const int index = ui->cmbPort->count() - 1;
    QFont font = ui->cmbPort->font();
    font.setItalic(true);
    ui->cmbPort->setItemData(index, font, Qt::FontRole);
    ui->cmbPort->setItemData(index, QColor(Qt::gray), Qt::ForegroundRole);
    ui->cmbPort->setItemData(index, windowText(WindowText::PortAbsent, languageIndex()).arg(name),
                             Qt::ToolTipRole);
    return index;
}

QString MainWindow::textOf(TableRow row) const {
    return qs(flashmere::textOf(row, settings_.languageIndex));
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous()) {
        showInWindowLanguage();
        placeInsideScreen(*this);
        // Again once the window manager has put its frame around it.
        QTimer::singleShot(0, this, [this] {
            fixSizeWithinScreen(*this, ui->clientArea->size());
            placeInsideScreen(*this);
        });
    }
}

void MainWindow::showInWindowLanguage() {
    const int lang = settings_.languageIndex;
    applyLanguageFont(*this, lang);
    useWindowLanguage(lang);
    fixSizeWithinScreen(*this, ui->clientArea->size());

    ui->mnuEnglish->setChecked(lang == kLanguageEnglish);
    ui->mnuSimplified->setChecked(lang == kLanguageSimplified);
    ui->mnuTraditional->setChecked(lang == kLanguageTraditional);

    setWindowTitle(qs(windowCaption(lang)));
    showCaptions();
    // The message bar shows the select-file text now: a reason of the
    // message before is no longer its reason.
    showMessageReason({});
    showMenuTexts();
    rebuildRecentFilesMenu();
    showAccessibleNames();
    if (!filePath_.isEmpty()) {
        showFilePath(filePath_);  // the language's font takes another width
        markFileInUse(fileAccepted_);
    }
    markIdBox(idMarked_);
    for (int i = 0; i < ui->cmbPort->count(); ++i) {
        if (!ui->cmbPort->itemData(i, Qt::ToolTipRole).isNull()) {
            ui->cmbPort->setItemData(
                i, windowText(WindowText::PortAbsent, lang).arg(ui->cmbPort->itemText(i)),
                Qt::ToolTipRole);
        }
    }

    if (noteEnabled_) {
        noteTimer.start();
    }
    if (!noteEnabled_) {
        // Once the window has come up; else after the note box.
        QTimer::singleShot(0, this, &MainWindow::tellDamagedSettings);
    }
}

void MainWindow::tellDamagedSettings() {
    if (damagedSettingsTold_) {
        return;
    }
    if (!settings_.storeProblem.isEmpty() && hooks_.showMessage) {
        damagedSettingsTold_ = true;
        hooks_.showMessage(
            this, windowTitle(),
            windowText(WindowText::SettingsNotUsed, languageIndex())
                .arg(QDir::toNativeSeparators(settings_.storePath()), settings_.storeProblem));
        return;
    }
    if (settings_.damagedStoreSetAside.isEmpty()) {
        return;
    }
    damagedSettingsTold_ = true;
    if (hooks_.showMessage) {
        hooks_.showMessage(this, windowTitle(),
                           windowText(WindowText::SettingsDamaged, languageIndex())
                               .arg(QDir::toNativeSeparators(settings_.storePath()),
                                    QDir::toNativeSeparators(settings_.damagedStoreSetAside)));
    }
}

void MainWindow::setUpKeyboardAndNames() {
    // The service buttons and the trace boxes lie outside the visible area:
    // hidden, they are neither Tab stops nor offered to assistive technology
    // as controls to press. The service buttons still work through their
    // handlers.
    for (QWidget* outside : std::initializer_list<QWidget*>{ui->Button5, ui->Button6, ui->edtTX,
                                                            ui->edtRX, ui->edtPage1, ui->edtPage}) {
        outside->setVisible(false);
        outside->setFocusPolicy(Qt::NoFocus);
    }
    for (QPushButton* service :
         {ui->Button1, ui->Button2, ui->Button3, ui->Button4, ui->Button5, ui->Button6}) {
        service->setFocusPolicy(Qt::NoFocus);
    }
    // Enter presses the focused button, as Space does.
    for (QPushButton* button : {ui->btnSelect, ui->btnAuto, ui->btnComm19200, ui->btnComm115200}) {
        button->installEventFilter(this);
    }
    // The message bar is a Tab stop: Enter or a click shows its details.
    ui->pnMsg->setFocusPolicy(Qt::StrongFocus);
    ui->pnMsg->setCursor(Qt::PointingHandCursor);
    // A label draws no focus mark of its own; this one leaves the lamp out.
    new FocusMark(*ui->pnMsg, QMargins(0, 0, ui->pnMsg->width() - ui->shComm->x() + 4, 0));
    ui->pnMsg->installEventFilter(this);
    setAcceptDrops(true);
    // A file dropped on a text box is for the window, not the box's text.
    for (QLineEdit* box : findChildren<QLineEdit*>()) {
        box->setAcceptDrops(false);
    }
}

void MainWindow::showAccessibleNames() {
    const auto label = [this](TableRow row) { return textOf(row); };
    ui->pnMsg->setAccessibleName(windowText(WindowText::NameMessage, languageIndex()));
    ui->edIP->setAccessibleName(QStringLiteral("IP"));
    ui->edPort->setAccessibleName(label(CaptionRow::msgLabelPort));
    ui->cmbPort->setAccessibleName(label(CaptionRow::msgLabelPort));
    ui->cmbBaudrate->setAccessibleName(label(CaptionRow::msgLabelSpeed));
    ui->edID->setAccessibleName(QStringLiteral("ID"));
    ui->sbID->setAccessibleName(QStringLiteral("ID"));
    ui->edPIN->setAccessibleName(label(CaptionRow::msgLabelPin));
    ui->pbProgram->setAccessibleName(ui->Panel1->text());
    ui->pbVerify->setAccessibleName(ui->Panel2->text());
    // Each value panel by what it shows, not by its shared hint.
    const std::pair<QWidget*, WindowText> panels[] = {
        {ui->pnFile, WindowText::NameFile},
        {ui->pnFileName, WindowText::NameFileName},
        {ui->pnFileVer, WindowText::NameFileVersion},
        {ui->pnDeviceModel, WindowText::NameDeviceModel},
        {ui->pnDeviceSN, WindowText::NameDeviceSerial},
        {ui->pnDeviceID, WindowText::NameDeviceId},
        {ui->pnDevicelName, WindowText::NameDeviceName},
        {ui->pnDeviceVER, WindowText::NameDeviceVersion},
        {ui->pnDeviceISP, WindowText::NameDeviceBootLoader},
    };
    for (const auto& [panel, name] : panels) {
        panel->setAccessibleName(windowText(name, languageIndex()));
    }
}

void MainWindow::showCaptions() {
    struct Caption {
        QWidget* widget;
        TableRow row;
        bool colon;
    };
    const Caption captions[] = {
        {ui->lblFileDeviceVER, CaptionRow::msgLabelVer, true},
        {ui->lblFileDeviceName, CaptionRow::msgLabelModel, true},
        {ui->lblFile, CaptionRow::msgLabelFile, true},
        {ui->pnMsg, MessageRow::msgSelectFile, false},
        {ui->chkVerify, CaptionRow::msgVerifyOption, false},
        {ui->chkSkip, CaptionRow::msgSkipErrorOption, false},
        {ui->lblPIN, CaptionRow::msgLabelPin, true},
        {ui->lblDeviceSN, CaptionRow::msgLabelSn, true},
        {ui->lblDeviceVER, CaptionRow::msgLabelVer, true},
        {ui->lblPort, CaptionRow::msgLabelPort, true},
        {ui->lblNetPort, CaptionRow::msgLabelPort, true},
        {ui->lblSpeed, CaptionRow::msgLabelSpeed, true},
        {ui->lblDeviceModel, CaptionRow::msgLabelModel, true},
        {ui->lblDeviceName, CaptionRow::msgLabelName, true},
        {ui->btnSelect, CaptionRow::msgSelectButton, false},
        {ui->btnAuto, CaptionRow::msgUpgradeButton, false},
    };
    for (const Caption& c : captions) {
        const QString text = textOf(c.row) + (c.colon ? QStringLiteral(":") : QString());
        if (auto* label = qobject_cast<QLabel*>(c.widget)) {
            label->setText(text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(c.widget)) {
            button->setText(text);
        }
    }
    ui->chkCheckAfter->setText(windowText(WindowText::CheckAfterStartOption, languageIndex()));
    ui->chkCheckAfter->setToolTip(windowText(WindowText::CheckAfterStartTip, languageIndex()));
    ui->pcPort->setTabText(ui->pcPort->indexOf(ui->tsNet), textOf(CaptionRow::msgPageNet));
    ui->pcPort->setTabText(ui->pcPort->indexOf(ui->tsCom), textOf(CaptionRow::msgPageCom));
    // Last: while it waits for the next device, the flow keeps its message.
    nextUnit_->showCaptions(languageIndex());
}

void MainWindow::showMenuTexts() {
    ui->mnuLanguage->setTitle(textOf(CaptionRow::msgMenuLanguage));
    ui->mnuEnglish->setText(
        qs(flashmere::textOf(CaptionRow::msgMenuLanguageNames, kLanguageEnglish)));
    ui->mnuSimplified->setText(
        qs(flashmere::textOf(CaptionRow::msgMenuLanguageNames, kLanguageSimplified)));
    ui->mnuTraditional->setText(
        qs(flashmere::textOf(CaptionRow::msgMenuLanguageNames, kLanguageTraditional)));
    ui->mnuFile->setTitle(textOf(CaptionRow::msgMenuFile));
    ui->mnuExit->setText(textOf(CaptionRow::msgMenuExit));
    ui->mnuAbout->setText(textOf(CaptionRow::msgMenuAbout));
}

void MainWindow::showStartupNote() {
    noteTimer.stop();
    if (hooks_.showMessage) {
        hooks_.showMessage(this, textOf(CaptionRow::msgNoteTitle), textOf(CaptionRow::msgNoteText));
    }
    tellDamagedSettings();
}

void MainWindow::showAbout() {
    if (hooks_.showMessage) {
        hooks_.showMessage(this, textOf(CaptionRow::msgAboutTitle),
                           textOf(CaptionRow::msgAboutText));
    }
}

void MainWindow::exitFromMenu() {
    close();
}

void MainWindow::chooseLanguage(int index) {
    settings_.chooseLanguage(index);
    settings_.storeLanguage();
    showInWindowLanguage();
}

void MainWindow::useEnglish() {
    chooseLanguage(kLanguageEnglish);
}
void MainWindow::useSimplifiedChinese() {
    chooseLanguage(kLanguageSimplified);
}
void MainWindow::useTraditionalChinese() {
    chooseLanguage(kLanguageTraditional);
}

void MainWindow::useLanguage(int languageIndex) {
    settings_.chooseLanguage(languageIndex);
    if (isVisible()) {
        showInWindowLanguage();
    }
}

void MainWindow::useNetLink(const QString& host, const QString& port) {
    ui->edIP->setText(host);
    ui->edPort->setText(port);
    ui->pcPort->setCurrentWidget(ui->tsNet);
    settings_.linkKind = kLinkNet;
}

// The ID box and the scroll bar always show the same value; the box holds
// the canonical decimal form after every change.
void MainWindow::copyIdToTextBox() {
    const QString text = QString::number(ui->sbID->value());
    if (ui->edID->text() != text) {
        ui->edID->setText(text);
    }
}

// Text that is no ID from 0 to 9999 (a typo such as 12a, a sign, nothing)
// never becomes an ID: the scroll bar keeps the last one, the box is marked
// and the device operations refuse to start until it holds a number again.
void MainWindow::takeTypedId() {
    const QString typed = ui->edID->text();
    const std::optional<int> value = parseIntegerText(typed);
    if (!value || *value < 0 || *value > ui->sbID->maximum()) {
        markIdBox(true);
        return;
    }
    markIdBox(false);
    if (ui->sbID->value() != *value) {
        ui->sbID->setValue(*value);
    }
    const QString text = QString::number(ui->sbID->value());
    if (typed != text) {
        ui->edID->setText(text);
    }
}

void MainWindow::markIdBox(bool on) {
    idMarked_ = on;
    const QString note = on ? windowText(WindowText::IdBoxNote, languageIndex())
                                  .arg(ui->edID->text())
                                  .arg(ui->sbID->value())
                            : QString();
    ui->edID->setStyleSheet(on ? QStringLiteral("QLineEdit { background: #ffb0b0; }") : QString());
    ui->edID->setToolTip(note);
    ui->edID->setAccessibleDescription(note);
}

QString MainWindow::inputRefusal(bool withLink) const {
    if (idMarked_) {
        return windowText(WindowText::IdBoxRefusal, languageIndex()).arg(ui->edID->text());
    }
    if (!withLink || ui->pcPort->currentWidget() != ui->tsNet) {
        return {};
    }
    if (ui->edIP->text().trimmed().isEmpty()) {
        return windowText(WindowText::IpBoxEmpty, languageIndex());
    }
    if (!parseTcpPort(ui->edPort->text().toStdString())) {
        return windowText(WindowText::PortBoxRefusal, languageIndex()).arg(ui->edPort->text());
    }
    return {};
}

bool MainWindow::refusedByInputs(bool withLink) {
    const QString refusal = inputRefusal(withLink);
    if (refusal.isEmpty()) {
        return false;
    }
    if (hooks_.showMessage) {
        hooks_.showMessage(this, windowTitle(), refusal);
    }
    return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->pnFileVer && event->type() == QEvent::MouseButtonDblClick) {
        showErrorCounters();
        return true;
    }
    const bool enter = event->type() == QEvent::KeyPress &&
                       (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return ||
                        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Enter);
    if (watched == ui->pnMsg &&
        (enter || (event->type() == QEvent::MouseButtonRelease &&
                   static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton))) {
        showReasonDetails();
        return true;
    }
    if (enter) {
        if (auto* button = qobject_cast<QPushButton*>(watched); button && button->isEnabled()) {
            button->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showReasonDetails() {
    const QString text = reason_.isEmpty() ? ui->pnMsg->text()
                                           : ui->pnMsg->text() + QStringLiteral("\n\n") + reason_;
    if (hooks_.showDetails) {
        hooks_.showDetails(this, windowTitle(), text);
    }
}

void MainWindow::showErrorCounters() {
    ui->edErrrE->setVisible(true);
    ui->edErrrP->setVisible(true);
    ui->edErrrV->setVisible(true);
}

void MainWindow::chooseSpeed19200() {
    ui->cmbBaudrate->setCurrentIndex(kBaudRate19200Even);
}

void MainWindow::chooseSpeed115200() {
    // setCurrentIndex alone keeps typed text when the index does not change.
    ui->cmbBaudrate->setCurrentIndex(kBaudRate115200None);
    ui->cmbBaudrate->setEditText(ui->cmbBaudrate->itemText(kBaudRate115200None));
}

void MainWindow::setLamp(LampColour colour) {
    ui->shComm->setColour(colour == LampColour::Yellow ? kLampYellow : kLampRed);
}

QColor MainWindow::lampColour() const {
    return ui->shComm->colour();
}

void MainWindow::setBusyIndicator(bool on) {
    if (on) {
        busyBlinkTimer.start();
    } else {
        busyBlinkTimer.stop();
    }
}

void MainWindow::blinkBusyLamp() {
    if (busyTag_ == 1) {
        busyTag_ = 0;
        ui->shComm->setColour(kLampYellow);
    } else {
        busyTag_ = 1;
        ui->shComm->setColour(kLampRed);
    }
}

void MainWindow::showMessage(TableRow row) {
    ui->pnMsg->setText(textOf(row));
    showMessageReason({});
}

void MainWindow::showMessageReason(const QString& reason) {
    reason_ = reason;
    ui->pnMsg->setAccessibleDescription(reason);
    // Escaped inside a paragraph, so a reason quoting device text stays
    // plain text and wraps.
    ui->pnMsg->setToolTip(reason.isEmpty() ? QString() : "<p>" + reason.toHtmlEscaped() + "</p>");
}

void MainWindow::captureLinkSettings() {
    if (ui->pcPort->currentWidget() == ui->tsNet) {
        settings_.linkKind = kLinkNet;
        settings_.netIP = ui->edIP->text().toStdString();
        settings_.netPort = ui->edPort->text().toStdString();
    } else {
        settings_.linkKind = kLinkCom;
        settings_.comPortName = ui->cmbPort->currentText().toStdString();
        settings_.comBaudRate = ui->cmbBaudrate->currentText().toStdString();
    }
}

OperatorOptions MainWindow::captureOptions() {
    captureLinkSettings();
    return storedOptions();
}

OperatorOptions MainWindow::storedOptions() const {
    OperatorOptions options;
    options.deviceId = ui->sbID->value();
    options.pinText = ui->edPIN->text().toStdString();
    options.verify = ui->chkVerify->isChecked();
    options.skipError = ui->chkSkip->isChecked();
    options.wakeUpFrames = ui->chkV4->isChecked();
    options.serialNumberWakeUp = ui->chkSN->isChecked();
    options.checkAfterStart = ui->chkCheckAfter->isChecked();
    options.linkKind = settings_.linkKind;
    options.link = settings_.linkSettings();
    return options;
}

void MainWindow::setWindowBusy(bool on, bool busyCursor) {
    if (on == busy_) {
        return;
    }
    busy_ = on;
    setEnabled(!on);
    if (on && busyCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        busyCursor_ = true;
    } else if (!on && busyCursor_) {
        QApplication::restoreOverrideCursor();
        busyCursor_ = false;
    }
}

void MainWindow::showDeviceField(DeviceField panel, const QString& text) {
    QLabel* const panels[] = {ui->pnDeviceModel, ui->pnDevicelName, ui->pnDeviceVER,
                              ui->pnDeviceISP,   ui->pnDeviceID,    ui->pnDeviceSN};
    const auto index = static_cast<std::size_t>(panel);
    if (index < std::size(panels)) {
        // Device text is shown as it came, never read as markup.
        panels[index]->setTextFormat(Qt::PlainText);
        panels[index]->setText(text);
    }
}

void MainWindow::setErrorCounter(ErrorCounter counter, int value) {
    QLineEdit* const boxes[] = {ui->edErrrE, ui->edErrrP, ui->edErrrV};
    const auto index = static_cast<std::size_t>(counter);
    if (index < std::size(boxes)) {
        boxes[index]->setText(QString::number(value));
    }
}

void MainWindow::playTone(int frequencyHz, int durationMs) {
    hooks_.tone->play(frequencyHz, durationMs);
}

void MainWindow::showRebootWait(int seconds) {
    closeRebootWait();
    // Owned by the application, not the main window: the main window is
    // disabled during the run and would disable its children with it.
    auto* wait = new RebootWaitDialog(nullptr);
    wait->setAttribute(Qt::WA_DeleteOnClose);
    wait->setWindowModality(Qt::ApplicationModal);
    wait->prepare(seconds);
    connect(wait, &RebootWaitDialog::closedByOperator, this,
            [this] { panel_->markRebootWaitClosed(); });
    frmProgress_ = wait;
    wait->move(frameGeometry().center() - wait->rect().center());
    wait->show();
}

void MainWindow::updateRebootWait(const QString& caption, int barPosition, int barMaximum) {
    if (frmProgress_) {
        frmProgress_->update(caption, barPosition, barMaximum);
    }
}

void MainWindow::closeRebootWait() {
    if (frmProgress_) {
        RebootWaitDialog* wait = frmProgress_.data();
        frmProgress_ = nullptr;
        wait->finish();
    }
}

// A new choice of file: the ID and link panes show, Upgrade waits for the
// file to be accepted.
void MainWindow::beginFileChoice() {
    ui->pnID->setVisible(true);
    ui->pnSpeed->setVisible(true);
    ui->pnSpeed->setEnabled(true);
    ui->btnAuto->setEnabled(false);
    fileAccepted_ = false;
    beginFirmwareSelection(image_);
}

void MainWindow::askForFirmwareFile() {
    beginFileChoice();
    // The dialog opens in the folder of the last firmware file chosen.
    QString startFolder;
    if (!settings_.recentFirmwareFiles.empty()) {
        const QFileInfo last(qs(settings_.recentFirmwareFiles.front()));
        if (last.dir().exists()) {
            startFolder = last.absolutePath();
        }
    }
    const QString path =
        hooks_.chooseFirmwareFile ? hooks_.chooseFirmwareFile(this, startFolder) : QString();
    if (path.isEmpty()) {
        markFileInUse(false);
        return;
    }
    selectFile(path);
}

void MainWindow::takeFirmwareFile(const QString& path) {
    if (busy_ || deviceOperationRunning()) {
        return;
    }
    beginFileChoice();
    selectFile(path);
}

QString MainWindow::dropRefusal(const QList<QUrl>& urls) {
    if (urls.size() != 1) {
        return windowText(WindowText::DropOneFile, windowLanguage()).arg(urls.size());
    }
    const QUrl& url = urls.front();
    if (!url.isLocalFile()) {
        return windowText(WindowText::DropNotLocal, windowLanguage()).arg(url.toDisplayString());
    }
    const QFileInfo file(url.toLocalFile());
    if (file.suffix().compare(QStringLiteral("TVB"), Qt::CaseInsensitive) != 0) {
        return windowText(WindowText::DropNotFirmware, windowLanguage())
            .arg(QDir::toNativeSeparators(file.filePath()));
    }
    if (!file.isFile()) {
        return windowText(WindowText::DropUnreadable, windowLanguage())
            .arg(QDir::toNativeSeparators(file.filePath()));
    }
    return {};
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    const QString refusal = dropRefusal(urls);
    if (!refusal.isEmpty()) {
        event->ignore();
        if (hooks_.showMessage) {
            hooks_.showMessage(this, windowTitle(), refusal);
        }
        return;
    }
    event->acceptProposedAction();
    takeFirmwareFile(urls.front().toLocalFile());
}

void MainWindow::rebuildRecentFilesMenu() {
    recentMenu_->clear();
    recentMenu_->setTitle(windowText(WindowText::RecentFiles, settings_.languageIndex));
    if (settings_.recentFirmwareFiles.empty()) {
        recentMenu_->addAction(windowText(WindowText::NoRecentFiles, settings_.languageIndex))
            ->setEnabled(false);
        return;
    }
    int number = 1;
    for (const std::string& stored : settings_.recentFirmwareFiles) {
        const QString path = qs(stored);
        // "&1 /folder/FILE.TVB"; an & of the path shows as itself.
        QString caption = QDir::toNativeSeparators(path);
        caption.replace('&', QStringLiteral("&&"));
        QAction* action =
            recentMenu_->addAction(QStringLiteral("&%1 %2").arg(number++).arg(caption));
        // A file gone since stays listed, greyed.
        action->setEnabled(QFileInfo(path).isFile());
        connect(action, &QAction::triggered, this, [this, path] { takeFirmwareFile(path); });
    }
}

void MainWindow::chooseFirmwareFile(const QString& path) {
    ui->btnAuto->setEnabled(false);
    fileAccepted_ = false;
    beginFirmwareSelection(image_);
    if (!path.isEmpty()) {
        selectFile(path);
    }
}

void MainWindow::selectFile(const QString& path) {
    ui->pbProgram->setValue(0);
    ui->pbVerify->setValue(0);
    for (QLineEdit* box : {ui->edErrrE, ui->edErrrP, ui->edErrrV}) {
        box->setText("0");
    }
    for (QLabel* panel :
         {ui->pnFileName, ui->pnFileVer, ui->pnMsg, ui->pnDeviceModel, ui->pnDevicelName,
          ui->pnDeviceVER, ui->pnDeviceISP, ui->pnDeviceID, ui->pnDeviceSN}) {
        panel->clear();
    }
    showFilePath(path);

    const FileSelection selection = selectFirmwareFile(path.toStdString(), image_);
    ui->pnFileName->setText(qs(selection.nameCaption));
    ui->pnFileVer->setText(qs(selection.versionCaption));
    if (selection.opened) {
        showMessage(selection.accepted ? TableRow(CaptionRow::msgRunConnect)
                                       : TableRow(MessageRow::msgFileTypeError));
        showMessageReason(qs(selection.refusal));
    }
    if (selection.accepted) {
        settings_.rememberFirmwareFile(path.toStdString());
        settings_.storeRecentFirmwareFiles();
        rebuildRecentFilesMenu();
    }
    fileAccepted_ = selection.accepted;
    ui->btnAuto->setEnabled(selection.accepted);
    markFileInUse(selection.accepted);
}

void MainWindow::markFileInUse(bool inUse) {
    const QString note = inUse ? QString() : windowText(WindowText::FileNotInUse, languageIndex());
    for (QLabel* panel : {ui->pnFile, ui->pnFileName, ui->pnFileVer}) {
        QPalette palette = panel->palette();
        palette.setColor(QPalette::WindowText, inUse ? kLampYellow : QColor(150, 150, 150));
        panel->setPalette(palette);
        panel->setAccessibleDescription(note);
    }
    ui->pnFile->setToolTip(inUse || filePath_.isEmpty() ? filePath_ : filePath_ + "\n" + note);
    for (QLabel* panel : {ui->pnFileName, ui->pnFileVer}) {
        panel->setToolTip(inUse ? QStringLiteral("Fimeware file version") : note);
    }
}

void MainWindow::showFilePath(const QString& path) {
    filePath_ = path;
    QLabel* panel = ui->pnFile;
    const int room = panel->contentsRect().width() - 2 * panel->margin() - 4;
    panel->setText(elidePathKeepingName(path, panel->fontMetrics(), room));
    panel->setToolTip(path);
}

void MainWindow::startUpgrade() {
    if (busy_ || deviceOperationRunning() || !hooks_.runDevice || refusedByInputs(true)) {
        return;
    }
    panel_->setSnapshot(captureOptions());
    clearBarCaptions(ui->pbProgram, ui->pbVerify);
    setWindowBusy(true);
    runner_->upgrade(hooks_.runDevice, image_, [this](const RunOutcome& result, bool threw) {
        if (threw) {
            setBusyIndicator(false);
            setLamp(LampColour::Red);
        }
        showAfterStartCheck();
        finishRun(result.message);
    });
}

bool MainWindow::afterStartCheckFailed() const {
    const auto& check = runner_->afterStartCheck();
    return check && !check->passed;
}

void MainWindow::showAfterStartCheck() {
    // The message stays the engine's row, as the command line's; the bar
    // says the check failed, and its reason why.
    if (afterStartCheckFailed()) {
        ui->pnMsg->setText(windowText(WindowText::CheckAfterStartFailed, languageIndex()));
    }
}

void MainWindow::finishRun(MessageRow result) {
    settleBarCaptions(ui->pbProgram, ui->pbVerify, languageIndex());
    setWindowBusy(false);
    emit runFinished(result);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // A device operation owns the link until it ends: the window stays,
    // unless the operator stops the operation, and closes once it ended.
    if (busy_ || deviceOperationRunning()) {
        event->ignore();
        askToStopRun();
        return;
    }
    closeRebootWait();
    QMainWindow::closeEvent(event);
}

void MainWindow::askToStopRun() {
    if (stop_->requested() || !hooks_.confirm) {
        return;
    }
    const OperatorOptions options = panel_->captureOptions();
    const QString text = windowText(WindowText::StopQuestion, languageIndex())
                             .arg(options.deviceId)
                             .arg(qs(serviceLinkText(options)));
    // No parent: the window is disabled during the run, and so would be a
    // box it owns.
    if (!hooks_.confirm(nullptr, windowText(WindowText::StopQuestionTitle, languageIndex()),
                        text)) {
        return;
    }
    closeWhenIdle_ = true;
    if (busy_ || deviceOperationRunning()) {
        stop_->request(kStoppedByOperator);
    } else {
        closeIfStopped();  // it ended while the question was open
    }
}

void MainWindow::stopBySignal(const QString& name) {
    // Nobody is there to answer a question: the running operation stops at
    // its next exchange, and the window closes once it has ended.
    stop_->request(stoppedBySignal(name.toStdString()));
    closeWhenIdle_ = true;
    if (!busy_ && !deviceOperationRunning()) {
        closeIfStopped();
    }
}

void MainWindow::closeIfStopped() {
    if (!closeWhenIdle_) {
        return;
    }
    QTimer::singleShot(0, this, [this] {
        // A box or dialog still open would keep the program from ending.
        for (int i = 0; i < 8 && QApplication::activeModalWidget() != nullptr; ++i) {
            QApplication::activeModalWidget()->close();
        }
        close();
    });
}

void MainWindow::setDeviceControlsEnabled(bool on) {
    if (!on) {
        deviceControls_.clear();
        for (QWidget* control :
             std::initializer_list<QWidget*>{ui->btnSelect, ui->btnAuto, ui->Button1, ui->Button2,
                                             ui->Button3, ui->Button4, ui->Button5, ui->Button6}) {
            deviceControls_.emplace_back(control, control->isEnabled());
            control->setEnabled(false);
        }
        return;
    }
    for (const auto& [control, wasEnabled] : deviceControls_) {
        if (control) {
            control->setEnabled(wasEnabled);
        }
    }
    deviceControls_.clear();
}

// The queries do not disable the window, but while their exchange runs no
// other device operation can start: the controls that start one are off.
void MainWindow::runQuery(ServiceFunction function, DeviceQuery query) {
    if (busy_ || deviceOperationRunning() || refusedByInputs(true)) {
        return;
    }
    // captureLinkSettings: the active link page, nothing stored.
    const OperatorOptions options = captureOptions();
    setDeviceControlsEnabled(false);
    runner_->query(options, query, [this, function] {
        setDeviceControlsEnabled(true);
        emit serviceFinished(function);
    });
}

void MainWindow::querySerialNumber() {
    runQuery(ServiceFunction::SerialNumberQuery, DeviceQuery::SerialNumber);
}
void MainWindow::queryId() {
    runQuery(ServiceFunction::IdQuery, DeviceQuery::Id);
}
void MainWindow::queryVersion() {
    runQuery(ServiceFunction::VersionQuery, DeviceQuery::Version);
}

// Erases the blocks of a model 8401 device that the chosen file covers, with
// the link as stored (not taken from the link page), once the operator has
// confirmed what goes where.
void MainWindow::eraseDevice() {
    if (busy_ || deviceOperationRunning() || refusedByInputs(false)) {
        return;
    }
    const OperatorOptions options = storedOptions();
    // edErrrE goes on counting from what the window shows.
    const int eraseErrors = std::max(0, ui->edErrrE->text().toInt());
    setWindowBusy(true, false);
    // The erase covers the chosen file's pages.
    runner_->loadEraseImage(image_, fileAccepted_, [this, options, eraseErrors](bool loaded) {
        // The question needs the window enabled: a disabled window disables
        // the boxes it owns.
        setWindowBusy(false);
        if (!loaded || !eraseConfirmed(options)) {
            emit serviceFinished(ServiceFunction::Erase);
            return;
        }
        runErase(options, eraseErrors);
    });
}

bool MainWindow::eraseConfirmed(const OperatorOptions& options) {
    if (image_.modelCode != kServiceModel || image_.pageCount <= 0) {
        return true;
    }
    const EraseBlocks blocks = eraseBlocksFor(image_.pageCount);
    const auto address = [](std::uint32_t a) {
        return QStringLiteral("0x") + QString::number(a, 16).rightJustified(4, '0').toUpper();
    };
    const QString text = windowText(WindowText::EraseQuestion, languageIndex())
                             .arg(options.deviceId)
                             .arg(qs(serviceLinkText(options)))
                             .arg(blocks.count)
                             .arg(address(blocks.firstAddress), address(blocks.lastAddress));
    return hooks_.confirm &&
           hooks_.confirm(this, windowText(WindowText::EraseQuestionTitle, languageIndex()), text);
}

void MainWindow::runErase(const OperatorOptions& options, int eraseErrors) {
    setWindowBusy(true, false);
    runner_->erase(options, eraseErrors, image_, [this](bool threw) {
        if (threw) {
            setBusyIndicator(false);
            setLamp(LampColour::Red);
        }
        setWindowBusy(false);
        emit serviceFinished(ServiceFunction::Erase);
    });
}

QString MainWindow::readBackFolderProblem(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.exists()) {
        return windowText(WindowText::FolderMissing, windowLanguage());
    }
    if (!info.isDir()) {
        return windowText(WindowText::NotAFolder, windowLanguage());
    }
    if (!info.isWritable()) {
        return windowText(WindowText::FolderNotWritable, windowLanguage());
    }
    return {};
}

void MainWindow::reportReadBackFailure(const QString& folder, const QString& reason) {
    if (hooks_.showMessage) {
        hooks_.showMessage(this, windowTitle(),
                           windowText(WindowText::ReadBackWriteError, languageIndex())
                               .arg(QDir::toNativeSeparators(folder), reason));
    }
}

// Reads the first 90 pages of a model 8401 device into three files in a
// folder the operator chooses, with the link as stored.
void MainWindow::readBackDevice() {
    if (busy_ || deviceOperationRunning() || refusedByInputs(false)) {
        return;
    }
    const QString folder =
        hooks_.chooseReadBackFolder
            ? hooks_.chooseReadBackFolder(this, QString::fromStdString(settings_.readBackFolder))
            : QString();
    if (folder.isEmpty()) {
        return;
    }
    // Refused before the device is touched: nothing is read, nothing written.
    const QString problem = readBackFolderProblem(folder);
    if (!problem.isEmpty()) {
        reportReadBackFailure(folder, problem);
        return;
    }
    settings_.readBackFolder = folder.toStdString();
    settings_.storeReadBackFolder();

    setWindowBusy(true, false);
    // The core takes every path as UTF-8 text (firmware/file_path.h), and
    // its messages quote them so.
    runner_->readBack(storedOptions(), image_.modelCode, folder.toStdString(),
                      [this, folder](const ReadBackResult& result) {
                          setWindowBusy(false);
                          if (result.outcome.ending == RunEnding::FileNotWritten) {
                              reportReadBackFailure(folder, QString::fromStdString(result.error));
                          }
                          emit serviceFinished(ServiceFunction::ReadBack);
                      });
}

}  // namespace flashmere
