// flashmere: the firmware upgrade tool's window.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string_view>

#include "frontend/app_settings.h"
#include "frontend/message_table.h"
#include "shell/language_font.h"
#include "shell/liveness_probe.h"
#include "shell/tfrmmodule.h"

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
// only a core application object exists.
[[noreturn]] void printHelpOrVersion(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const WindowOptions options;
    options.addTo(parser);
    parser.process(app);
    parser.showHelp(0);  // reached only for an argument process() did not act on
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
    const QCommandLineOption& netOption = options.net;
    const QCommandLineOption& fileOption = options.file;
    const QCommandLineOption& langOption = options.lang;
    const QCommandLineOption& settingsOption = options.settings;
    const QCommandLineOption& noNoteOption = options.noNote;
    const QCommandLineOption& grabOption = options.grab;
    const QCommandLineOption& quitOption = options.quit;
    const QCommandLineOption& livenessOption = options.liveness;
    const QCommandLineOption& autoUpgradeOption = options.autoUpgrade;

    std::optional<int> language;
    if (parser.isSet(langOption)) {
        language = flashmere::languageIndexFromOption(parser.value(langOption).toStdString());
        if (!language) {
            std::fprintf(stderr, "flashmere: --lang takes en, zh-CN or zh-TW, not \"%s\"\n",
                         qPrintable(parser.value(langOption)));
            return 2;
        }
    }
    QString netHost;
    QString netPort;
    if (parser.isSet(netOption)) {
        const QString value = parser.value(netOption);
        const qsizetype colon = value.lastIndexOf(':');
        bool ok = false;
        const uint port = colon > 0 ? value.mid(colon + 1).toUInt(&ok) : 0;
        if (!ok || port > 65535) {
            std::fprintf(stderr, "flashmere: --net takes HOST:PORT, not \"%s\"\n",
                         qPrintable(value));
            return 2;
        }
        netHost = value.left(colon);
        // "[v6]:port": the address goes into the box without its brackets.
        if (netHost.size() > 2 && netHost.startsWith('[') && netHost.endsWith(']')) {
            netHost = netHost.mid(1, netHost.size() - 2);
        }
        netPort = QString::number(port);
    }
    int quitAfter = -1;
    if (parser.isSet(quitOption)) {
        bool ok = false;
        quitAfter = parser.value(quitOption).toInt(&ok);
        if (!ok || quitAfter < 0) {
            std::fprintf(stderr, "flashmere: --quit-after takes milliseconds\n");
            return 2;
        }
    }

    flashmere::AppSettings settings(parser.value(settingsOption));
    flashmere::TfrmModule window(settings);
    const bool grab = parser.isSet(grabOption);
    window.setNoteEnabled(!parser.isSet(noNoteOption) && !grab && quitAfter < 0);
    if (language) {
        window.useLanguage(*language);
    }
    if (!netHost.isEmpty()) {
        window.useNetLink(netHost, netPort);
    }
    std::unique_ptr<flashmere::LivenessRun> liveness;
    if (parser.isSet(livenessOption) || parser.isSet(autoUpgradeOption)) {
        liveness = std::make_unique<flashmere::LivenessRun>(window, parser.value(livenessOption),
                                                            parser.isSet(autoUpgradeOption));
    }
    window.show();
    // After FormShow, which sets the message bar back to its first text.
    if (parser.isSet(fileOption)) {
        window.chooseFirmwareFile(parser.value(fileOption));
    }
    if (liveness) {
        liveness->begin();
    }

    int status = 0;
    if (grab) {
        const QString path = parser.value(grabOption);
        QTimer::singleShot(0, &window, [&window, &status, path] {
            if (!window.grab().save(path, "PNG")) {
                std::fprintf(stderr, "flashmere: cannot write %s\n", qPrintable(path));
                status = 1;
            }
            QApplication::quit();
        });
    } else if (quitAfter >= 0) {
        QTimer::singleShot(quitAfter, &app, &QApplication::quit);
    }
    const int result = QApplication::exec();
    return status != 0 ? status : result;
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
