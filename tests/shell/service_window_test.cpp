// The window's service buttons against the simulated device in process, on
// a virtual clock: the three queries, the erase and the read-back, and that
// device operations never overlap.
// The simulator first: Qt defines emit as a macro.
#include "sim_device.h"
#include "sim_transport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>
#include <vector>

#include "firmware/firmware_writer.h"
#include "frontend/app_settings.h"
#include "link/virtual_clock.h"
#include "shell/main_window.h"
#include "tests/support/combined_qtest.h"

using namespace flashmere;

namespace {

// Called before every frame the window sends, on the operation's worker
// thread: there a test holds the run, or changes the world in its middle.
using BeforeWrite = std::function<void()>;

class WatchedLink final : public Transport {
  public:
    WatchedLink(std::unique_ptr<Transport> link, const BeforeWrite& beforeWrite)
        : link_(std::move(link)), beforeWrite_(beforeWrite) {}
    bool connected() const override { return link_->connected(); }
    void discardInput() override { link_->discardInput(); }
    bool write(std::span<const std::uint8_t> bytes) override {
        if (beforeWrite_) {
            beforeWrite_();
        }
        return link_->write(bytes);
    }
    std::size_t readWaiting(std::span<std::uint8_t> out, std::int64_t timeoutMs) override {
        return link_->readWaiting(out, timeoutMs);
    }
    void close() override { link_->close(); }
    std::string lossNote() const override { return link_->lossNote(); }

  private:
    std::unique_ptr<Transport> link_;
    const BeforeWrite& beforeWrite_;
};

// The links of one operation to the simulated device.
class WatchedSimLinks final : public TransportFactory {
  public:
    WatchedSimLinks(SimDevice& device, VirtualClock& clock, const BeforeWrite& beforeWrite)
        : sim_(device, clock), beforeWrite_(beforeWrite) {}
    std::string lastOpenFailure() const override { return sim_.lastOpenFailure(); }
    std::unique_ptr<Transport> openSerial(const std::string& portName,
                                          const std::string& modeString,
                                          TraceSink& trace) override {
        return watched(sim_.openSerial(portName, modeString, trace));
    }
    std::unique_ptr<Transport> openTcp(const std::string& host, std::uint16_t port,
                                       std::int64_t connectTimeoutMs) override {
        return watched(sim_.openTcp(host, port, connectTimeoutMs));
    }

  private:
    std::unique_ptr<Transport> watched(std::unique_ptr<Transport> link) {
        return link ? std::make_unique<WatchedLink>(std::move(link), beforeWrite_) : nullptr;
    }
    SimTransportFactory sim_;
    const BeforeWrite& beforeWrite_;
};

// A model 8401 device with ID 3, serial number 12345678, name SIMDEVICE,
// version 0100, ISP 0001, with the given fault rules.
std::unique_ptr<SimDevice> device8401(const QStringList& faults = {}) {
    SimConfig config;
    config.model = 0x8401;
    config.id = 3;
    for (const QString& fault : faults) {
        config.faults.rules.push_back(*parseFaultRule(fault.toStdString()));
    }
    return std::make_unique<SimDevice>(config);
}

std::size_t countEvents(const SimDevice& device, SimEventType type) {
    std::size_t count = 0;
    for (const SimEvent& e : device.transcript()) {
        count += e.type == type ? 1 : 0;
    }
    return count;
}

// The page address of every request with that command code.
std::vector<std::uint32_t> requestAddresses(const SimDevice& device, std::uint16_t command) {
    std::vector<std::uint32_t> addresses;
    for (const SimEvent& e : device.transcript()) {
        if (e.type == SimEventType::Request && e.command == command) {
            addresses.push_back(e.pageAddress.value_or(0xFFFFFFFF));
        }
    }
    return addresses;
}

const SimEvent& lastRequest(const SimDevice& device) {
    static const SimEvent none;
    const auto& events = device.transcript();
    for (auto e = events.rbegin(); e != events.rend(); ++e) {
        if (e->type == SimEventType::Request) {
            return *e;
        }
    }
    return none;
}

QByteArray memoryOf(const SimDevice& device) {
    const auto memory = device.memory();
    return QByteArray(reinterpret_cast<const char*>(memory.data()),
                      static_cast<qsizetype>(memory.size()));
}

QStringList crlfLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (!bytes.endsWith("\r\n")) {
        return {"(no CR LF at the end)"};
    }
    QStringList lines = QString::fromLatin1(bytes.chopped(2)).split("\r\n");
    for (const QString& line : lines) {
        if (line.contains('\n') || line.contains('\r')) {
            return {"(a line break that is not CR LF)"};
        }
    }
    return lines;
}

}  // namespace

class ServiceWindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<VirtualClock> clock;
    // The device the window's links reach; none: the machine's own ports.
    std::unique_ptr<SimDevice> device;
    BeforeWrite beforeWrite;
    QSemaphore gate;  // released by a test holding a run at its first frame
    const QString host = QStringLiteral("127.0.0.1");
    const QString port = QStringLiteral("5099");
    QStringList messages;
    QStringList questions;     // title|text of each confirmation asked
    bool answer = true;        // the operator's answer to them
    QStringList folderStarts;  // start folder of each folder dialog
    QStringList nextFolders;   // answers of the folder dialog, in turn
    QString nextFile;

    QString storePath() const { return dir->filePath("settings.json"); }
    QJsonObject readStore() const {
        QFile file(storePath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object().value(kSettingsKey).toObject();
    }
    QString firmware(const QString& name, std::uint16_t model, int pages) {
        std::vector<std::uint8_t> body(static_cast<std::size_t>(pages) * 256);
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        const QString path = dir->filePath(name);
        return writeFirmwareFile(path.toStdString(), model, "SVC", "0100", body).ok ? path
                                                                                    : QString();
    }

    MainWindow& open() {
        ShellHooks hooks;
        hooks.chooseFirmwareFile = [this](QWidget*, const QString&) { return nextFile; };
        hooks.showMessage = [this](QWidget*, const QString& title, const QString& text) {
            messages << title + "|" + text;
        };
        hooks.confirm = [this](QWidget*, const QString& title, const QString& text) {
            questions << title + "|" + text;
            return answer;
        };
        hooks.portList = [] { return QStringList{"ttyS0"}; };
        hooks.chooseReadBackFolder = [this](QWidget*, const QString& start) {
            folderStarts << start;
            return nextFolders.isEmpty() ? QString() : nextFolders.takeFirst();
        };
        hooks.transports = [this]() -> std::unique_ptr<TransportFactory> {
            if (!device) {
                return nullptr;
            }
            return std::make_unique<WatchedSimLinks>(*device, *clock, beforeWrite);
        };
        settings = std::make_unique<AppSettings>(storePath());
        window = std::make_unique<MainWindow>(*settings, hooks, *clock);
        window->setNoteEnabled(false);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get())) {
            qWarning("window not exposed");
        }
        return *window;
    }
    // The stored link (the erase's and the read-back's) leads to the device.
    void storeSimulatedLink() {
        settings->linkKind = kLinkNet;
        settings->netIP = host.toStdString();
        settings->netPort = port.toStdString();
    }
    // The next operation stops before its first frame until the test
    // releases the gate (at most 10 s).
    void holdAtFirstFrame() {
        auto held = std::make_shared<bool>(false);
        beforeWrite = [this, held] {
            if (!*held) {
                *held = true;
                gate.tryAcquire(1, 10000);
            }
        };
    }
    template <typename T>
    T* w(const char* name) {
        return window->findChild<T*>(name);
    }
    QString text(const char* name) {
        QObject* o = window->findChild<QObject*>(name);
        if (auto* l = qobject_cast<QLabel*>(o)) {
            return l->text();
        }
        if (auto* e = qobject_cast<QLineEdit*>(o)) {
            return e->text();
        }
        return {};
    }
    // Clicks a service button and waits until the window shows its end.
    bool runService(ServiceFunction function) {
        QSignalSpy finished(window.get(), &MainWindow::serviceFinished);
        switch (function) {
            case ServiceFunction::SerialNumberQuery:
                window->querySerialNumber();
                break;
            case ServiceFunction::IdQuery:
                window->queryId();
                break;
            case ServiceFunction::VersionQuery:
                window->queryVersion();
                break;
            case ServiceFunction::Erase:
                window->eraseDevice();
                break;
            case ServiceFunction::ReadBack:
                window->readBackDevice();
                break;
        }
        return finished.wait(10000) && finished.at(0).at(0).value<ServiceFunction>() == function;
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        clock = std::make_unique<VirtualClock>();
        messages.clear();
        questions.clear();
        answer = true;
        folderStarts.clear();
        nextFolders.clear();
        nextFile.clear();
    }
    void cleanup() {
        gate.release();  // a run that a failed test left held goes on
        window.reset();
        device.reset();
        beforeWrite = {};
        gate.acquire(gate.available());
        dir.reset();
    }

    void queriesCarryAddressOneAndTraceTheReply_data();
    void queriesCarryAddressOneAndTraceTheReply();
    void queryOnAMissingSerialPortShowsNothing();
    void noSecondOperationWhileAQueryWaits();
    void eraseLoadsTheChosenFileAndCountsARetry();
    void eraseIsReachedOnlyByItsButtonAndAsksFirst();
    void readBackWritesThreeFilesIntoTheChosenFolder();
    void readBackFolderThatCannotBeWritten();
};

void ServiceWindowTest::queriesCarryAddressOneAndTraceTheReply_data() {
    QTest::addColumn<ServiceFunction>("function");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("reply");
    QTest::newRow("Get S/N") << ServiceFunction::SerialNumberQuery
                             << "05 00 08 88 01 00 01 00 01 BA 07 "
                             << "84 01 12 34 56 78 00 03 ";
    QTest::newRow("Get ID") << ServiceFunction::IdQuery << "05 00 08 88 01 00 02 00 01 55 63 "
                            << "00 03 ";
    QTest::newRow("Get VER") << ServiceFunction::VersionQuery << "05 00 08 88 01 00 03 00 01 0F BF "
                             << "53 49 4D 44 45 56 49 43 45 00 00 00 01 00 00 01 ";
}

void ServiceWindowTest::queriesCarryAddressOneAndTraceTheReply() {
    QFETCH(ServiceFunction, function);
    QFETCH(QString, frame);
    QFETCH(QString, reply);
    device = device8401();
    open();
    // The link page points at the device; the stored settings do not.
    w<QTabWidget>("pcPort")->setCurrentWidget(w<QWidget>("tsNet"));
    w<QLineEdit>("edIP")->setText(host);
    w<QLineEdit>("edPort")->setText(port);
    QCOMPARE(settings->netIP, std::string("192.168.1.101"));
    // The ID box does not matter: queries always go to address 1.
    w<QScrollBar>("sbID")->setValue(7);

    QVERIFY(runService(function));
    QCOMPARE(text("edtTX"), frame);
    QCOMPARE(text("edtRX"), reply);
    // Only the traces: message bar, counters and window state stay.
    QCOMPARE(text("pnMsg"), QString("Select firmware file"));
    QVERIFY(window->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(!window->busyIndicatorRunning());
    // captureLinkSettings took the page into memory; nothing was stored.
    QCOMPARE(settings->linkKind, kLinkNet);
    QCOMPARE(settings->netPort, port.toStdString());
    QVERIFY(!QFile::exists(storePath()));
    QCOMPARE(countEvents(*device, SimEventType::Request), std::size_t{1});
}

// Through the machine's own serial ports.
void ServiceWindowTest::queryOnAMissingSerialPortShowsNothing() {
    open();
    w<QTabWidget>("pcPort")->setCurrentWidget(w<QWidget>("tsCom"));
    w<QComboBox>("cmbPort")->setEditText(dir->filePath("no-such-port"));
    QVERIFY(runService(ServiceFunction::SerialNumberQuery));
    QCOMPARE(text("edtTX"), QString());
    QCOMPARE(text("edtRX"), QString());
    QCOMPARE(text("pnMsg"), QString("Select firmware file"));
    QVERIFY(w<QPushButton>("Button1")->isEnabled());
}

void ServiceWindowTest::noSecondOperationWhileAQueryWaits() {
    // The ID query's reply leaves 700 ms late, inside the 1000 ms limit.
    device = device8401({"cmd:0002:delay=700"});
    open();
    window->useNetLink(host, port);
    nextFile = firmware("FW.TVB", 0x8401, 4);
    window->askForFirmwareFile();
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    nextFolders << dir->path();

    QSignalSpy finished(window.get(), &MainWindow::serviceFinished);
    QSignalSpy runs(window.get(), &MainWindow::runFinished);
    holdAtFirstFrame();
    window->queryId();
    QVERIFY(window->deviceOperationRunning());
    // The window stays usable, but nothing that starts a device operation.
    QVERIFY(window->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    for (const char* name : {"btnAuto", "btnSelect", "Button1", "Button2", "Button3", "Button4",
                             "Button5", "Button6"}) {
        QVERIFY2(!w<QPushButton>(name)->isEnabled(), name);
    }
    QVERIFY(w<QLineEdit>("edIP")->isEnabled());
    QVERIFY(w<QMenuBar>("mnuMain")->isEnabled());
    // Clicks that get through anyway start nothing.
    QTest::mouseClick(w<QPushButton>("btnAuto"), Qt::LeftButton);
    window->startUpgrade();
    window->querySerialNumber();
    window->queryVersion();
    window->eraseDevice();
    window->readBackDevice();
    QVERIFY(folderStarts.isEmpty());
    // Closing asks first; answered no, the query goes on.
    answer = false;
    window->close();
    QVERIFY(window->isVisible());
    QVERIFY(questions.last().startsWith("Stop the running operation?|Device ID 0 on"));

    gate.release();
    QVERIFY(finished.wait(10000));
    QVERIFY(!window->deviceOperationRunning());
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<ServiceFunction>(), ServiceFunction::IdQuery);
    QCOMPARE(runs.size(), 0);
    QCOMPARE(text("edtTX"), QString("05 00 08 88 01 00 02 00 01 55 63 "));
    QCOMPARE(text("edtRX"), QString("00 03 "));
    // One link, one request: no other operation reached the device.
    QCOMPARE(countEvents(*device, SimEventType::Request), std::size_t{1});
    QCOMPARE(countEvents(*device, SimEventType::LinkOpened), std::size_t{1});
    // Every control is back as it was; Button4 has no function and stays.
    for (const char* name :
         {"btnAuto", "btnSelect", "Button1", "Button2", "Button3", "Button5", "Button6"}) {
        QVERIFY2(w<QPushButton>(name)->isEnabled(), name);
    }
}

void ServiceWindowTest::eraseLoadsTheChosenFileAndCountsARetry() {
    // The erase of the second block (page 4) is not heard the first time.
    device = device8401({"erase:4:fail=1"});
    open();
    w<QScrollBar>("sbID")->setValue(3);
    // The erase takes the stored link, not the link page.
    storeSimulatedLink();
    w<QTabWidget>("pcPort")->setCurrentWidget(w<QWidget>("tsCom"));

    // A page store left by an earlier image of 128 pages; the chosen file
    // has 5, and the erase covers those.
    window->image().pageCount = 128;
    nextFile = firmware("FW5.TVB", 0x8401, 5);
    window->askForFirmwareFile();
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    QCOMPARE(window->image().pageCount, 128);
    // The erase counts on from what edErrrE shows.
    w<QLineEdit>("edErrrE")->setText("7");

    QSignalSpy finished(window.get(), &MainWindow::serviceFinished);
    holdAtFirstFrame();
    window->eraseDevice();
    QVERIFY(!window->isEnabled());
    QVERIFY(!w<QMenuBar>("mnuMain")->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(text("pnMsg"), QString("Programming ..."), 10000);
    gate.release();
    QVERIFY(finished.wait(10000));
    QVERIFY(window->isEnabled());
    QCOMPARE(
        questions,
        QStringList({"Erase the device's program?|Erase device ID 3 on TCP " + host + ":" + port +
                     ":\n2 blocks of 1024 bytes at 0x0000 to 0x0400?\n\n"
                     "Its program is gone until a firmware file is programmed again."}));
    QCOMPARE(window->image().pageCount, 5);
    QCOMPARE(requestAddresses(*device, 0x603B),
             (std::vector<std::uint32_t>{0x00000000, 0x00000400, 0x00000400}));
    QCOMPARE(text("edErrrE"), QString("8"));
    QCOMPARE(w<QProgressBar>("pbProgram")->maximum(), 96);
    QCOMPARE(w<QProgressBar>("pbProgram")->value(), 96);
    // The message bar and the lamp end on the outcome.
    QCOMPARE(text("pnMsg"), QString("Program/Download ok."));
    QVERIFY(!window->busyIndicatorRunning());
    QCOMPARE(window->lampColour(), QColor(255, 255, 0));
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());

    // Every erase answered at once: the counter keeps its value.
    QVERIFY(runService(ServiceFunction::Erase));
    QCOMPARE(text("edErrrE"), QString("8"));
    QCOMPARE(requestAddresses(*device, 0x603B).size(), std::size_t{5});

    // A file that was removed after it was chosen: nothing is erased.
    QVERIFY(QFile::remove(nextFile));
    QVERIFY(runService(ServiceFunction::Erase));
    QCOMPARE(text("pnMsg"), QString("Load firmware file error!"));
    QCOMPARE(requestAddresses(*device, 0x603B).size(), std::size_t{5});
    QCOMPARE(countEvents(*device, SimEventType::LinkOpened), std::size_t{2});
}

void ServiceWindowTest::eraseIsReachedOnlyByItsButtonAndAsksFirst() {
    device = device8401();
    open();
    w<QScrollBar>("sbID")->setValue(3);
    storeSimulatedLink();
    nextFile = firmware("FW.TVB", 0x8401, 128);
    window->askForFirmwareFile();
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    const QString shown = text("pnMsg");

    // Tab from the PIN box, then Space; and Tab round the whole window: the
    // keyboard never lands on a service button and starts nothing.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    w<QLineEdit>("edPIN")->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w<QLineEdit>("edPIN")));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    for (int i = 0; i < 60; ++i) {
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus != nullptr);
        QVERIFY2(!focus->objectName().startsWith("Button"), qPrintable(focus->objectName()));
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QVERIFY(!window->deviceOperationRunning());
    QVERIFY(questions.isEmpty());

    // The button asks first; a no erases nothing and leaves the message.
    answer = false;
    QVERIFY(runService(ServiceFunction::Erase));
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions[0].contains("device ID 3 on TCP " + host + ":" + port) &&
                 questions[0].contains("32 blocks of 1024 bytes at 0x0000 to 0x7C00?"),
             qPrintable(questions[0]));
    QCOMPARE(text("pnMsg"), shown);
    QCOMPARE(countEvents(*device, SimEventType::LinkOpened), std::size_t{0});

    // Device text is never read as markup.
    window->showDeviceField(DeviceField::Name, "<b>X</b>");
    QCOMPARE(w<QLabel>("pnDevicelName")->textFormat(), Qt::PlainText);
}

void ServiceWindowTest::readBackWritesThreeFilesIntoTheChosenFolder() {
    device = device8401();
    open();
    w<QScrollBar>("sbID")->setValue(3);
    storeSimulatedLink();
    // Names beyond ASCII, which Windows' narrow file calls would garble.
    nextFile = firmware(QString::fromUtf8("FW-\u00e9.TVB"), 0x8401, 2);
    window->askForFirmwareFile();
    const QString out = dir->filePath(QString::fromUtf8("out \u56fa\u4ef6 \u00fc"));
    QVERIFY(QDir().mkpath(out));
    nextFolders << out;

    QSignalSpy finished(window.get(), &MainWindow::serviceFinished);
    window->readBackDevice();
    QVERIFY(!window->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(finished.wait(10000));
    QVERIFY(window->isEnabled());
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    QCOMPARE(folderStarts, QStringList({""}));
    QCOMPARE(readStore().value(kValueReadBackFolder).toString(), out);

    // The dump: no header, then the device's first 90 pages.
    QFile dumpFile(out + "/FIRMWARE_READ.TVB");
    QVERIFY(dumpFile.open(QIODevice::ReadOnly));
    const QByteArray dump = dumpFile.readAll();
    QCOMPARE(dump.size(), 23072);
    QCOMPARE(dump.left(32), QByteArray(32, '\0'));
    const QByteArray memory = memoryOf(*device);
    QVERIFY(memory.size() >= 90 * 256);
    QVERIFY(dump.mid(32) == memory.left(90 * 256));

    // Every page answered with a 264-byte payload: 16 lines a page, and one
    // line a page beginning [264].
    const QStringList lines = crlfLines(out + "/FIRMWARE_READ_01.txt");
    QCOMPARE(lines.size(), 1440);
    QCOMPARE(lines[17], QString::fromLatin1(memory.mid(256 + 16, 16).toHex(' ').toUpper() + ' '));
    const QStringList pages = crlfLines(out + "/FIRMWARE_READ_03.txt");
    QCOMPARE(pages.size(), 90);
    for (const QString& page : pages) {
        QVERIFY2(page.startsWith("[264]") && page.size() == 5 + 768, qPrintable(page.left(10)));
    }
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), 3);
    QCOMPARE(text("edtPage1"), pages.last().mid(5));
    QCOMPARE(w<QProgressBar>("pbVerify")->value(), 90);
    QCOMPARE(text("edErrrP"), QString("0"));
    QCOMPARE(text("pnMsg"), QString("Program/Download ok."));
    QVERIFY2(questions.isEmpty(), "the read-back asks nothing");
    QCOMPARE(requestAddresses(*device, 0x603A).size(), std::size_t{90});
    // Last: the start request.
    QCOMPARE(lastRequest(*device).payload,
             (std::vector<std::uint8_t>{0x5B, 0xE4, 0, 0, 0, 0, 0, 0}));

    // The dump is no firmware file.
    nextFile = out + "/FIRMWARE_READ.TVB";
    window->askForFirmwareFile();
    QCOMPARE(text("pnMsg"), QString("Firmware file type error!"));
    QVERIFY(!w<QPushButton>("btnAuto")->isEnabled());

    // The dialog starts where the last read-back went; a cancel does nothing.
    window->readBackDevice();
    QCOMPARE(folderStarts, QStringList({"", out}));
    QVERIFY(!window->deviceOperationRunning());
}

void ServiceWindowTest::readBackFolderThatCannotBeWritten() {
    device = device8401();
    open();
    w<QScrollBar>("sbID")->setValue(3);
    storeSimulatedLink();
    nextFile = firmware("FW.TVB", 0x8401, 2);
    window->askForFirmwareFile();

    // A folder below a regular file and a regular file: refused before the
    // device is touched.
    QFile afile(dir->filePath("afile"));
    QVERIFY(afile.open(QIODevice::WriteOnly));
    afile.close();
    const QString shown = text("pnMsg");
    for (const QString& folder : {dir->filePath("afile/sub"), dir->filePath("afile")}) {
        messages.clear();
        nextFolders << folder;
        window->readBackDevice();
        QVERIFY(!window->deviceOperationRunning());
        QCOMPARE(messages.size(), 1);
        // The folder as the system writes it (backslashes on Windows).
        QVERIFY2(messages[0].contains("cannot be written into " + QDir::toNativeSeparators(folder)),
                 qPrintable(messages[0]));
    }
    QCOMPARE(countEvents(*device, SimEventType::LinkOpened), std::size_t{0});
    QCOMPARE(text("pnMsg"), shown);
    QVERIFY(!readStore().contains(kValueReadBackFolder));

    // A folder that disappears while the pages are read (before the tenth
    // page is asked for): the files cannot be completed, the failure is
    // shown and nothing is left behind. Windows refuses to remove a folder
    // whose files are open: there it cannot disappear.
    if (QSysInfo::productType() == QLatin1String("windows")) {
        QSKIP("Windows keeps a folder with open files from being removed");
    }
    const QString out = dir->filePath("gone");
    QVERIFY(QDir().mkpath(out));
    nextFolders << out;
    messages.clear();
    auto removed = std::make_shared<bool>(false);
    beforeWrite = [this, out, removed] {
        if (!*removed && requestAddresses(*device, 0x603A).size() == 9) {
            *removed = QDir(out).removeRecursively();
        }
    };
    QSignalSpy finished(window.get(), &MainWindow::serviceFinished);
    window->readBackDevice();
    QVERIFY(finished.wait(10000));
    QVERIFY(*removed);
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("cannot be written into " + out), qPrintable(messages[0]));
    QVERIFY(!QFileInfo::exists(out));
    QCOMPARE(text("pnMsg"), QString("Program/Download error!"));
    QVERIFY2(w<QLabel>("pnMsg")->toolTip().contains("cannot"),
             qPrintable(w<QLabel>("pnMsg")->toolTip()));
    QVERIFY(window->isEnabled());
    // No start request after a failed read-back.
    QCOMPARE(lastRequest(*device).command, std::uint16_t{0x603A});
}

FLASHMERE_QTEST_MAIN(ServiceWindowTest)
#include "service_window_test.moc"
