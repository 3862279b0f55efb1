#pragma once

// FLASHMERE_QTEST_MAIN(TestClass): QTEST_MAIN, or, in a program built with
// FLASHMERE_COMBINED_QTESTS, one Qt Test class among several that
// tests/support/combined_qtest_main.cpp runs one after the other under one
// QApplication. A Windows test program links the whole static Qt, which
// takes long: the window's test classes share one program there.

#include <QtTest>
#include <functional>

namespace flashmere::testing {

using QtTestRun = std::function<int(int argc, char** argv)>;
bool registerQtTest(const char* name, QtTestRun run);

}  // namespace flashmere::testing

#if defined(FLASHMERE_COMBINED_QTESTS)
#define FLASHMERE_QTEST_MAIN(TestObject)                                            \
    static const bool registered##TestObject =                                      \
        flashmere::testing::registerQtTest(#TestObject, [](int argc, char** argv) { \
            TestObject tc;                                                          \
            QTEST_SET_MAIN_SOURCE_PATH                                              \
            return QTest::qExec(&tc, argc, argv);                                   \
        });
#else
#define FLASHMERE_QTEST_MAIN(TestObject) QTEST_MAIN(TestObject)
#endif
