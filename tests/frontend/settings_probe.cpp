// Loads the settings from the file named on the command line and prints what
// was read, one "name=value" per line (used by the settings test to read a
// store back in a fresh process).
#include <QCoreApplication>
#include <cstdio>

#include "frontend/app_settings.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: frontend_settings_probe SETTINGS_FILE\n");
        return 2;
    }
    flashmere::AppSettings settings(QString::fromLocal8Bit(argv[1]));
    settings.loadSettings();
    std::printf("linkKind=%d\n", settings.linkKind);
    std::printf("ComPortName=%s\n", settings.comPortName.c_str());
    std::printf("ComBaudRate=%s\n", settings.comBaudRate.c_str());
    std::printf("NetIP=%s\n", settings.netIP.c_str());
    std::printf("NetPort=%s\n", settings.netPort.c_str());
    std::printf("LanguageFlag=%s\n", settings.languageFlag.c_str());
    std::printf("languageIndex=%d\n", settings.languageIndex);
    return 0;
}
