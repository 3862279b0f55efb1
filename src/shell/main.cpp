// flashmere: the firmware upgrade tool's window.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include "frontend/app_settings.h"
#include "frontend/message_table.h"
#include "shell/language_font.h"
#include "shell/liveness_probe.h"
#include "shell/main_window.h"

namespace {

// The window's command-line options.
struct WindowOptions {
    QCommandLineOption net{
        "net", "Use the TCP link to HOST:PORT (e.g. 127.0.0.1:5003, a simulated device).",
        "HOST:PORT"};
    QCommandLineOption file{"file", "Choose the firmware file PATH as if picked with step 1.",
                            "PATH"};
    QCommandLineOption lang{"lang", "Window language: en, zh-CN or zh-TW.", "LANG"};
    QCommandLineOption settings{
        "settings", "Read and store the settings in FILE (a JSON file) instead of the usual one.",
        "FILE"};
    QCommandLineOption noNote{"no-note", "Do not show the note box at start."};
    QCommandLineOption grab{
        "grab", "Render the window to the PNG file FILE once it is shown, then quit.", "FILE"};
    QCommandLineOption quit{"quit-after",
                            "Quit MS milliseconds after the window is shown (timing runs).", "MS"};
    QCommandLineOption liveness{
        "measure-liveness",
        "Write the largest gap between the ticks of a 10 ms timer during the first upgrade run "
        "to FILE (JSON).",
        "FILE"};
    QCommandLineOption autoUpgrade{
        "auto-upgrade",
        "Press Upgrade once the window shows; quit after the run (0 = Upgrade ok.)."};

    void addTo(QCommandLineParser& parser) const {
        parser.setApplicationDescription(
            "Flashmere writes firmware (.TVB files) into field devices over a serial line or "
            "TCP.\nWithout options the window starts with the stored settings. The options below "
            "set\nup this session only; as with any change made in the window, a link is stored\n"
            "only once a device has answered on it, and --lang is never stored.");
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({net, file, lang, settings, noNote, grab, quit, liveness, autoUpgrade});
    }
};

// True when the arguments ask only for the help or the version text.
bool asksForHelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            return false;
        }
        if (arg == "-h" || arg == "-?" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
            arg == "--version") {
            return true;
        }
    }
    return false;
}

// Prints the help or the version text and exits 0, with no display needed:
// only a core application object exists. Printed here rather than by the
// parser, which on Windows shows them in a message box instead of on
// standard output.
[[noreturn]] void printHelpOrVersion(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const WindowOptions options;
    options.addTo(parser);
    if (parser.parse(QCoreApplication::arguments()) && !parser.isSet("help-all")) {
        if (parser.isSet("version")) {
            std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                        qPrintable(QCoreApplication::applicationVersion()));
        } else {
            std::fputs(qPrintable(parser.helpText()), stdout);
        }
        std::exit(0);
    }
    // A usage error or --help-all (with Qt's own options): the parser's way.
    parser.process(app);
    parser.showHelp(0);
}

// What the command line asks of this session, its values checked.
struct Session {
    std::optional<int> language;
    QString netHost;  // empty: the stored link
    QString netPort;
    QString settingsFile;
    std::optional<QString> firmwareFile;
    std::optional<QString> grabFile;
    int quitAfter = -1;  // -1: no timed quit
    bool note = true;
    std::optional<QString> livenessFile;  // set with --measure-liveness or --auto-upgrade
    bool autoUpgrade = false;
};

// Prints the usage error; gives false for the caller to return.
bool usageError(const QString& message) {
    std::fprintf(stderr, "flashmere: %s\n", qPrintable(message));
    return false;
}

bool readLanguage(const QCommandLineParser& parser, const WindowOptions& options,
                  Session& session) {
    if (!parser.isSet(options.lang)) {
        return true;
    }
    const QString value = parser.value(options.lang);
    session.language = flashmere::languageIndexFromOption(value.toStdString());
    return session.language ||
           usageError(QString("--lang takes en, zh-CN or zh-TW, not \"%1\"").arg(value));
}

bool readNetLink(const QCommandLineParser& parser, const WindowOptions& options, Session& session) {
    if (!parser.isSet(options.net)) {
        return true;
    }
    const QString value = parser.value(options.net);
    const qsizetype colon = value.lastIndexOf(':');
    bool ok = false;
    const uint port = colon > 0 ? value.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || port > 65535) {
        return usageError(QString("--net takes HOST:PORT, not \"%1\"").arg(value));
    }
    session.netHost = value.left(colon);
    // "[v6]:port": the address goes into the box without its brackets.
    QString& host = session.netHost;
    if (host.size() > 2 && host.startsWith('[') && host.endsWith(']')) {
        host = host.mid(1, host.size() - 2);
    }
    session.netPort = QString::number(port);
    return true;
}

bool readQuitAfter(const QCommandLineParser& parser, const WindowOptions& options,
                   Session& session) {
    if (!parser.isSet(options.quit)) {
        return true;
    }
    bool ok = false;
    session.quitAfter = parser.value(options.quit).toInt(&ok);
    return (ok && session.quitAfter >= 0) || usageError("--quit-after takes milliseconds");
}

// The session the options ask for; nullopt after a message on stderr.
std::optional<Session> readSession(const QCommandLineParser& parser, const WindowOptions& options) {
    Session session;
    if (!readLanguage(parser, options, session) || !readNetLink(parser, options, session) ||
        !readQuitAfter(parser, options, session)) {
        return std::nullopt;
    }
    const auto valueIfSet = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    session.settingsFile = parser.value(options.settings);
    session.firmwareFile = valueIfSet(options.file);
    session.grabFile = valueIfSet(options.grab);
    session.note = !parser.isSet(options.noNote) && !session.grabFile && session.quitAfter < 0;
    session.autoUpgrade = parser.isSet(options.autoUpgrade);
    if (parser.isSet(options.liveness) || session.autoUpgrade) {
        session.livenessFile = parser.value(options.liveness);
    }
    return session;
}

// Shows the window as the session asks; the liveness run, when asked for,
// has begun.
std::unique_ptr<flashmere::LivenessRun> showWindow(flashmere::MainWindow& window,
                                                   const Session& session) {
    window.setNoteEnabled(session.note);
    if (session.language) {
        window.useLanguage(*session.language);
    }
    if (!session.netHost.isEmpty()) {
        window.useNetLink(session.netHost, session.netPort);
    }
    std::unique_ptr<flashmere::LivenessRun> liveness;
    if (session.livenessFile) {
        liveness = std::make_unique<flashmere::LivenessRun>(window, *session.livenessFile,
                                                            session.autoUpgrade);
    }
    window.show();
    // After showInWindowLanguage, which sets the message bar back to its first text.
    if (session.firmwareFile) {
        window.chooseFirmwareFile(*session.firmwareFile);
    }
    if (liveness) {
        liveness->begin();
    }
    return liveness;
}

// Runs the window's event loop: until the window is closed, or grabbed, or
// the quit time has passed.
int runWindow(const Session& session) {
    flashmere::AppSettings settings(session.settingsFile);
    flashmere::MainWindow window(settings);
    const auto liveness = showWindow(window, session);
    int status = 0;
    if (session.grabFile) {
        const QString path = *session.grabFile;
        QTimer::singleShot(0, &window, [&window, &status, path] {
            if (!window.grab().save(path, "PNG")) {
                std::fprintf(stderr, "flashmere: cannot write %s\n", qPrintable(path));
                status = 1;
            }
            QApplication::quit();
        });
    } else if (session.quitAfter >= 0) {
        QTimer::singleShot(session.quitAfter, qApp, &QApplication::quit);
    }
    const int result = QApplication::exec();
    return status != 0 ? status : result;
}

int run(int argc, char** argv) {
    QCoreApplication::setApplicationName("Flashmere");
    QCoreApplication::setApplicationVersion(FLASHMERE_VERSION);
    // Help and version are answered before the window system is touched.
    if (asksForHelpOrVersion(argc, argv)) {
        printHelpOrVersion(argc, argv);
    }
    QApplication app(argc, argv);
    flashmere::installFaceSubstitutions();

    QCommandLineParser parser;
    const WindowOptions options;
    options.addTo(parser);
    parser.process(app);
    const std::optional<Session> session = readSession(parser, options);
    return session ? runWindow(*session) : 2;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "flashmere: %s\n", e.what());
        return 1;
    }
}
