#include "shell/bar_captions.h"

#include <QProgressBar>
#include <QString>

#include "shell/qt_texts.h"

namespace flashmere {

void clearBarCaptions(QProgressBar* program, QProgressBar* verify) {
    for (QProgressBar* bar : {program, verify}) {
        bar->setTextVisible(false);
        bar->resetFormat();
    }
}

void showBarTimes(QProgressBar* program, QProgressBar* verify, const RunTimes& times,
                  int languageIndex) {
    QProgressBar* running = times.verifying ? verify : program;
    if (times.verifying && program->isTextVisible()) {
        program->setFormat(windowText(WindowText::BarPages, languageIndex));
    }
    running->setFormat(windowText(WindowText::BarPagesAndTimes, languageIndex)
                           .arg(QString::fromStdString(minutesAndSeconds(times.elapsedMs)),
                                QString::fromStdString(minutesAndSeconds(times.leftMs))));
    running->setTextVisible(true);
}

void settleBarCaptions(QProgressBar* program, QProgressBar* verify, int languageIndex) {
    for (QProgressBar* bar : {program, verify}) {
        if (bar->isTextVisible()) {
            bar->setFormat(windowText(WindowText::BarPages, languageIndex));
        }
    }
}

}  // namespace flashmere
