// The simulator first: Qt defines emit as a macro.
#include "sim_device.h"
#include "sim_transport.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <map>
#include <memory>

#include "frontend/app_settings.h"
#include "frontend/id_entry.h"
#include "frontend/message_table.h"
#include "frontend/run_history.h"
#include "frontend/stop_request.h"
#include "link/virtual_clock.h"
#include "shell/device_runner.h"
#include "shell/history_dialog.h"
#include "shell/lamp_shape.h"
#include "shell/language_font.h"
#include "shell/main_window.h"
#include "shell/qt_texts.h"
#include "shell/reason_dialog.h"
#include "shell/reboot_wait_dialog.h"
#include "shell/tone.h"
#include "shell/update_coalescer.h"
#include "tests/support/combined_qtest.h"
#include "tests/support/recording_panel.h"
#include "upgrade/upgrade_run.h"

using namespace flashmere;

namespace {

// A firmware file whose header decodes to magic, model code and text.
QByteArray firmwareFile(const QByteArray& magic, quint16 model, const QByteArray& text,
                        int bodySize = 512) {
    QByteArray header(32, '\0');
    for (int i = 0; i < magic.size() && i < 8; ++i) {
        header[i] = magic[i];
    }
    header[8] = static_cast<char>(model >> 8);
    header[9] = static_cast<char>(model & 0xFF);
    for (int i = 0; i < text.size() && i < 16; ++i) {
        header[16 + i] = text[i];
    }
    const unsigned char key[8] = {0x5A, 0xC3, 0x1E, 0x77, 0x09, 0xB4, 0xE2, 0x6D};
    for (int i = 0; i < 32; ++i) {
        header[i] = static_cast<char>(static_cast<unsigned char>(header[i]) ^ key[i % 8]);
    }
    return header + QByteArray(bodySize, '\x11');
}

struct Recorder {
    QStringList messages;      // "title|text"
    QStringList details;       // the message bar's details shown
    QStringList questions;     // "title|text" of each question asked
    bool answer = false;       // to every question
    QStringList startFolders;  // where the open dialog started
    QString nextFile;
    std::vector<std::pair<int, int>> tones;
};

class RecordingTone final : public TonePlayer {
  public:
    explicit RecordingTone(Recorder& r) : r_(r) {}
    void play(int hz, int ms) override { r_.tones.emplace_back(hz, ms); }

  private:
    Recorder& r_;
};

// Counts the paint events each widget gets.
class PaintCounter final : public QObject {
  public:
    std::map<QString, int> paints;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints[watched->objectName()];
        }
        return false;
    }
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir dir;
    Recorder rec;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<MainWindow> window;
    QStringList ports{"ttyS0", "ttyUSB1"};
    DeviceRun run;
    VirtualClock runClock;
    // The device the window's links reach; none: the machine's own ports.
    std::unique_ptr<SimDevice> device;
    int writesBeforeFailure = -1;  // the link's writes fail from this one on

    QString storePath() const { return dir.filePath("settings.json"); }

    void writeStore(const QJsonObject& values) {
        QJsonObject root;
        root.insert(kSettingsKey, values);
        QFile file(storePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(root).toJson());
    }
    QJsonObject readStore() {
        QFile file(storePath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object().value(kSettingsKey).toObject();
    }
    QString writeFile(const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return path;
    }

    MainWindow& open(bool show = true) {
        ShellHooks hooks;
        hooks.chooseFirmwareFile = [this](QWidget*, const QString& startFolder) {
            rec.startFolders << startFolder;
            return rec.nextFile;
        };
        hooks.showDetails = [this](QWidget*, const QString&, const QString& text) {
            rec.details << text;
        };
        hooks.confirm = [this](QWidget*, const QString& title, const QString& text) {
            rec.questions << title + "|" + text;
            return rec.answer;
        };
        hooks.showMessage = [this](QWidget*, const QString& title, const QString& text) {
            rec.messages << title + "|" + text;
        };
        hooks.tone = std::make_shared<RecordingTone>(rec);
        hooks.portList = [this] { return ports; };
        hooks.runDevice = run;
        hooks.transports = [this]() -> std::unique_ptr<TransportFactory> {
            if (!device) {
                return nullptr;
            }
            auto factory = std::make_unique<SimTransportFactory>(*device, runClock);
            factory->writesBeforeFailure = writesBeforeFailure;
            return factory;
        };
        settings = std::make_unique<AppSettings>(storePath());
        window = std::make_unique<MainWindow>(*settings, hooks, runClock);
        if (show) {
            window->show();
            if (!QTest::qWaitForWindowExposed(window.get())) {
                qWarning("window not exposed");
            }
        }
        return *window;
    }
    // A simulated 8401 at ID 3, for openOnSimulator to change as a test needs.
    static SimConfig simulated8401() {
        SimConfig config;
        config.model = 0x8401;
        config.id = 3;
        return config;
    }
    // The window against that device over the NET page, with the usual
    // device run, its ID box at the device's ID.
    void openOnSimulator(const SimConfig& config) {
        device = std::make_unique<SimDevice>(config);
        run = defaultDeviceRun();
        open();
        window->useNetLink("127.0.0.1", "5099");
        w<QScrollBar>("sbID")->setValue(config.id);
    }
    template <typename T>
    T* w(const char* name) {
        T* widget = window->findChild<T*>(name);
        if (widget == nullptr) {
            qWarning("no control %s", name);
        }
        return widget;
    }
    QString text(const char* name) {
        QObject* o = window->findChild<QObject*>(name);
        if (auto* l = qobject_cast<QLabel*>(o)) {
            return l->text();
        }
        if (auto* b = qobject_cast<QAbstractButton*>(o)) {
            return b->text();
        }
        if (auto* e = qobject_cast<QLineEdit*>(o)) {
            return e->text();
        }
        return {};
    }

  private slots:
    void init() {
        QFile::remove(storePath());
        rec = Recorder{};
        run = {};
        writesBeforeFailure = -1;
    }
    void cleanup() {
        window.reset();
        device.reset();
    }

    void controls_data();
    void controls();
    void fixedSizeAndTitle();
    void fontsAndColours();
    void idEntry_data();
    void idEntry();
    void idEntryTyped();
    void lampBlinks();
    void countersRevealed();
    void quickSpeedButtons();
    void fileSelectionStates();
    void languageSwitch();
    void noteAndAboutBoxes();
    void settingsIntoWindow();
    void storedPortNotPresentStaysListed();
    void repaintsCoalesced();
    void runUpdatesPaintOnlyTheirControls();
    void comToNetSwitchStoresAllFour();
    void upgradeRunOnWorker();
    void rebootWaitThroughPanel();
    void rebootCountdownClosesAfterFirstTickPastTheEnd();
    void upgradeAgainstSimulatedDevice();
    void nextDeviceAutomaticallyUntilStopped();
    void checkAfterStartTellsTheVersionAndIsKept();
    void fileCutOrChangedAfterItsChoiceRefused();
    void unwritableHistoryToldOnceBesideTheReason();
    void cjkFontsExist();
    void toneWithoutSoundCard();
    void idTypoRefusesTheRunAndTheIdIsRemembered();
    void damagedSettingsSetAsideAndToldOnce();
    void reasonDetailsSelectableAndCopied();
    void otherProtocolFamilyAnswerNamed();
    void refusedWriteNamedInTheReason();
    void netBoxesRefusedBeforeConnecting();
    void keyboardAndAccessibleNames();
    void closingMidRunAsksAndStops();
    void stopSignalMidRunStopsRecordsAndCloses();
    void firmwareFolderDropAndRecentFiles();
    void windowTextsInChinese();
    void stopQuestionAndNextStepInChinese();

  private:
    void startRunHeldAtPageTwo(std::shared_ptr<QSemaphore> reached,
                               std::shared_ptr<QSemaphore> gate);
};

void WindowTest::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("place");
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("enabled");
    struct Row {
        const char *name, *kind, *parent;
        QRect place;
        const char* content;
        bool shown;
        bool enabled;
    };
    // Design content before the window is shown (captions of the language
    // come with showInWindowLanguage).
    const Row rows[] = {
        {"pnMsg", "QLabel", "clientArea", {8, 4, 681, 40}, "Select firmware file", true, true},
        {"shComm", "flashmere::LampShape", "pnMsg", {646, 8, 23, 20}, "", true, true},
        {"edErrrE", "QLineEdit", "clientArea", {536, 8, 33, 24}, "0", false, true},
        {"edErrrP", "QLineEdit", "clientArea", {576, 8, 33, 24}, "0", false, true},
        {"edErrrV", "QLineEdit", "clientArea", {616, 8, 33, 24}, "0", false, true},
        {"lblFile", "QLabel", "clientArea", {8, 48, 80, 28}, "File:", true, true},
        {"pnFile", "QLabel", "clientArea", {90, 48, 273, 28}, "", true, true},
        {"lblFileDeviceName", "QLabel", "clientArea", {366, 48, 80, 28}, "Name:", true, true},
        {"pnFileName", "QLabel", "clientArea", {450, 48, 136, 28}, "____________", true, true},
        {"lblFileDeviceVER", "QLabel", "clientArea", {588, 48, 50, 28}, "VER:", true, true},
        {"pnFileVer", "QLabel", "clientArea", {640, 48, 49, 28}, "____", true, true},
        {"btnSelect",
         "QPushButton",
         "clientArea",
         {8, 80, 681, 49},
         "1. &Select firmware file",
         true,
         true},
        {"pcPort", "QTabWidget", "clientArea", {8, 136, 265, 153}, "", true, true},
        {"lblPort", "QLabel", "tsCom", {0, 1, 71, 28}, "Port:", true, true},
        {"cmbPort", "QComboBox", "tsCom", {80, 5, 169, 24}, "", true, true},
        {"pnSpeed", "QWidget", "tsCom", {0, 40, 257, 41}, "", true, true},
        {"lblSpeed", "QLabel", "pnSpeed", {0, -3, 71, 28}, "Speed:", true, true},
        {"cmbBaudrate", "QComboBox", "pnSpeed", {80, 3, 169, 24}, "19200,e,8,1", true, true},
        {"btnComm19200", "QPushButton", "tsCom", {3, 75, 119, 41}, "19200,e,8,1", true, true},
        {"btnComm115200", "QPushButton", "tsCom", {128, 75, 129, 41}, "115200,n,8,1", true, true},
        {"lblIP", "QLabel", "tsNet", {0, 1, 73, 28}, "IP:", false, true},
        {"edIP", "QLineEdit", "tsNet", {80, 5, 169, 28}, "192.168.1.101", false, true},
        {"lblNetPort", "QLabel", "tsNet", {0, 37, 73, 28}, "Port:", false, true},
        {"edPort", "QLineEdit", "tsNet", {80, 43, 81, 28}, "5003", false, true},
        {"pnID", "QWidget", "clientArea", {280, 136, 409, 33}, "", true, true},
        {"lblSetID", "QLabel", "pnID", {8, 0, 41, 28}, "ID:", true, true},
        {"edID", "QLineEdit", "pnID", {56, 3, 49, 24}, "0", true, true},
        {"sbID", "QScrollBar", "pnID", {104, 4, 305, 23}, "", true, true},
        {"chkVerify", "QCheckBox", "clientArea", {280, 168, 88, 33}, "Verify", true, true},
        {"chkSkip", "QCheckBox", "clientArea", {368, 168, 113, 33}, "Skip Error", true, true},
        {"chkCheckAfter",
         "QCheckBox",
         "clientArea",
         {488, 168, 201, 33},
         "Check after start",
         true,
         true},
        {"chkV4", "QCheckBox", "clientArea", {368, 200, 106, 33}, "V4/V5/V6", true, true},
        {"chkSN", "QCheckBox", "clientArea", {488, 200, 105, 33}, "S/N", true, true},
        {"lblPIN", "QLabel", "clientArea", {584, 205, 49, 28}, "PIN:", true, true},
        {"edPIN", "QLineEdit", "clientArea", {640, 208, 49, 24}, "9174", true, true},
        {"lblDeviceModel", "QLabel", "clientArea", {280, 240, 81, 25}, "Model:", true, true},
        {"pnDeviceModel", "QLabel", "clientArea", {368, 237, 57, 28}, "____", true, true},
        {"lblDeviceSN", "QLabel", "clientArea", {432, 237, 49, 28}, "S/N:", true, true},
        {"pnDeviceSN", "QLabel", "clientArea", {488, 237, 97, 28}, "________", true, true},
        {"lblDeviceID", "QLabel", "clientArea", {588, 237, 48, 28}, "ID:", true, true},
        {"pnDeviceID", "QLabel", "clientArea", {640, 237, 49, 28}, "____", true, true},
        {"lblDeviceName", "QLabel", "clientArea", {280, 269, 81, 28}, "Name:", true, true},
        {"pnDevicelName", "QLabel", "clientArea", {368, 269, 121, 28}, "____________", true, true},
        {"lblDeviceVER", "QLabel", "clientArea", {492, 269, 42, 28}, "VER:", true, true},
        {"pnDeviceVER", "QLabel", "clientArea", {536, 269, 49, 28}, "____", true, true},
        {"lblDeviceISP", "QLabel", "clientArea", {588, 269, 48, 28}, "ISP:", true, true},
        {"pnDeviceISP", "QLabel", "clientArea", {640, 269, 49, 28}, "____", true, true},
        {"Panel1", "QLabel", "clientArea", {7, 303, 106, 20}, "Program/Download", true, true},
        {"pbProgram",
         "flashmere::FlatProgressBar",
         "clientArea",
         {120, 304, 569, 17},
         "",
         true,
         true},
        {"Panel2", "QLabel", "clientArea", {7, 327, 106, 20}, "Verify check", true, true},
        {"pbVerify",
         "flashmere::FlatProgressBar",
         "clientArea",
         {120, 328, 569, 17},
         "",
         true,
         true},
        {"btnAuto", "QPushButton", "clientArea", {8, 352, 441, 49}, "2. &Upgrade", true, false},
        {"Button1", "QPushButton", "clientArea", {711, 64, 106, 50}, "Get S/N", false, true},
        {"Button2", "QPushButton", "clientArea", {847, 64, 106, 50}, "Get ID", false, true},
        {"Button3", "QPushButton", "clientArea", {975, 64, 106, 50}, "Get VER", false, true},
        {"Button4", "QPushButton", "clientArea", {1103, 64, 106, 50}, "Button4", false, true},
        {"Button5",
         "QPushButton",
         "clientArea",
         {731, 352, 202, 49},
         "ZENTA_FIRMWARE_ERASE",
         false,
         true},
        {"Button6",
         "QPushButton",
         "clientArea",
         {730, 300, 202, 49},
         "ZENTA_FIRMWARE_READ",
         false,
         true},
        {"edtTX", "QLineEdit", "clientArea", {10, 416, 1376, 24}, "", false, true},
        {"edtRX", "QLineEdit", "clientArea", {10, 447, 1376, 24}, "", false, true},
        {"edtPage1", "QLineEdit", "clientArea", {10, 479, 1376, 24}, "", false, true},
        {"edtPage", "QLineEdit", "clientArea", {10, 511, 1376, 24}, "", false, true},
    };
    for (const Row& r : rows) {
        QTest::newRow(r.name) << r.name << r.kind << r.parent << r.place << r.content << r.shown
                              << r.enabled;
    }
}

void WindowTest::controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, parent);
    QFETCH(QRect, place);
    QFETCH(QString, content);
    QFETCH(bool, shown);
    QFETCH(bool, enabled);
    open(false);
    auto* widget = window->findChild<QWidget*>(name);
    QVERIFY2(widget != nullptr, qPrintable(name));
    QCOMPARE(QString(widget->metaObject()->className()), kind);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), place);
    QCOMPARE(!widget->isHidden(), shown || parent == "tsNet");
    QCOMPARE(widget->isEnabled(), enabled);
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        QVERIFY(combo->isEditable());
        if (!content.isEmpty()) {
            QCOMPARE(combo->currentText(), content);
        }
    } else if (!content.isEmpty() || qobject_cast<QLabel*>(widget) ||
               qobject_cast<QLineEdit*>(widget)) {
        QCOMPARE(text(qPrintable(name)), content);
    }
}

void WindowTest::fixedSizeAndTitle() {
    open();
    QCOMPARE(w<QWidget>("clientArea")->size(), QSize(697, 408));
    QCOMPARE(window->minimumSize(), window->maximumSize());
    QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window->windowTitle(), QString::fromUtf8("Flashmere V0813\u3000[2017-07-20]"));
    // Host names (up to 253 characters) and IPv6 literals fit in.
    QCOMPARE(w<QLineEdit>("edIP")->maxLength(), 253);
    // The ID box cuts nothing: "99999" stays as typed and is refused.
    QCOMPARE(w<QLineEdit>("edID")->maxLength(), 32767);
    QCOMPARE(w<QLineEdit>("edPIN")->maxLength(), 4);
    QCOMPARE(w<QComboBox>("cmbBaudrate")->count(), 18);
    auto* sb = w<QScrollBar>("sbID");
    QCOMPARE(sb->minimum(), 0);
    QCOMPARE(sb->maximum(), 9999);
    QCOMPARE(sb->pageStep(), 10);
    QVERIFY(w<QCheckBox>("chkVerify")->isChecked());
    QVERIFY(!w<QCheckBox>("chkSkip")->isChecked());
    QVERIFY(w<QCheckBox>("chkV4")->isChecked());
    QVERIFY(!w<QCheckBox>("chkSN")->isChecked());
    QCOMPARE(window->busyBlinkTimer.interval(), 200);
    QVERIFY(!window->busyBlinkTimer.isActive());
    QCOMPARE(w<QLabel>("pnFile")->toolTip(), QString("Fimeware filename"));
    QCOMPARE(w<QLabel>("pnDeviceSN")->toolTip(), QString("Device type"));
}

void WindowTest::fontsAndColours() {
    open();
    const QColor yellow(255, 255, 0);
    for (const char* name : {"pnMsg", "pnFile", "pnFileVer", "pnDeviceID", "Panel1"}) {
        QCOMPARE(w<QLabel>(name)->palette().color(QPalette::WindowText), yellow);
        // Readable while the window is disabled for a run.
        QCOMPARE(w<QLabel>(name)->palette().color(QPalette::Disabled, QPalette::WindowText),
                 yellow);
    }
    QVERIFY(w<QLabel>("pnMsg")->font().bold());
    QVERIFY(w<QPushButton>("btnAuto")->font().bold());
    QCOMPARE(w<QPushButton>("btnSelect")->font().family(), QString("Microsoft Sans Serif"));
    // The fixed faces keep their size in every language.
    const int before = w<QPushButton>("btnComm19200")->font().pointSize();
    window->useTraditionalChinese();
    QCOMPARE(w<QPushButton>("btnComm19200")->font().pointSize(), before);
    QCOMPARE(window->font().pointSize(), 12);
    QCOMPARE(w<QLabel>("lblPort")->font().pointSize(), 12);
    QCOMPARE(window->lampColour(), QColor(255, 0, 0));
}

void WindowTest::idEntry_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("position");
    // Text that is no ID stays as typed, marked, and the ID stays 5.
    QTest::newRow("leading zeros") << "0042"
                                   << "42" << 42;
    QTest::newRow("negative") << "-5"
                              << "-5" << 5;
    QTest::newRow("trailing letter") << "7x"
                                     << "7x" << 5;
    QTest::newRow("mixed") << "12a"
                           << "12a" << 5;
    QTest::newRow("dollar hex pasted") << "$1F"
                                       << "31" << 31;
    QTest::newRow("0x hex pasted") << "0x1F"
                                   << "31" << 31;
    QTest::newRow("largest") << "9999"
                             << "9999" << 9999;
    QTest::newRow("five digits") << "12345"
                                 << "12345" << 5;
    QTest::newRow("zeros before an ID") << "000000042"
                                        << "42" << 42;
    QTest::newRow("empty") << ""
                           << "" << 5;
    QTest::newRow("blank first") << " 8"
                                 << "8" << 8;
    QTest::newRow("hex past the end") << "$FFF"
                                      << "4095" << 4095;
}

void WindowTest::idEntry() {
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, position);
    open(false);
    w<QScrollBar>("sbID")->setValue(5);
    w<QLineEdit>("edID")->setText(typed);
    QCOMPARE(w<QLineEdit>("edID")->text(), shown);
    QCOMPARE(w<QScrollBar>("sbID")->value(), position);
    QCOMPARE(window->idBoxMarked(), position == 5);
    QCOMPARE(w<QLineEdit>("edID")->toolTip().isEmpty(), position != 5);
}

void WindowTest::idEntryTyped() {
    open();
    auto* ed = w<QLineEdit>("edID");
    auto* sb = w<QScrollBar>("sbID");
    ed->clear();
    QTest::keyClicks(ed, "12a");
    QCOMPARE(ed->text(), QString("12a"));
    QCOMPARE(sb->value(), 12);
    QVERIFY(window->idBoxMarked());
    ed->clear();
    QTest::keyClicks(ed, "99999");
    QCOMPARE(ed->text(), QString("99999"));
    QCOMPARE(sb->value(), 9999);
    QVERIFY(window->idBoxMarked());
    sb->setValue(0);
    sb->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QCOMPARE(sb->value(), 10);
    QCOMPARE(ed->text(), QString("10"));
    QVERIFY(!window->idBoxMarked());
    // Typed key by key, "$1" is already the number 1 and "1F" none.
    ed->clear();
    QTest::keyClicks(ed, "$1F");
    QCOMPARE(ed->text(), QString("1F"));
    QCOMPARE(sb->value(), 1);
    QCOMPARE(parseIntegerText(u"+12"), 12);
    QCOMPARE(parseIntegerText(u"-$10"), -16);
    QVERIFY(!parseIntegerText(u"42 ").has_value());
    QVERIFY(!parseIntegerText(u"99999999999").has_value());
}

void WindowTest::lampBlinks() {
    open(false);
    window->setBusyIndicator(true);
    QVERIFY(window->busyIndicatorRunning());
    window->blinkBusyLamp();
    const QColor first = window->lampColour();
    window->blinkBusyLamp();
    QVERIFY(window->lampColour() != first);
    window->setBusyIndicator(false);
    QVERIFY(!window->busyIndicatorRunning());
    const QColor kept = window->lampColour();
    QCoreApplication::processEvents();  // a stopped timer has no tick waiting
    QCOMPARE(window->lampColour(), kept);
    window->setLamp(LampColour::Yellow);
    QCOMPARE(window->lampColour(), QColor(255, 255, 0));
}

void WindowTest::countersRevealed() {
    open();
    auto* pnFileVer = w<QLabel>("pnFileVer");
    QTest::mouseDClick(pnFileVer, Qt::LeftButton);
    for (const char* name : {"edErrrE", "edErrrP", "edErrrV"}) {
        QVERIFY(w<QLineEdit>(name)->isVisible());
        QVERIFY(w<QLineEdit>(name)->isReadOnly());
    }
}

void WindowTest::quickSpeedButtons() {
    open();
    auto* speed = w<QComboBox>("cmbBaudrate");
    speed->setCurrentIndex(kBaudRate115200None);
    speed->setEditText("300,n,7,2");
    QTest::mouseClick(w<QPushButton>("btnComm115200"), Qt::LeftButton);
    QCOMPARE(speed->currentText(), QString("115200,n,8,1"));
    QTest::mouseClick(w<QPushButton>("btnComm19200"), Qt::LeftButton);
    QCOMPARE(speed->currentText(), QString("19200,e,8,1"));
}

void WindowTest::fileSelectionStates() {
    open();
    auto* btnAuto = w<QPushButton>("btnAuto");
    QVERIFY(!btnAuto->isEnabled());
    const QString good = writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2"));
    rec.nextFile = good;
    QTest::mouseClick(w<QPushButton>("btnSelect"), Qt::LeftButton);
    QVERIFY(btnAuto->isEnabled());
    QCOMPARE(text("pnMsg"), QString("Run connect device"));
    QCOMPARE(w<QLabel>("pnFile")->toolTip(), good);
    QVERIFY(text("pnFile").endsWith("/FW.TVB"));
    QCOMPARE(text("pnFileName"), QString("FW1"));
    QCOMPARE(text("pnFileVer"), QString("V1.2"));
    QCOMPARE(text("pnDeviceModel"), QString());
    QCOMPARE(window->image().modelCode, 0x8401);

    // Cancelling afterwards: disabled, panels keep the first file, greyed
    // and saying that Upgrade has none.
    const QColor yellow(255, 255, 0);
    rec.nextFile.clear();
    QTest::mouseClick(w<QPushButton>("btnSelect"), Qt::LeftButton);
    QVERIFY(!btnAuto->isEnabled());
    QCOMPARE(text("pnFileName"), QString("FW1"));
    QCOMPARE(window->image().modelCode, 0);
    for (const char* panel : {"pnFile", "pnFileName", "pnFileVer"}) {
        QVERIFY2(w<QLabel>(panel)->palette().color(QPalette::WindowText) != yellow, panel);
        QVERIFY2(w<QLabel>(panel)->toolTip().contains("Not in use"), panel);
    }
    window->useSimplifiedChinese();
    QVERIFY(w<QLabel>("pnFileVer")->toolTip().startsWith(QString::fromUtf8("未使用")));
    window->useEnglish();
    rec.nextFile = good;
    window->askForFirmwareFile();
    QCOMPARE(w<QLabel>("pnFileName")->palette().color(QPalette::WindowText), yellow);
    QCOMPARE(w<QLabel>("pnFile")->toolTip(), good);

    // A wrong magic: type error, nothing enabled.
    rec.nextFile = writeFile("BAD.TVB", firmwareFile("TOLVA-V6", 0x8401, "FW2         V2.0"));
    QTest::mouseClick(w<QPushButton>("btnSelect"), Qt::LeftButton);
    QVERIFY(!btnAuto->isEnabled());
    QCOMPARE(text("pnMsg"), QString("Firmware file type error!"));
    QCOMPARE(text("pnFileName"), QString());

    // A missing file: reset window, path shown, no message.
    rec.nextFile = dir.filePath("missing.TVB");
    QTest::mouseClick(w<QPushButton>("btnSelect"), Qt::LeftButton);
    QVERIFY(!btnAuto->isEnabled());
    QCOMPARE(text("pnMsg"), QString());
    QVERIFY(w<QLabel>("pnFile")->toolTip().startsWith(rec.nextFile + "\n"));

    // A long path: the folder part gives way, the file name shows whole.
    const QString deep = dir.filePath(QString(60, 'd') + "/" + QString(60, 'e'));
    QVERIFY(QDir().mkpath(deep));
    rec.nextFile = deep + "/FIRMWARE_8401_V2.TVB";
    QTest::mouseClick(w<QPushButton>("btnSelect"), Qt::LeftButton);
    auto* pnFile = w<QLabel>("pnFile");
    QVERIFY2(text("pnFile").endsWith("/FIRMWARE_8401_V2.TVB"), qPrintable(text("pnFile")));
    QVERIFY(text("pnFile").contains(QChar(0x2026)));
    QVERIFY(pnFile->fontMetrics().horizontalAdvance(text("pnFile")) <=
            pnFile->contentsRect().width());
    QVERIFY(pnFile->toolTip().startsWith(rec.nextFile));
}

void WindowTest::languageSwitch() {
    open();
    rec.nextFile = writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2"));
    window->askForFirmwareFile();
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    auto* menuBar = window->findChild<QMenuBar*>("mnuMain");
    QVERIFY(menuBar != nullptr);
    const auto action = [&](const char* name) { return window->findChild<QAction*>(name); };
    QVERIFY(action("mnuEnglish")->isChecked());
    QCOMPARE(text("lblFileDeviceName"), QString("Model:"));
    window->showMessage(MessageRow::msgLoadFileError);
    window->showMessageReason("the firmware file cannot be read");

    window->useTraditionalChinese();
    // The select-file text has no reason; the submenu's title follows at once.
    QCOMPARE(window->pnMsgReason(), QString());
    QCOMPARE(w<QLabel>("pnMsg")->toolTip(), QString());
    QCOMPARE(window->recentFilesMenu()->title(), QString::fromUtf8("最近的韌體檔案(&R)"));
    QCOMPARE(text("btnAuto"), QString::fromUtf8("2. 更新(&U)"));
    QCOMPARE(w<QTabWidget>("pcPort")->tabText(0), QString::fromUtf8("串列"));
    QCOMPARE(text("lblPort"), QString::fromUtf8("連接阜:"));
    QCOMPARE(text("lblNetPort"), QString::fromUtf8("連接阜:"));
    QCOMPARE(text("pnMsg"), QString::fromUtf8("選擇韌體檔案"));
    QCOMPARE(text("chkSkip"), QString::fromUtf8("忽略錯誤"));
    QCOMPARE(text("lblIP"), QString("IP:"));
    QCOMPARE(text("Panel1"), QString("Program/Download"));
    QCOMPARE(window->windowTitle(), QString::fromUtf8("Flashmere V0813\u3000[2017-07-20]"));
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    QCOMPARE(text("pnFileName"), QString("FW1"));
    QVERIFY(!action("mnuEnglish")->isChecked());
    QVERIFY(!action("mnuSimplified")->isChecked());
    QVERIFY(action("mnuTraditional")->isChecked());
    QCOMPARE(action("mnuEnglish")->text(), QString("&English"));
    QCOMPARE(action("mnuSimplified")->text(), QString::fromUtf8("&Simplified Chinese(简体)"));
    QCOMPARE(action("mnuTraditional")->text(), QString::fromUtf8("&Traditional Chinese(繁體)"));
    QCOMPARE(window->findChild<QMenu*>("mnuFile")->title(), QString::fromUtf8("檔案(&F)"));
    QCOMPARE(action("mnuExit")->text(), QString::fromUtf8("離開(&x)"));
    QCOMPARE(action("mnuAbout")->text(), QString::fromUtf8("關於(&A)"));
    QCOMPARE(readStore().value(kValueLanguageFlag).toString(), QString("ChineseBIG5"));

    window->useSimplifiedChinese();
    QCOMPARE(text("lblFile"), QString::fromUtf8("档名:"));
    QVERIFY(action("mnuSimplified")->isChecked());
    QCOMPARE(readStore().value(kValueLanguageFlag).toString(), QString("ChineseGB"));

    window->showMessage(MessageRow::msgUpgradeOk);
    window->useEnglish();
    QCOMPARE(text("pnMsg"), QString("Select firmware file"));
    QCOMPARE(text("lblSpeed"), QString("Speed:"));
    QCOMPARE(readStore().value(kValueLanguageFlag).toString(), QString("English"));

    // No label's text runs into a value panel, in any language.
    auto* area = w<QWidget>("clientArea");
    for (const int language : {kLanguageEnglish, kLanguageSimplified, kLanguageTraditional}) {
        window->useLanguage(language);
        for (QLabel* label : area->findChildren<QLabel*>(QRegularExpression("^lbl"))) {
            const QSize textSize(label->fontMetrics().horizontalAdvance(label->text()),
                                 label->fontMetrics().height());
            const QRect drawn = QStyle::alignedRect(label->layoutDirection(), label->alignment(),
                                                    textSize, label->contentsRect());
            const QRect placed(label->mapTo(area, drawn.topLeft()), drawn.size());
            for (QLabel* panel :
                 area->findChildren<QLabel*>(QRegularExpression("^pnDevice|^pnFile"))) {
                const QRect box(panel->mapTo(area, QPoint(0, 0)), panel->size());
                QVERIFY2(!placed.intersects(box),
                         qPrintable(QString("%1 over %2 in language %3")
                                        .arg(label->objectName(), panel->objectName())
                                        .arg(language)));
            }
        }
    }
}

void WindowTest::noteAndAboutBoxes() {
    writeStore({{kValueLanguageFlag, "ChineseBIG5"}});
    open();
    QTRY_COMPARE(rec.messages.size(), 1);
    QCOMPARE(rec.messages[0], QString::fromUtf8("注意!|") +
                                  QString::fromStdString(textOf(CaptionRow::msgNoteText, 2)));
    QCOMPARE(window->font().families().value(0), QString::fromUtf8("細明體"));
    window->showAbout();
    QCOMPARE(rec.messages.size(), 2);
    QVERIFY(rec.messages[1].startsWith(QString::fromUtf8("關於|本更新軟體支援: \n")));
    QVERIFY(rec.messages[1].contains("8401") || rec.messages[1].contains("8400-840F"));
    // A language choice shows the note again.
    window->useEnglish();
    QTRY_COMPARE(rec.messages.size(), 3);
    QVERIFY(rec.messages[2].startsWith("Note !|Upgrading the firmware"));
}

void WindowTest::settingsIntoWindow() {
    writeStore({{kValueType, 7},
                {kValueComPortName, "ttyusb1"},
                {kValueComBaudRate, "1200,n,8,1"},
                {kValueNetIP, "flashdev-01.plant.example"},
                {kValueNetPort, "6000"}});
    open(false);
    QCOMPARE(w<QTabWidget>("pcPort")->currentWidget()->objectName(), QString("tsNet"));
    QCOMPARE(w<QComboBox>("cmbPort")->currentText(), QString("ttyUSB1"));
    QCOMPARE(w<QComboBox>("cmbBaudrate")->currentText(), QString("19200,e,8,1"));
    QCOMPARE(text("edIP"), QString("flashdev-01.plant.example"));
    QCOMPARE(text("edPort"), QString("6000"));
    QCOMPARE(w<QComboBox>("cmbPort")->count(), 2);
    // Capture on the COM page takes the list's spelling.
    w<QTabWidget>("pcPort")->setCurrentIndex(0);
    window->captureLinkSettings();
    QCOMPARE(settings->comPortName, std::string("ttyUSB1"));
    QCOMPARE(settings->comBaudRate, std::string("19200,e,8,1"));
    QCOMPARE(settings->linkKind, kLinkCom);
    // Nothing stored by any of this.
    QCOMPARE(readStore().value(kValueComPortName).toString(), QString("ttyusb1"));

    // A port typed by hand (a pty is never listed) is taken as typed.
    w<QComboBox>("cmbPort")->setEditText("/dev/pts/7");
    QCOMPARE(window->captureOptions().link.comPortName, std::string("/dev/pts/7"));
}

void WindowTest::storedPortNotPresentStaysListed() {
    // A device answered on a pty once; the next start does not list it.
    writeStore({{kValueType, 0}, {kValueComPortName, "/dev/pts/7"}});
    open(false);
    auto* cmbPort = w<QComboBox>("cmbPort");
    QCOMPARE(cmbPort->count(), 3);
    QCOMPARE(cmbPort->currentText(), QString("/dev/pts/7"));
    QVERIFY(cmbPort->itemData(2, Qt::ToolTipRole).toString().contains("not present"));
    QCOMPARE(window->captureOptions().link.comPortName, std::string("/dev/pts/7"));

    // Nothing stored: the list as the system gives it.
    QFile::remove(storePath());
    open(false);
    QCOMPARE(w<QComboBox>("cmbPort")->count(), 2);
}

void WindowTest::comToNetSwitchStoresAllFour() {
    writeStore({{kValueType, 0}, {kValueComPortName, "ttyS0"}, {kValueComBaudRate, "9600,e,8,1"}});
    open(false);
    w<QTabWidget>("pcPort")->setCurrentIndex(1);
    w<QLineEdit>("edIP")->setText("127.0.0.1");
    w<QLineEdit>("edPort")->setText("5099");
    const OperatorOptions options = window->captureOptions();
    QCOMPARE(options.linkKind, kLinkNet);
    QVERIFY(settings->storeLinkSettings());
    const QJsonObject key = readStore();
    QCOMPARE(key.value(kValueType).toInt(-1), 1);
    QCOMPARE(key.value(kValueNetIP).toString(), QString("127.0.0.1"));
    QCOMPARE(key.value(kValueNetPort).toString(), QString("5099"));
    QCOMPARE(key.value(kValueComPortName).toString(), QString("ttyS0"));
    QCOMPARE(key.value(kValueComBaudRate).toString(), QString("9600,e,8,1"));
}

void WindowTest::upgradeRunOnWorker() {
    auto gate = std::make_shared<QSemaphore>(0);
    auto seen = std::make_shared<OperatorOptions>();
    auto onWorker = std::make_shared<std::atomic<bool>>(false);
    auto linkStored = std::make_shared<QSemaphore>(0);
    auto storedBeforeWindowRan = std::make_shared<std::atomic<bool>>(false);
    QThread* guiThread = QThread::currentThread();
    run = [=, this](DeviceRunContext& context) {
        OperatorPanel& panel = context.panel;
        *onWorker = QThread::currentThread() != guiThread;
        *seen = panel.captureOptions();
        panel.setBusyIndicator(true);
        panel.showMessage(MessageRow::msgConnecting);
        gate->acquire();
        panel.showDeviceField(DeviceField::Model, "8401");
        panel.setErrorCounter(ErrorCounter::Program, 3);
        panel.setProgramRange(5);
        panel.setProgramPosition(9);
        panel.setSentTrace("05 00 ");
        panel.storeLinkSettings(kLinkNet, panel.captureOptions().link);
        // The window's thread is held until now: the file was written here
        // (its sync to disk would stop the window mid-run).
        *storedBeforeWindowRan = readStore().value(kValueType).toInt(-1) == 1;
        linkStored->release();
        panel.showMessage(MessageRow::msgUpgradeOk);
        panel.setBusyIndicator(false);
        panel.setLamp(LampColour::Yellow);
        panel.tone(1000, 300);
        return RunOutcome{RunEnding::Done, MessageRow::msgUpgradeOk, {}, false};
    };
    open();
    rec.nextFile = writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2"));
    window->askForFirmwareFile();
    w<QScrollBar>("sbID")->setValue(7);
    w<QTabWidget>("pcPort")->setCurrentIndex(1);
    w<QLineEdit>("edIP")->setText("127.0.0.1");
    QSignalSpy finished(window.get(), &MainWindow::runFinished);

    QTest::mouseClick(w<QPushButton>("btnAuto"), Qt::LeftButton);
    QTRY_COMPARE(text("pnMsg"), QString("Connecting device ..."));
    QVERIFY(window->busy());
    QVERIFY(!window->isEnabled());
    QVERIFY(!window->findChild<QMenuBar*>("mnuMain")->isEnabled());
    QVERIFY(QApplication::overrideCursor() != nullptr);
    QVERIFY(window->busyIndicatorRunning());
    // The close box asks first; answered no, the run goes on.
    window->close();
    QVERIFY(window->isVisible());
    QCOMPARE(rec.questions.size(), 1);
    // A second click cannot start a second run.
    window->startUpgrade();

    gate->release();
    QVERIFY(linkStored->tryAcquire(1, 5000));
    QVERIFY(finished.wait(5000));
    QVERIFY(*onWorker);
    QVERIFY(*storedBeforeWindowRan);
    QCOMPARE(seen->deviceId, 7);
    QCOMPARE(seen->linkKind, kLinkNet);
    QCOMPARE(seen->link.netIP, std::string("127.0.0.1"));
    QCOMPARE(seen->pinText, std::string("9174"));
    QCOMPARE(text("pnMsg"), QString("Upgrade ok."));
    QCOMPARE(text("pnDeviceModel"), QString("8401"));
    QCOMPARE(text("edErrrP"), QString("3"));
    QCOMPARE(w<QProgressBar>("pbProgram")->value(), 5);
    QCOMPARE(text("edtTX"), QString("05 00 "));
    QCOMPARE(window->lampColour(), QColor(255, 255, 0));
    QVERIFY(!window->busyIndicatorRunning());
    QVERIFY(window->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    QCOMPARE(rec.tones.size(), std::size_t{1});
    QCOMPARE(readStore().value(kValueType).toInt(-1), 1);
    QCOMPARE(readStore().value(kValueNetIP).toString(), QString("127.0.0.1"));
    QCOMPARE(finished.size(), 1);
}

void WindowTest::rebootWaitThroughPanel() {
    auto closedSeen = std::make_shared<std::atomic<bool>>(false);
    auto shown = std::make_shared<QSemaphore>(0);
    auto closed = std::make_shared<QSemaphore>(0);
    run = [closedSeen, shown, closed](DeviceRunContext& context) {
        OperatorPanel& panel = context.panel;
        panel.showRebootWait(10);
        panel.updateRebootWait(rebootWaitCaption(7, 10).toStdString(), 8, 11);
        shown->release();
        // The engine polls the close box between its ticks; this one polls
        // once the operator has closed it.
        closed->tryAcquire(1, 10000);
        *closedSeen = panel.rebootWaitClosedByOperator();
        panel.closeRebootWait();
        return RunOutcome{RunEnding::Done, MessageRow::msgUpgradeOk, {}, false};
    };
    open();
    rec.nextFile = writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8400, "FW1         V1.2"));
    window->askForFirmwareFile();
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(shown->tryAcquire(1, 5000));
    QTRY_VERIFY(window->rebootWaitWindow() != nullptr &&
                window->rebootWaitWindow()->captionLabel->text().endsWith("007/010 Seconds"));
    RebootWaitDialog* wait = window->rebootWaitWindow();
    QCOMPARE(wait->windowTitle(), QString("Progress"));
    QCOMPARE(wait->size(), QSize(404, 90));
    QCOMPARE(wait->progressBar->geometry(), QRect(8, 20, 385, 20));
    QCOMPARE(wait->captionLabel->geometry(), QRect(8, 45, 385, 23));
    QCOMPARE(wait->progressBar->maximum(), 11);
    QCOMPARE(wait->progressBar->value(), 8);
    QVERIFY(wait->isEnabled());
    QVERIFY(wait->isModal());
    wait->close();  // the close box
    closed->release();
    QVERIFY(finished.wait(5000));
    QVERIFY(*closedSeen);
    QVERIFY(window->rebootWaitWindow() == nullptr);
}

void WindowTest::rebootCountdownClosesAfterFirstTickPastTheEnd() {
    RebootWaitDialog wait;
    std::int64_t now = 1'000'000;
    QSignalSpy byOperator(&wait, &RebootWaitDialog::closedByOperator);
    wait.show();
    wait.startCountdown(10, [&now] { return now; });
    // Its text shows before the first tick.
    QCOMPARE(wait.captionLabel->text(),
             QString("device is rebooting,please wait ..... 000/010 Seconds"));
    QCOMPARE(wait.progressBar->minimum(), 1);
    QCOMPARE(wait.progressBar->maximum(), 11);
    QCOMPARE(wait.countdownTimer.interval(), 500);
    QVERIFY(wait.countdownTimer.isActive());
    wait.countdownTimer.stop();  // ticks come from the test, on a virtual clock
    for (int tick = 1; tick <= 21; ++tick) {
        now += 500;
        wait.countOneTick();
        QVERIFY2(wait.isVisible(), qPrintable(QString("closed early at tick %1").arg(tick)));
    }
    QCOMPARE(wait.captionLabel->text(),
             QString("device is rebooting,please wait ..... 010/010 Seconds"));
    now += 500;  // 11 s
    wait.countOneTick();
    QVERIFY(!wait.isVisible());
    QCOMPARE(wait.captionLabel->text(),
             QString("device is rebooting,please wait ..... 011/010 Seconds"));
    QCOMPARE(wait.progressBar->value(), 11);  // 12 clamps to the maximum
    now += 5000;
    wait.countOneTick();  // no tick after the end
    QVERIFY(wait.captionLabel->text().endsWith("011/010 Seconds"));
    QCOMPARE(byOperator.size(), 0);
    QCOMPARE(rebootWaitCaption(7, 60),
             QString("device is rebooting,please wait ..... 007/060 Seconds"));
    QCOMPARE(rebootWaitCaption(1234, 60).mid(38), QString("1234/060 Seconds"));
}

// The upgrade engine against the simulated device, on the virtual clock.
// Device after device: the second unit (another serial number after the
// reboot) is upgraded without a click, and the stop button ends the wait.
void WindowTest::nextDeviceAutomaticallyUntilStopped() {
    SimConfig config;
    config.model = 0x8401;
    config.id = 3;
    config.rebootMs = 50;
    config.swapUnits = true;
    device = std::make_unique<SimDevice>(config);
    // After the second unit no third one comes: the link's writes fail.
    run = [this](DeviceRunContext& context) {
        RunOutcome result = upgradeDevice(context);
        if (device->runCount() == 2) {
            writesBeforeFailure = 0;
        }
        return result;
    };
    open();
    window->useNetLink("127.0.0.1", "5099");
    w<QScrollBar>("sbID")->setValue(3);
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FWSIM       0102")));
    w<QCheckBox>("chkNextUnit")->setChecked(true);
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
    QCOMPARE(text("pnDeviceSN"), QString("12345679"));
    QTRY_COMPARE_WITH_TIMEOUT(text("pnMsg"), QString("Waiting for the next device ..."), 5000);
    QCOMPARE(text("lblUnits"), QString("Units: 2 ok, 0 not ok"));
    auto* stop = w<QPushButton>("btnStopWaiting");
    QTRY_VERIFY_WITH_TIMEOUT(stop->isVisible(), 5000);
    stop->click();
    QTRY_VERIFY_WITH_TIMEOUT(!window->deviceOperationRunning(), 5000);
    QCOMPARE(finished.size(), 2);
    QCOMPARE(device->runCount(), 2);
    QVERIFY(!stop->isVisible());

    // No unit answers now: Upgrade fails and the wait begins again. Esc ends
    // it, and Upgrade is there to press.
    auto* upgrade = w<QPushButton>("btnAuto");
    window->startUpgrade();
    QTRY_VERIFY_WITH_TIMEOUT(stop->isVisible(), 10000);
    // Another language while it waits: the bar still says it waits.
    window->useSimplifiedChinese();
    QCOMPARE(text("pnMsg"), QString::fromUtf8("等待下一台装置 ..."));
    window->useEnglish();
    QCOMPARE(text("pnMsg"), QString("Waiting for the next device ..."));
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!window->deviceOperationRunning(), 5000);
    QCOMPARE(text("pnMsg"), QString("Run connect device"));
    QCOMPARE(text("lblUnits"), QString("Units: 2 ok, 1 not ok"));
    QVERIFY(!stop->isVisible());
    QVERIFY(upgrade->isEnabled() && window->isEnabled());
    // Closing the window while it waits ends the wait and then the window,
    // with no operation left running.
    window->startUpgrade();
    QTRY_VERIFY_WITH_TIMEOUT(stop->isVisible(), 10000);
    QVERIFY(window->deviceOperationRunning());
    window->close();
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 5000);
    QVERIFY(!window->deviceOperationRunning());
    QCOMPARE(finished.size(), 4);
    QCOMPARE(device->runCount(), 2);
}

// "Check after start" ticked: after the reboot wait the device is asked
// again; the version it reports now is in the reason, the VER panel and the
// record. A device still on its old version while the file carries another
// is said plainly and recorded with exit 19. The box is kept for the next
// start of the window.
void WindowTest::checkAfterStartTellsTheVersionAndIsKept() {
    QFile::remove(dir.filePath("history.jsonl"));
    SimConfig config = simulated8401();
    config.rebootMs = 50;
    config.versionAfterRun = 0x0102;
    openOnSimulator(config);
    QVERIFY(!w<QCheckBox>("chkCheckAfter")->isChecked());
    // The file carries version 0102 (the last four characters of its text).
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FWSIM       0102")));
    QTest::mouseClick(w<QCheckBox>("chkCheckAfter"), Qt::LeftButton);
    QVERIFY(w<QCheckBox>("chkCheckAfter")->isChecked());
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(finished.wait(10000));
    QCOMPARE(text("pnMsg"), QString("Upgrade ok."));
    QVERIFY2(window->pnMsgReason().contains(
                 "checked after the start: the device answers with version 0102"),
             qPrintable(window->pnMsgReason()));
    QCOMPARE(text("pnDeviceVER"), QString("0102"));
    // Once the run is over the bars keep their pages and percent, and no
    // time left.
    for (const char* bar : {"pbProgram", "pbVerify"}) {
        QCOMPARE(w<QProgressBar>(bar)->format(), windowText(WindowText::BarPages, 0));
    }

    config.versionAfterRun.reset();
    device = std::make_unique<SimDevice>(config);
    window->startUpgrade();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(1).at(0).value<MessageRow>(), MessageRow::msgUpgradeOk);
    QCOMPARE(text("pnMsg"), QString("Upgrade ok., but the check after the start failed!"));
    QVERIFY2(window->pnMsgReason().contains("still the version it had before"),
             qPrintable(window->pnMsgReason()));
    QCOMPARE(window->lampColour(), QColor(255, 0, 0));

    const std::vector<RunRecord> records = RunHistory::besideSettings(storePath()).read().records;
    QCOMPARE(records.size(), 2U);
    QCOMPARE(records[0].deviceVersionAfter, QString("0102"));
    QCOMPARE(records[0].exit, 0);
    QCOMPARE(records[1].deviceVersion, QString("0100"));
    QCOMPARE(records[1].deviceVersionAfter, QString("0100"));
    QCOMPARE(records[1].exit, 19);

    window.reset();
    open(false);
    QVERIFY(w<QCheckBox>("chkCheckAfter")->isChecked());
}

void WindowTest::upgradeAgainstSimulatedDevice() {
    QFile::remove(dir.filePath("history.jsonl"));  // the runs of the tests before
    SimConfig config = simulated8401();
    config.rebootMs = 50;
    openOnSimulator(config);
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FWSIM       0102")));
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgUpgradeOk);
    QCOMPARE(text("pnMsg"), QString("Upgrade ok."));
    QCOMPARE(window->lampColour(), QColor(255, 255, 0));
    QCOMPARE(text("pnDeviceModel"), QString("8401"));
    QCOMPARE(text("pnDeviceID"), QString("0003"));
    QVERIFY(window->isEnabled());
    QVERIFY(!rec.tones.empty());
    QCOMPARE(readStore().value(kValueType).toInt(-1), 1);
    QCOMPARE(readStore().value(kValueNetPort).toString(), QString("5099"));
    // The whole image went in, and the device runs it.
    QCOMPARE(device->runCount(), 1);
    QVERIFY(device->pagesProgrammed() > 0);
    QVERIFY(runClock.nowMs() > 0);

    // The run is in the history beside the settings: File > History… shows
    // it, the filter narrows the table, and the export writes what it shows.
    auto* entry = window->findChild<QAction*>("mnuHistory");
    QVERIFY(entry != nullptr);
    QVERIFY(w<QMenu>("mnuFile")->actions().indexOf(entry) >= 0);
    HistoryDialog history(RunHistory::besideSettings(storePath()), kLanguageEnglish);
    QCOMPARE(history.rowsShown(), 1);
    const QString shown = history.table()->model()->index(0, 6).data().toString();
    QCOMPARE(shown, QString("12345678"));  // the serial number the device gave
    // The outcome is in sight without scrolling: message and exit come right
    // after the time and the run.
    history.show();
    QVERIFY(QTest::qWaitForWindowExposed(&history));
    QCOMPARE(history.table()->model()->index(0, 2).data().toString(), QString("Upgrade ok."));
    QTableView* table = history.table();
    QVERIFY(table->columnViewportPosition(3) + table->columnWidth(3) <= table->viewport()->width());
    history.filterBox()->setText("no such run");
    QCOMPARE(history.rowsShown(), 0);
    history.filterBox()->setText("upgrade OK.");
    QCOMPARE(history.rowsShown(), 1);
    const QString csv = dir.filePath("history.csv");
    history.chooseCsvFile = [csv](QWidget*) { return csv; };
    QVERIFY(QMetaObject::invokeMethod(history.findChild<QPushButton*>("exportCsv"), "click"));
    QFile exported(csv);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = exported.readAll().split('\n');
    QCOMPARE(lines.size(), 3);  // the header, the run, the end of the last line
    QVERIFY(lines[1].contains(",window,upgrade,net,127.0.0.1:5099,,3,8401,"));
    QVERIFY(lines[1].contains(",Upgrade ok.,0,"));
    QFile firmware(dir.filePath("FW.TVB"));
    QVERIFY(firmware.open(QIODevice::ReadOnly));
    QVERIFY(lines[1].contains(
        QCryptographicHash::hash(firmware.readAll(), QCryptographicHash::Sha256).toHex()));

    // In Chinese every caption of the table is Chinese but the two names
    // that stay as they are.
    HistoryDialog chinese(RunHistory::besideSettings(storePath()), kLanguageSimplified);
    const QAbstractItemModel* english = history.table()->model();
    for (int c = 0; c < english->columnCount(); ++c) {
        const QString caption = english->headerData(c, Qt::Horizontal).toString();
        const QString shownInChinese =
            chinese.table()->model()->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(shownInChinese == caption, caption == "ID" || caption == "SHA-256");
    }
    // The message and the record's words as the window says them; the
    // record keeps them in English.
    const QAbstractItemModel* rows = chinese.table()->model();
    QCOMPARE(rows->index(0, 1).data().toString(), QString::fromUtf8("更新"));
    QCOMPARE(rows->index(0, 2).data().toString(), QString::fromUtf8("更新完成."));
    QCOMPARE(rows->index(0, 9).data().toString(), QString::fromUtf8("视窗"));
}

// A 79-page file chosen, then cut to 1000 bytes or changed in place at its
// size: the run ends "Load firmware file error!" with the reason, and the
// device is neither erased nor written.
void WindowTest::fileCutOrChangedAfterItsChoiceRefused() {
    openOnSimulator(simulated8401());
    const QByteArray whole = firmwareFile("TOLVA-V7", 0x8401, "FWSIM       0102", 79 * 256);
    const QString path = writeFile("FW.TVB", whole);
    QByteArray changed = whole;
    changed[32 + 40 * 256] = 0x22;
    for (const QByteArray& now : {whole.left(1000), changed}) {
        window->chooseFirmwareFile(writeFile("FW.TVB", whole));
        QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
        writeFile("FW.TVB", now);
        QSignalSpy finished(window.get(), &MainWindow::runFinished);
        window->startUpgrade();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgLoadFileError);
        QCOMPARE(text("pnMsg"), QString("Load firmware file error!"));
        QVERIFY2(window->pnMsgReason().contains("select it again"),
                 qPrintable(window->pnMsgReason()));
        QCOMPARE(device->blocksErased(), 0U);
        QCOMPARE(device->pagesProgrammed(), 0U);
    }
    QVERIFY(window->pnMsgReason().contains("changed or replaced since"));
    // Chosen again as it is now, it goes in whole.
    window->chooseFirmwareFile(path);
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgUpgradeOk);
    QCOMPARE(device->pagesProgrammed(), 79U);
}

// A history whose folder cannot be made: the run ends as it would have, and
// the first run says so after its own reason; the next says nothing more.
void WindowTest::unwritableHistoryToldOnceBesideTheReason() {
    QFile blocker(dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    flashmere::testing::RecordingPanel panel;
    DeviceRunner runner(panel, {}, runClock);
    runner.keepHistory(RunHistory(dir.filePath("blocker/history")));
    FirmwareImage image;
    const DeviceRun ok = [](DeviceRunContext& c) {
        c.panel.showMessage(MessageRow::msgUpgradeOk);
        c.panel.showMessageReason("all pages acknowledged");
        return RunOutcome{RunEnding::Done, MessageRow::msgUpgradeOk, "all pages acknowledged",
                          false};
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::optional<MessageRow> result;
        QVERIFY(runner.upgrade(ok, image, [&](const RunOutcome& r, bool) { result = r.message; }));
        QTRY_VERIFY(result.has_value());
        QCOMPARE(*result, MessageRow::msgUpgradeOk);
        const QString reason = QString::fromStdString(panel.reason);
        if (attempt == 0) {
            QVERIFY2(reason.startsWith("all pages acknowledged\nthe run was not written to the "
                                       "history"),
                     qPrintable(reason));
        } else {
            QCOMPARE(reason, QString("all pages acknowledged"));
        }
    }
}

void WindowTest::cjkFontsExist() {
    QVERIFY(!QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty());
    QVERIFY(!QFontDatabase::families(QFontDatabase::TraditionalChinese).isEmpty());
    open();
    for (int lang : {kLanguageSimplified, kLanguageTraditional}) {
        window->useLanguage(lang);
        const QString family = QFontInfo(w<QLabel>("lblPort")->font()).family();
        const auto systems = QFontDatabase::writingSystems(family);
        QVERIFY2(systems.contains(lang == kLanguageSimplified ? QFontDatabase::SimplifiedChinese
                                                              : QFontDatabase::TraditionalChinese),
                 qPrintable(family));
    }
    QCOMPARE(colourFromText("0x000000FF"), QColor(255, 0, 0));
    QCOMPARE(colourFromText("junk"), QColor(Qt::black));
}

void WindowTest::toneWithoutSoundCard() {
    const QByteArray samples = sineSamples(1000, 300, 22050);
    QCOMPARE(samples.size(), 22050 * 300 / 1000 * 2);
    // Fades in from silence.
    QCOMPARE(samples[0], '\0');
    QCOMPARE(sineSamples(1000, 999999, 8000).size(), 8000 * 5 * 2);
    const std::unique_ptr<TonePlayer> player = makeSystemTonePlayer();
    QElapsedTimer timer;
    timer.start();
    player->play(300, 300);
    player->play(1000, 100);
    QVERIFY(timer.elapsed() < 2000);
}

// A page update every 2 ms for a second: about 30 applications, never two
// timed ones closer than the interval, and the last value always shown.
void WindowTest::repaintsCoalesced() {
    VirtualClock clock;
    std::int64_t due = -1;  // when the armed timer ends; -1: not armed
    bool inTimer = false;
    int armedBySet = 0;  // each is a wake-up of the window's thread of its own
    UpdateCoalescer updates(clock, [&](std::int64_t delay) {
        QVERIFY(due < 0);
        due = clock.nowMs() + delay;
        armedBySet += inTimer ? 0 : 1;
    });
    int shown = -1;
    int applications = 0;
    std::vector<std::int64_t> timedAt;
    const auto fireIfDue = [&] {
        if (due >= 0 && clock.nowMs() >= due) {
            due = -1;
            timedAt.push_back(clock.nowMs());
            inTimer = true;
            updates.timerFlush();
            inTimer = false;
        }
    };
    for (int page = 0; page < 500; ++page) {
        updates.set(UpdateCoalescer::ProgramBar, [&, page] {
            shown = page;
            ++applications;
        });
        fireIfDue();
        clock.advance(2);
        fireIfDue();
    }
    QVERIFY(applications >= 29 && applications <= 32);
    QCOMPARE(armedBySet, 1);
    for (std::size_t i = 1; i < timedAt.size(); ++i) {
        QVERIFY(timedAt[i] - timedAt[i - 1] >= UpdateCoalescer::kDefaultIntervalMs);
    }
    QVERIFY(shown < 499);
    clock.advance(UpdateCoalescer::kDefaultIntervalMs);
    fireIfDue();
    QCOMPARE(shown, 499);
    clock.advance(UpdateCoalescer::kDefaultIntervalMs);
    fireIfDue();  // finds nothing: the chain ends
    QCOMPARE(due, std::int64_t{-1});

    // What was pending when an ordered update came goes with it; what came
    // after stays behind it.
    updates.set(UpdateCoalescer::ProgramBar, [&] { shown = 1000; });
    const UpdateCoalescer::Update before = updates.take();
    updates.set(UpdateCoalescer::ProgramBar, [&] { shown = 1001; });
    before();
    QCOMPARE(shown, 1000);
    updates.flush();
    QCOMPARE(shown, 1001);
    // Taken updates that arrive after a later one was applied (Windows runs
    // a timer before a call queued earlier) never bring an older state back.
    updates.set(UpdateCoalescer::ProgramBar, [&] { shown = 1002; });
    const UpdateCoalescer::Update late = updates.take();
    updates.set(UpdateCoalescer::ProgramBar, [&] { shown = 1003; });
    updates.flush();
    late();
    QCOMPARE(shown, 1003);
}

// A bar step or a blink of the lamp comes many times a run: it paints the
// control alone, not the window and the message bar under it.
void WindowTest::runUpdatesPaintOnlyTheirControls() {
    open();
    auto* bar = w<QProgressBar>("pbProgram");
    bar->setRange(0, 128);
    PaintCounter counter;
    QApplication::instance()->installEventFilter(&counter);
    for (int value : {40, 80, 120}) {
        bar->setValue(value);  // repaints at once
    }
    window->setLamp(LampColour::Yellow);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    QApplication::instance()->removeEventFilter(&counter);
    QCOMPARE(counter.paints, (std::map<QString, int>{{"pbProgram", 3}, {"shComm", 1}}));
    QCOMPARE(bar->value(), 120);
}

// 12a must never flash device 0 (or any device): the ID stays, the run is
// refused while the box holds no number; the ID that answered is kept.
void WindowTest::idTypoRefusesTheRunAndTheIdIsRemembered() {
    int runs = 0;
    run = [&runs](DeviceRunContext& context) {
        ++runs;
        context.panel.storeLinkSettings(kLinkNet, context.panel.captureOptions().link);
        return RunOutcome{RunEnding::Done, MessageRow::msgUpgradeOk, {}, false};
    };
    open();
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2")));
    auto* ed = w<QLineEdit>("edID");
    ed->selectAll();
    QTest::keyClicks(ed, "12a");
    QCOMPARE(w<QScrollBar>("sbID")->value(), 12);
    window->startUpgrade();
    QCOMPARE(runs, 0);
    QCOMPARE(rec.messages.size(), 1);
    QVERIFY(rec.messages[0].contains("ID box holds \u201C12a\u201D"));
    QTest::keyClick(ed, Qt::Key_Backspace);
    QVERIFY(!window->idBoxMarked());
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(finished.wait(5000));
    QCOMPARE(runs, 1);
    QCOMPARE(readStore().value(kValueDeviceId).toInt(-1), 12);
    open(false);
    QCOMPARE(w<QScrollBar>("sbID")->value(), 12);
    QCOMPARE(text("edID"), QString("12"));
}

void WindowTest::damagedSettingsSetAsideAndToldOnce() {
    QFile cut(storePath());
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write(R"({"\\Software\\TOLVA\\Flashmere": {"LanguageFlag": "Chin)");
    cut.close();
    open();
    const auto notices = [this] { return rec.messages.filter("could not be read"); };
    QTRY_COMPARE(notices().size(), 1);
    QVERIFY(notices()[0].contains(QDir::toNativeSeparators(storePath())));
    QVERIFY(notices()[0].contains("settings.json.damaged-"));
    window->useTraditionalChinese();
    QCOMPARE(readStore().value(kValueLanguageFlag).toString(), QString("ChineseBIG5"));
    QTRY_COMPARE(rec.messages.size(), 3);  // the note box again, not the notice
    QCOMPARE(notices().size(), 1);
    QCOMPARE(QDir(dir.path()).entryList({"settings.json.damaged-*"}).size(), 1);

    // A folder in the file's place is left as it is, and said once why.
    window.reset();
    rec = Recorder{};
    QVERIFY(QFile::remove(storePath()));
    QVERIFY(QDir().mkpath(storePath()));
    open();
    const auto unused = [this] { return rec.messages.filter("is not used (is a folder"); };
    QTRY_COMPARE(unused().size(), 1);
    window->useEnglish();
    QTRY_COMPARE(rec.messages.size(), 3);
    QCOMPARE(unused().size(), 1);
    QVERIFY(QFileInfo(storePath()).isDir());
    QVERIFY(QDir().rmdir(storePath()));
}

// The reason of a refused file: shown as selectable text on a click or on
// Enter at the message bar, with a Copy button.
void WindowTest::reasonDetailsSelectableAndCopied() {
    open();
    window->chooseFirmwareFile(writeFile("notes.TVB", QByteArray(600, 'x')));
    QCOMPARE(text("pnMsg"), QString("Firmware file type error!"));
    QVERIFY(window->pnMsgReason().contains("does not start with \"TOLVA-V7\""));
    QTest::mouseClick(w<QLabel>("pnMsg"), Qt::LeftButton);
    QCOMPARE(rec.details.size(), 1);
    QCOMPARE(rec.details[0], "Firmware file type error!\n\n" + window->pnMsgReason());
    w<QLabel>("pnMsg")->setFocus();
    QTest::keyClick(w<QLabel>("pnMsg"), Qt::Key_Return);
    QCOMPARE(rec.details.size(), 2);
    window->chooseFirmwareFile(writeFile("short.TVB", QByteArray(10, 'x')));
    QVERIFY(window->pnMsgReason().contains("fewer than the 32"));

    ReasonDialog dialog("Flashmere", rec.details[0], kLanguageEnglish);
    QVERIFY(dialog.textBox()->isReadOnly());
    QVERIFY(dialog.textBox()->textInteractionFlags() & Qt::TextSelectableByMouse);
    QTest::mouseClick(dialog.copyButton(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), rec.details[0]);
}

// An 8801 file (text protocol) against an 8401 device: the binary request
// that the identification did not send finds the device and says so.
void WindowTest::otherProtocolFamilyAnswerNamed() {
    QFile::remove(dir.filePath("history.jsonl"));
    openOnSimulator(simulated8401());
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8801, "FWTEXT      0102")));
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgFileTypeError);
    QVERIFY2(window->pnMsgReason().startsWith(
                 "a device of model 8401 answered at ID 3; the file is for model 8801"),
             qPrintable(window->pnMsgReason()));
    QCOMPARE(device->pagesProgrammed(), 0U);
    // The device that answered is recorded.
    const std::vector<RunRecord> records = RunHistory::besideSettings(storePath()).read().records;
    QCOMPARE(records.size(), 1U);
    QCOMPARE(records[0].deviceModel, QString("8401"));
    QCOMPARE(records[0].deviceSerial, QString("12345678"));
}

// A write the link refuses mid-programming ends the run with the link's own
// words, as the command line gives them.
void WindowTest::refusedWriteNamedInTheReason() {
    writesBeforeFailure = 40;
    openOnSimulator(simulated8401());
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FWSIM       0102", 128 * 256)));
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    window->startUpgrade();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgProgramError);
    QVERIFY2(window->pnMsgReason().contains(
                 "the request could not be written: Resource temporarily unavailable"),
             qPrintable(window->pnMsgReason()));
}

void WindowTest::netBoxesRefusedBeforeConnecting() {
    int runs = 0;
    run = [&runs](DeviceRunContext&) {
        ++runs;
        return RunOutcome{RunEnding::Done, MessageRow::msgUpgradeOk, {}, false};
    };
    open();
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2")));
    const std::pair<QString, QString> bad[] = {
        {"127.0.0.1", "99999"}, {"127.0.0.1", "abc"}, {"127.0.0.1", ""}, {"  ", "5003"}};
    for (const auto& [host, port] : bad) {
        window->useNetLink(host, port);
        window->startUpgrade();
    }
    QCOMPARE(runs, 0);
    QCOMPARE(rec.messages.size(), 4);
    QVERIFY(rec.messages[0].contains("Port box on the NET page holds \u201C99999\u201D"));
    QVERIFY(rec.messages[1].contains("\u201Cabc\u201D"));
    QVERIFY(rec.messages[3].contains("IP box on the NET page is empty"));
    QVERIFY(!rec.messages.join(' ').contains("4001"));
}

void WindowTest::keyboardAndAccessibleNames() {
    open();
    // Tab from the Upgrade button round the window: only visible stops.
    w<QPushButton>("btnSelect")->setFocus();
    for (int i = 0; i < 40; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus != nullptr);
        QVERIFY2(focus->isVisible(), qPrintable(focus->objectName()));
        QVERIFY2(QRect(QPoint(0, 0), w<QWidget>("clientArea")->size())
                     .contains(focus->mapTo(w<QWidget>("clientArea"), QPoint(0, 0))),
                 qPrintable(focus->objectName()));
    }
    // The message bar shows that it has the focus.
    auto* bar = w<QLabel>("pnMsg");
    w<QPushButton>("btnSelect")->setFocus(Qt::TabFocusReason);
    const QImage unfocused = bar->grab().toImage();
    bar->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(bar->hasFocus());
    QVERIFY(bar->grab().toImage() != unfocused);
    // Enter presses the focused button.
    rec.nextFile.clear();
    w<QPushButton>("btnSelect")->setFocus();
    QTest::keyClick(w<QPushButton>("btnSelect"), Qt::Key_Return);
    QCOMPARE(rec.startFolders.size(), 1);

    const auto name = [](QWidget* widget) {
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
        return face != nullptr ? face->text(QAccessible::Name) : QString();
    };
    const std::pair<const char*, const char*> names[] = {
        {"edIP", "IP"},
        {"edPort", "Port"},
        {"edID", "ID"},
        {"sbID", "ID"},
        {"edPIN", "PIN"},
        {"pbProgram", "Program/Download"},
        {"pbVerify", "Verify check"},
        {"pnDeviceModel", "Device model"},
        {"pnDeviceSN", "Device serial number"},
        {"pnDeviceISP", "Device boot loader version"}};
    for (const auto& [control, expected] : names) {
        QCOMPARE(name(w<QWidget>(control)), QString(expected));
    }
    for (const char* outside : {"Button5", "Button6", "edtTX", "edtPage"}) {
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w<QWidget>(outside));
        QVERIFY2(face->state().invisible, outside);
    }
}

namespace {
// English wording left in a text: two words of Latin letters in a row ("ID",
// "TCP 127.0.0.1" or "(*.TVB)" alone are names that stay).
bool hasEnglishWording(const QString& text) {
    static const QRegularExpression words(QStringLiteral("[A-Za-z]{2,}[ ,.:']+[A-Za-z]{2,}"));
    return text.contains(words);
}
}  // namespace

// Passes time on; the first sleep after the device holds two programmed
// pages waits for the test (on the run's thread, which drives the device).
class HoldingClock final : public Clock {
  public:
    HoldingClock(Clock& inner, std::function<void()> onSleep)
        : inner_(inner), onSleep_(std::move(onSleep)) {}
    std::int64_t nowMs() override { return inner_.nowMs(); }
    void sleepMs(std::int64_t ms) override {
        onSleep_();
        inner_.sleepMs(ms);
    }

  private:
    Clock& inner_;
    std::function<void()> onSleep_;
};

// An upgrade of a 16-page file on device ID 3 over TCP, held by the test
// once two pages are programmed: `reached` is released then, and the run
// goes on when the test releases `gate`.
void WindowTest::startRunHeldAtPageTwo(std::shared_ptr<QSemaphore> reached,
                                       std::shared_ptr<QSemaphore> gate) {
    SimConfig config;
    config.model = 0x8401;
    config.id = 3;
    device = std::make_unique<SimDevice>(config);
    run = [this, reached, gate](DeviceRunContext& context) {
        bool held = false;
        HoldingClock clock(context.clock, [&] {
            if (!held && device->pagesProgrammed() >= 2) {
                held = true;
                reached->release();
                gate->tryAcquire(1, 10000);
            }
        });
        DeviceRunContext holding{context.panel, context.transports, clock, context.image};
        return upgradeDevice(holding);
    };
    open();
    window->useNetLink("127.0.0.1", "5099");
    w<QScrollBar>("sbID")->setValue(3);
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FWSIM       0102", 16 * 256)));
    window->startUpgrade();
}

// The close box mid-run: asked, answered yes, the run ends at its next
// exchange with a reason of its own, the device is not started, and the
// window closes.
void WindowTest::closingMidRunAsksAndStops() {
    auto reached = std::make_shared<QSemaphore>(0);
    auto gate = std::make_shared<QSemaphore>(0);
    startRunHeldAtPageTwo(reached, gate);
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    QVERIFY(reached->tryAcquire(1, 10000));
    rec.answer = true;
    window->close();
    QCOMPARE(rec.questions.size(), 1);
    QVERIFY(rec.questions[0].contains("Device ID 3 on TCP 127.0.0.1:5099"));
    QVERIFY(rec.questions[0].contains("boot loader"));
    QVERIFY(window->isVisible());
    gate->release();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgProgramError);
    QVERIFY2(window->pnMsgReason().contains(kStoppedByOperator), qPrintable(window->pnMsgReason()));
    QVERIFY(device->pagesProgrammed() < 16U);
    QCOMPARE(device->runCount(), 0);
    QTRY_VERIFY(!window->isVisible());
}

// SIGTERM mid-run (a service manager, a closed session): nobody is asked,
// the run ends at its next exchange naming the signal, the history records
// it as stopped, the device is not started, and the window closes. SIGHUP
// and SIGINT take the same way (the command line's tests send each).
void WindowTest::stopSignalMidRunStopsRecordsAndCloses() {
    if (QSysInfo::productType() == QLatin1String("windows")) {
        QSKIP("Windows sends console events, not signals");
    }
    auto reached = std::make_shared<QSemaphore>(0);
    auto gate = std::make_shared<QSemaphore>(0);
    startRunHeldAtPageTwo(reached, gate);
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    QVERIFY(reached->tryAcquire(1, 10000));
    std::raise(SIGTERM);
    QTRY_VERIFY(window->stopRequested());
    gate->release();
    QVERIFY(finished.wait(10000));
    QVERIFY(rec.questions.isEmpty());
    QCOMPARE(finished.at(0).at(0).value<MessageRow>(), MessageRow::msgProgramError);
    QVERIFY2(window->pnMsgReason().contains("stopped by a signal, SIGTERM"),
             qPrintable(window->pnMsgReason()));
    QVERIFY(device->pagesProgrammed() < 16U);
    QCOMPARE(device->runCount(), 0);
    const HistoryContent history = RunHistory::besideSettings(storePath()).read();
    QVERIFY(!history.records.empty());
    QCOMPARE(history.records.back().exit, 18);
    QVERIFY(history.records.back().reason.contains("stopped by a signal, SIGTERM"));
    QTRY_VERIFY(!window->isVisible());
}

void WindowTest::firmwareFolderDropAndRecentFiles() {
    open();
    QDir(dir.path()).mkpath("fw");
    QStringList files;
    for (int i = 0; i < 9; ++i) {
        files << writeFile(QString("fw/F%1.TVB").arg(i),
                           firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2"));
    }
    rec.nextFile = files[0];
    window->askForFirmwareFile();
    QCOMPARE(rec.startFolders.last(), QString());  // nothing chosen before: home
    rec.nextFile.clear();
    window->askForFirmwareFile();
    QCOMPARE(rec.startFolders.last(), dir.filePath("fw"));

    const auto drop = [this](const QList<QUrl>& urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent event(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &event);
    };
    drop({QUrl::fromLocalFile(writeFile("readme.txt", "hello"))});
    drop({QUrl::fromLocalFile(files[1]), QUrl::fromLocalFile(files[2])});
    QCOMPARE(rec.messages.size(), 2);
    QVERIFY(rec.messages[0].contains("not a firmware file (*.TVB)"));
    QVERIFY(!w<QPushButton>("btnAuto")->isEnabled());
    drop({QUrl::fromLocalFile(files[1])});
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    QCOMPARE(w<QLabel>("pnFile")->toolTip(), files[1]);

    for (int i = 2; i < 9; ++i) {
        window->chooseFirmwareFile(files[i]);
    }
    QFile::remove(files[4]);
    QMenu* recent = window->recentFilesMenu();
    emit recent->aboutToShow();
    const QList<QAction*> actions = recent->actions();
    QCOMPARE(actions.size(), 8);  // F8 newest .. F1; F0 fell off
    QVERIFY(actions[0]->text().endsWith("F8.TVB"));
    QVERIFY(actions[7]->text().endsWith("F1.TVB"));
    QVERIFY(!actions[4]->isEnabled());  // F4, gone
    actions[6]->trigger();              // F2
    QCOMPARE(w<QLabel>("pnFile")->toolTip(), files[2]);
    QCOMPARE(readStore().value(kValueRecentFirmwareFiles).toArray().first().toString(), files[2]);
}

// In Simplified Chinese the window's own notices, refusals, tool tips and
// Qt's buttons say nothing in English, and a language change re-renders
// what is on show.
void WindowTest::windowTextsInChinese() {
    writeStore({{kValueLanguageFlag, "ChineseGB"}, {kValueComPortName, "ttyGone"}});
    run = [](DeviceRunContext&) {
        return RunOutcome{RunEnding::Done, MessageRow::msgUpgradeOk, {}, false};
    };  // never started
    open();
    QTRY_COMPARE(rec.messages.size(), 1);  // the note box
    rec.messages.clear();
    auto* portBox = w<QComboBox>("cmbPort");
    const QString absent = portBox->itemData(portBox->currentIndex(), Qt::ToolTipRole).toString();
    QVERIFY2(absent.startsWith("ttyGone ") && !hasEnglishWording(absent), qPrintable(absent));

    rec.nextFile.clear();
    window->askForFirmwareFile();  // cancelled: the file panels are not in use
    window->chooseFirmwareFile(
        writeFile("FW.TVB", firmwareFile("TOLVA-V7", 0x8401, "FW1         V1.2")));
    auto* ed = w<QLineEdit>("edID");
    ed->selectAll();
    QTest::keyClicks(ed, "12a");
    QVERIFY(ed->toolTip().startsWith(QString::fromUtf8("“12a”不是")));
    window->startUpgrade();
    QTest::keyClick(ed, Qt::Key_Backspace);
    window->useNetLink("  ", "5003");
    window->startUpgrade();
    window->useNetLink("127.0.0.1", "abc");
    window->startUpgrade();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(dir.filePath("A.TVB")), QUrl::fromLocalFile("B.TVB")});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    QCOMPARE(rec.messages.size(), 4);
    for (const QString& message : rec.messages) {
        QVERIFY2(!hasEnglishWording(message), qPrintable(message));
    }
    QVERIFY(rec.messages[3].contains(QString::fromUtf8("一次只能拖放一个韧体档案")));
    for (const char* name : {"pnMsg", "pnFile", "pnDeviceISP"}) {
        const QString shown = w<QWidget>(name)->accessibleName();
        QVERIFY2(!hasEnglishWording(shown) && shown != "Message", qPrintable(shown));
    }

    // Qt's own buttons and the reason box's come from the same texts.
    QMessageBox box(QMessageBox::Warning, "t", "q", QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), QString::fromUtf8("是(&Y)"));
    ReasonDialog details("t", "q", windowLanguage());
    QCOMPARE(details.copyButton()->text(), QString::fromUtf8("复制(&C)"));

    // Traditional Chinese: the marked ID box and the absent port follow.
    QTest::keyClicks(ed, "x");
    window->useTraditionalChinese();
    QVERIFY2(ed->toolTip().startsWith(QString::fromUtf8("「12x」不是")), qPrintable(ed->toolTip()));
    QVERIFY(portBox->itemData(portBox->count() - 1, Qt::ToolTipRole)
                .toString()
                .contains(QString::fromUtf8("先前")));
    QMessageBox traditional(QMessageBox::NoIcon, "t", "q", QMessageBox::Ok);
    QCOMPARE(traditional.button(QMessageBox::Ok)->text(), QString::fromUtf8("確定"));
    window->useEnglish();
    QMessageBox english(QMessageBox::NoIcon, "t", "q", QMessageBox::Ok);
    QCOMPARE(english.button(QMessageBox::Ok)->text(), QString("OK"));
}

// The close box mid-run asks in Chinese, and the stopped run's reason ends
// with the next step in Chinese after the engine's own words.
void WindowTest::stopQuestionAndNextStepInChinese() {
    writeStore({{kValueLanguageFlag, "ChineseGB"}});
    auto reached = std::make_shared<QSemaphore>(0);
    auto gate = std::make_shared<QSemaphore>(0);
    startRunHeldAtPageTwo(reached, gate);
    QSignalSpy finished(window.get(), &MainWindow::runFinished);
    QVERIFY(reached->tryAcquire(1, 10000));
    rec.answer = true;
    window->close();
    QCOMPARE(rec.questions.size(), 1);
    QVERIFY2(rec.questions[0].startsWith(QString::fromUtf8("要停止执行中的操作吗？|")) &&
                 !hasEnglishWording(rec.questions[0]),
             qPrintable(rec.questions[0]));
    gate->release();
    QVERIFY(finished.wait(10000));
    const QString reason = window->pnMsgReason();
    QVERIFY2(reason.contains(kStoppedByOperator), qPrintable(reason));
    QVERIFY2(reason.endsWith(QString::fromUtf8("请以同一个档案再按一次“2. 更新”。")),
             qPrintable(reason));
    QTRY_VERIFY(!window->isVisible());
}

FLASHMERE_QTEST_MAIN(WindowTest)
#include "window_test.moc"
