// The main of a program built from several Qt Test classes
// (tests/support/combined_qtest.h): one QApplication, then every class in
// turn with the same arguments; the exit code is the sum of their failures.
// Each class logs into a file of its own, copied to standard output after
// it: Qt Test on Windows sends what it would print there to the debugger
// instead, unless given a file.

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/combined_qtest.h"

namespace flashmere::testing {
namespace {

std::vector<std::pair<std::string, QtTestRun>>& registeredTests() {
    static std::vector<std::pair<std::string, QtTestRun>> tests;
    return tests;
}

bool namesAnOutput(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "-o") {
            return true;
        }
    }
    return false;
}

// Runs one class, its log in a file under `logs`, then copies the log.
int runLogged(const QtTestRun& run, const std::string& name, const QTemporaryDir& logs, int argc,
              char** argv) {
    const QString log = logs.filePath(QString::fromStdString(name) + ".txt");
    std::string output = (log + ",txt").toStdString();
    std::string option = "-o";
    std::vector<char*> arguments(argv, argv + argc);
    arguments.push_back(option.data());
    arguments.push_back(output.data());
    arguments.push_back(nullptr);
    const int failures = run(argc + 2, arguments.data());
    QFile file(log);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.readAll();
        std::fwrite(text.data(), 1, static_cast<std::size_t>(text.size()), stdout);
    }
    return failures;
}

}  // namespace

bool registerQtTest(const char* name, QtTestRun run) {
    registeredTests().emplace_back(name, std::move(run));
    return true;
}

}  // namespace flashmere::testing

int main(int argc, char** argv) {
    // Under Wine the offscreen platform finds none of the system's fonts,
    // and Wine hands no QT_* variable on: the test names a folder of fonts.
    if (const QByteArray fonts = qgetenv("FLASHMERE_TEST_FONT_DIR"); !fonts.isEmpty()) {
        qputenv("QT_QPA_FONTDIR", fonts);
    }
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    const bool ownOutput = flashmere::testing::namesAnOutput(argc, argv);
    QTemporaryDir logs;
    int failures = 0;
    for (const auto& [name, run] : flashmere::testing::registeredTests()) {
        std::fflush(stdout);
        failures += ownOutput || !logs.isValid()
                        ? run(argc, argv)
                        : flashmere::testing::runLogged(run, name, logs, argc, argv);
    }
    return failures;
}
