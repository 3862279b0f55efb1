// The main of a program built from several Qt Test classes
// (tests/support/combined_qtest.h): one QApplication, then every class in
// turn with the same arguments; the exit code is the sum of their failures.

#include <QApplication>
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

}  // namespace

bool registerQtTest(const char* name, QtTestRun run) {
    registeredTests().emplace_back(name, std::move(run));
    return true;
}

}  // namespace flashmere::testing

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    int failures = 0;
    for (const auto& [name, run] : flashmere::testing::registeredTests()) {
        std::printf("== %s\n", name.c_str());
        std::fflush(stdout);
        failures += run(argc, argv);
    }
    return failures;
}
