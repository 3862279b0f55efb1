// The window's service buttons against flashmere-devsim processes: the three
// queries, the erase and the read-back, and that device operations never
// overlap.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include "firmware/firmware_writer.h"
#include "frontend/app_settings.h"
#include "shell/tfrmmodule.h"

using namespace flashmere;

namespace {

QString binDir() {
    const QString fromEnv = qEnvironmentVariable("FLASHMERE_BIN_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(FLASHMERE_BIN_DIR) : fromEnv;
}

// One simulated device process on a free TCP port, with its transcript.
class Device {
  public:
    explicit Device(const QString& logPath) : log_(logPath) {}
    ~Device() { stop(); }
    bool start(const QStringList& options) {
        process_.start(
            binDir() + "/flashmere-devsim",
            QStringList{"--tcp", "127.0.0.1:0", "--log", log_, "--dump", log_ + ".mem"} + options);
        if (!process_.waitForStarted(5000)) {
            return false;
        }
        QByteArray first;
        QElapsedTimer timer;
        timer.start();
        while (!first.contains('\n') && timer.elapsed() < 5000) {
            if (!process_.waitForReadyRead(200) && process_.state() != QProcess::Running) {
                return false;
            }
            first += process_.readAllStandardOutput();
        }
        const QString line = QString::fromUtf8(first.left(first.indexOf('\n')));
        if (!line.startsWith("listening on ")) {
            return false;
        }
        const QString address = line.mid(13);
        host = address.left(address.lastIndexOf(':'));
        port = address.mid(address.lastIndexOf(':') + 1);
        return true;
    }
    void stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000)) {
                process_.kill();
                process_.waitForFinished(2000);
            }
        }
    }
    // The transcript's events of one kind ("request", "link-opened", ...).
    std::vector<QJsonObject> events(const QString& kind) const {
        std::vector<QJsonObject> found;
        QFile file(log_);
        if (!file.open(QIODevice::ReadOnly)) {
            return found;
        }
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value("event").toString() == kind) {
                found.push_back(event);
            }
        }
        return found;
    }
    // page_address of every request with that command code.
    QStringList requestAddresses(const QString& command) const {
        QStringList addresses;
        for (const QJsonObject& e : events("request")) {
            if (e.value("command").toString() == command) {
                addresses << e.value("page_address").toString();
            }
        }
        return addresses;
    }
    // The device's memory, written when it stops.
    QByteArray memory() {
        stop();
        QFile file(log_ + ".mem");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString host;
    QString port;

  private:
    QString log_;
    QProcess process_;
};

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
    std::unique_ptr<TfrmModule> window;
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

    TfrmModule& open() {
        ShellHooks hooks;
        hooks.chooseFirmwareFile = [this](QWidget*) { return nextFile; };
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
        settings = std::make_unique<AppSettings>(storePath());
        window = std::make_unique<TfrmModule>(*settings, hooks);
        window->setNoteEnabled(false);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get())) {
            qWarning("window not exposed");
        }
        return *window;
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
    bool devsimBuilt() const { return QFileInfo(binDir() + "/flashmere-devsim").isExecutable(); }
    // Clicks a service button and waits until the window shows its end.
    bool runService(int button, int timeoutMs) {
        QSignalSpy finished(window.get(), &TfrmModule::serviceFinished);
        switch (button) {
            case 1:
                window->Button1Click();
                break;
            case 2:
                window->Button2Click();
                break;
            case 3:
                window->Button3Click();
                break;
            case 5:
                window->Button5Click();
                break;
            case 6:
                window->Button6Click();
                break;
            default:
                return false;
        }
        return finished.wait(timeoutMs) && finished.at(0).at(0).toInt() == button;
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        messages.clear();
        questions.clear();
        answer = true;
        folderStarts.clear();
        nextFolders.clear();
        nextFile.clear();
    }
    void cleanup() {
        window.reset();
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
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("reply");
    // Device 8401 with ID 3, serial number 12345678, name SIMDEVICE,
    // version 0100, ISP 0001.
    QTest::newRow("Get S/N") << 1 << "05 00 08 88 01 00 01 00 01 BA 07 "
                             << "84 01 12 34 56 78 00 03 ";
    QTest::newRow("Get ID") << 2 << "05 00 08 88 01 00 02 00 01 55 63 "
                            << "00 03 ";
    QTest::newRow("Get VER") << 3 << "05 00 08 88 01 00 03 00 01 0F BF "
                             << "53 49 4D 44 45 56 49 43 45 00 00 00 01 00 00 01 ";
}

void ServiceWindowTest::queriesCarryAddressOneAndTraceTheReply() {
    QFETCH(int, button);
    QFETCH(QString, frame);
    QFETCH(QString, reply);
    if (!devsimBuilt()) {
        QSKIP("no flashmere-devsim in this build");
    }
    Device device(dir->filePath("device.jsonl"));
    QVERIFY(device.start({"--model", "8401", "--id", "3"}));
    open();
    // The link page points at the device; the stored settings do not.
    w<QTabWidget>("pcPort")->setCurrentWidget(w<QWidget>("tsNet"));
    w<QLineEdit>("edIP")->setText(device.host);
    w<QLineEdit>("edPort")->setText(device.port);
    QCOMPARE(settings->netIP, std::string("192.168.1.101"));
    // The ID box does not matter: queries always go to address 1.
    w<QScrollBar>("sbID")->setValue(7);

    QVERIFY(runService(button, 10000));
    QCOMPARE(text("edtTX"), frame);
    QCOMPARE(text("edtRX"), reply);
    // Only the traces: message bar, counters and window state stay.
    QCOMPARE(text("pnMsg"), QString("Select firmware file"));
    QVERIFY(window->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(!window->busyIndicatorRunning());
    // captureLinkSettings took the page into memory; nothing was stored.
    QCOMPARE(settings->linkKind, kLinkNet);
    QCOMPARE(settings->netPort, device.port.toStdString());
    QVERIFY(!QFile::exists(storePath()));
    QCOMPARE(device.events("request").size(), std::size_t{1});
}

void ServiceWindowTest::queryOnAMissingSerialPortShowsNothing() {
    open();
    w<QTabWidget>("pcPort")->setCurrentWidget(w<QWidget>("tsCom"));
    w<QComboBox>("cmbPort")->setEditText(dir->filePath("no-such-port"));
    QVERIFY(runService(1, 10000));
    QCOMPARE(text("edtTX"), QString());
    QCOMPARE(text("edtRX"), QString());
    QCOMPARE(text("pnMsg"), QString("Select firmware file"));
    QVERIFY(w<QPushButton>("Button1")->isEnabled());
}

void ServiceWindowTest::noSecondOperationWhileAQueryWaits() {
    if (!devsimBuilt()) {
        QSKIP("no flashmere-devsim in this build");
    }
    Device device(dir->filePath("device.jsonl"));
    // The ID query's reply leaves 700 ms late, inside the 1000 ms limit.
    QVERIFY(device.start({"--model", "8401", "--id", "3", "--fault", "cmd:0002:delay=700"}));
    open();
    window->useNetLink(device.host, device.port);
    nextFile = firmware("FW.TVB", 0x8401, 4);
    window->btnSelectClick();
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    nextFolders << dir->path();

    QSignalSpy finished(window.get(), &TfrmModule::serviceFinished);
    QSignalSpy runs(window.get(), &TfrmModule::runFinished);
    window->Button2Click();
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
    window->btnAutoClick();
    window->Button1Click();
    window->Button3Click();
    window->Button5Click();
    window->Button6Click();
    QVERIFY(folderStarts.isEmpty());
    window->close();
    QVERIFY(window->isVisible());

    QVERIFY(finished.wait(5000));
    QTest::qWait(300);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 2);
    QCOMPARE(runs.size(), 0);
    QCOMPARE(text("edtTX"), QString("05 00 08 88 01 00 02 00 01 55 63 "));
    QCOMPARE(text("edtRX"), QString("00 03 "));
    QCOMPARE(device.events("request").size(), std::size_t{1});
    QCOMPARE(device.events("link-opened").size(), std::size_t{1});
    // Every control is back as it was; Button4 has no function and stays.
    for (const char* name :
         {"btnAuto", "btnSelect", "Button1", "Button2", "Button3", "Button5", "Button6"}) {
        QVERIFY2(w<QPushButton>(name)->isEnabled(), name);
    }
    QVERIFY(!window->deviceOperationRunning());
}

void ServiceWindowTest::eraseLoadsTheChosenFileAndCountsARetry() {
    if (!devsimBuilt()) {
        QSKIP("no flashmere-devsim in this build");
    }
    Device device(dir->filePath("device.jsonl"));
    // The erase of the second block (page 4) is not heard the first time.
    QVERIFY(device.start({"--model", "8401", "--id", "3", "--fault", "erase:4:fail=1"}));
    open();
    w<QScrollBar>("sbID")->setValue(3);
    // The erase takes the stored link, not the link page.
    settings->linkKind = kLinkNet;
    settings->netIP = device.host.toStdString();
    settings->netPort = device.port.toStdString();
    w<QTabWidget>("pcPort")->setCurrentWidget(w<QWidget>("tsCom"));

    // A page store left by an earlier image of 128 pages; the chosen file
    // has 5, and the erase covers those.
    window->image().pageCount = 128;
    nextFile = firmware("FW5.TVB", 0x8401, 5);
    window->btnSelectClick();
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());
    QCOMPARE(window->image().pageCount, 128);
    // The erase counts on from what edErrrE shows.
    w<QLineEdit>("edErrrE")->setText("7");

    QSignalSpy finished(window.get(), &TfrmModule::serviceFinished);
    window->Button5Click();
    QVERIFY(!window->isEnabled());
    QVERIFY(!w<QMenuBar>("mnuMain")->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QTRY_COMPARE(text("pnMsg"), QString("Programming ..."));
    QVERIFY(finished.wait(20000));
    QVERIFY(window->isEnabled());
    QCOMPARE(questions,
             QStringList({"ZENTA_FIRMWARE_ERASE|Erase device ID 3 on TCP " + device.host + ":" +
                          device.port +
                          ":\n2 blocks of 1024 bytes at 0x0000 to 0x0400?\n\n"
                          "Its program is gone until a firmware file is programmed again."}));
    QCOMPARE(window->image().pageCount, 5);
    QCOMPARE(device.requestAddresses("0x603B"),
             QStringList({"0x00000000", "0x00000400", "0x00000400"}));
    QCOMPARE(text("edErrrE"), QString("8"));
    QCOMPARE(w<QProgressBar>("pbProgram")->maximum(), 96);
    QCOMPARE(w<QProgressBar>("pbProgram")->value(), 96);
    // The message bar and the lamp end on the outcome.
    QCOMPARE(text("pnMsg"), QString("Program/Download ok."));
    QVERIFY(!window->busyIndicatorRunning());
    QCOMPARE(window->lampColour(), QColor(255, 255, 0));
    QVERIFY(w<QPushButton>("btnAuto")->isEnabled());

    // Every erase answered at once: the counter keeps its value.
    QVERIFY(runService(5, 20000));
    QCOMPARE(text("edErrrE"), QString("8"));
    QCOMPARE(device.requestAddresses("0x603B").size(), 5);

    // A file that was removed after it was chosen: nothing is erased.
    QVERIFY(QFile::remove(nextFile));
    QVERIFY(runService(5, 20000));
    QCOMPARE(text("pnMsg"), QString("Load firmware file error!"));
    QCOMPARE(device.requestAddresses("0x603B").size(), 5);
    QCOMPARE(device.events("link-opened").size(), std::size_t{2});
}

void ServiceWindowTest::eraseIsReachedOnlyByItsButtonAndAsksFirst() {
    if (!devsimBuilt()) {
        QSKIP("no flashmere-devsim in this build");
    }
    Device device(dir->filePath("device.jsonl"));
    QVERIFY(device.start({"--model", "8401", "--id", "3"}));
    open();
    w<QScrollBar>("sbID")->setValue(3);
    settings->linkKind = kLinkNet;
    settings->netIP = device.host.toStdString();
    settings->netPort = device.port.toStdString();
    nextFile = firmware("FW.TVB", 0x8401, 128);
    window->btnSelectClick();
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
    QVERIFY(runService(5, 10000));
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions[0].contains("device ID 3 on TCP " + device.host + ":" + device.port) &&
                 questions[0].contains("32 blocks of 1024 bytes at 0x0000 to 0x7C00?"),
             qPrintable(questions[0]));
    QCOMPARE(text("pnMsg"), shown);
    QVERIFY(device.events("link-opened").empty());

    // Device text is never read as markup.
    window->setDevicePanel(DevicePanel::pnDevicelName, "<b>X</b>");
    QCOMPARE(w<QLabel>("pnDevicelName")->textFormat(), Qt::PlainText);
}

void ServiceWindowTest::readBackWritesThreeFilesIntoTheChosenFolder() {
    if (!devsimBuilt()) {
        QSKIP("no flashmere-devsim in this build");
    }
    Device device(dir->filePath("device.jsonl"));
    QVERIFY(device.start({"--model", "8401", "--id", "3"}));
    open();
    w<QScrollBar>("sbID")->setValue(3);
    settings->linkKind = kLinkNet;
    settings->netIP = device.host.toStdString();
    settings->netPort = device.port.toStdString();
    nextFile = firmware("FW.TVB", 0x8401, 2);
    window->btnSelectClick();
    const QString out = dir->filePath("out");
    QVERIFY(QDir().mkpath(out));
    nextFolders << out;

    QSignalSpy finished(window.get(), &TfrmModule::serviceFinished);
    window->Button6Click();
    QVERIFY(!window->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(finished.wait(40000));
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
    const QByteArray memory = device.memory();
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
    QCOMPARE(device.requestAddresses("0x603A").size(), 90);
    // Last: the start request.
    QCOMPARE(device.events("request").back().value("payload").toString(),
             QString("5BE4000000000000"));

    // The dump is no firmware file.
    nextFile = out + "/FIRMWARE_READ.TVB";
    window->btnSelectClick();
    QCOMPARE(text("pnMsg"), QString("Firmware file type error!"));
    QVERIFY(!w<QPushButton>("btnAuto")->isEnabled());

    // The dialog starts where the last read-back went; a cancel does nothing.
    window->Button6Click();
    QCOMPARE(folderStarts, QStringList({"", out}));
    QVERIFY(!window->deviceOperationRunning());
}

void ServiceWindowTest::readBackFolderThatCannotBeWritten() {
    if (!devsimBuilt()) {
        QSKIP("no flashmere-devsim in this build");
    }
    Device device(dir->filePath("device.jsonl"));
    QVERIFY(device.start({"--model", "8401", "--id", "3"}));
    open();
    w<QScrollBar>("sbID")->setValue(3);
    settings->linkKind = kLinkNet;
    settings->netIP = device.host.toStdString();
    settings->netPort = device.port.toStdString();
    nextFile = firmware("FW.TVB", 0x8401, 2);
    window->btnSelectClick();

    // A folder below a regular file and a regular file: refused before the
    // device is touched.
    QFile afile(dir->filePath("afile"));
    QVERIFY(afile.open(QIODevice::WriteOnly));
    afile.close();
    const QString shown = text("pnMsg");
    for (const QString& folder : {dir->filePath("afile/sub"), dir->filePath("afile")}) {
        messages.clear();
        nextFolders << folder;
        window->Button6Click();
        QVERIFY(!window->deviceOperationRunning());
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].contains("cannot be written into " + folder), qPrintable(messages[0]));
    }
    QVERIFY(device.events("link-opened").empty());
    QCOMPARE(text("pnMsg"), shown);
    QVERIFY(!readStore().contains(kValueReadBackFolder));

    // A folder that disappears while the pages are read: the files cannot be
    // completed, the failure is shown and nothing is left behind.
    const QString out = dir->filePath("gone");
    QVERIFY(QDir().mkpath(out));
    nextFolders << out;
    messages.clear();
    QSignalSpy finished(window.get(), &TfrmModule::serviceFinished);
    window->Button6Click();
    QTRY_VERIFY_WITH_TIMEOUT(!text("edtPage1").isEmpty(), 10000);
    QVERIFY(QDir(out).removeRecursively());
    QVERIFY(finished.wait(40000));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("cannot be written into " + out), qPrintable(messages[0]));
    QVERIFY(!QFileInfo::exists(out));
    QCOMPARE(text("pnMsg"), QString("Program/Download error!"));
    QVERIFY2(w<QLabel>("pnMsg")->toolTip().contains("cannot"),
             qPrintable(w<QLabel>("pnMsg")->toolTip()));
    QVERIFY(window->isEnabled());
    // No start request after a failed read-back.
    QCOMPARE(device.events("request").back().value("command").toString(), QString("0x603A"));
}

QTEST_MAIN(ServiceWindowTest)
#include "service_window_test.moc"
