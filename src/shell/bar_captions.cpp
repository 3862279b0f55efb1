#include "shell/bar_captions.h"

#include <QProgressBar>
#include <QString>

#include "frontend/progress_texts.h"

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
        program->setFormat(QString::fromUtf8(progressText(ProgressText::BarPages, languageIndex)));
    }
    running->setFormat(
        QString::fromUtf8(progressText(ProgressText::BarPagesAndTimes, languageIndex))
            .arg(QString::fromStdString(minutesAndSeconds(times.elapsedMs)),
                 QString::fromStdString(minutesAndSeconds(times.leftMs))));
    running->setTextVisible(true);
}

}  // namespace flashmere
