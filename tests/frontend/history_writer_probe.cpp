// Appends records to a history as one of several writers at once:
//   frontend_history_writer FOLDER MAX_BYTES KEEP TAG COUNT
// Record i has the front end TAG and the ID i. Exits 0 when every record was
// written, 1 (with the reason on stderr) at the first that was not.
#include <cstdio>
#include <cstdlib>

#include "frontend/run_history.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: frontend_history_writer FOLDER MAX_BYTES KEEP TAG COUNT\n");
        return 2;
    }
    const flashmere::RunHistory history(QString::fromLocal8Bit(argv[1]), std::atoll(argv[2]),
                                        std::atoi(argv[3]));
    const int count = std::atoi(argv[5]);
    for (int i = 0; i < count; ++i) {
        flashmere::RunRecord record;
        record.time = QStringLiteral("2026-12-08T10:00:00+01:00");
        record.frontEnd = QString::fromLocal8Bit(argv[4]);
        record.id = i;
        // Device text with a control byte and non-ASCII, and a long reason:
        // a line of several hundred bytes.
        record.deviceName = QStringLiteral("N\u00e4me\x01");
        record.reason = QString(400, QChar(u'\u00e9'));
        const QString problem = history.append(record);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "record %d: %s\n", i, qPrintable(problem));
            return 1;
        }
    }
    return 0;
}
