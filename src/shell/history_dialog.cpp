#include "shell/history_dialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "shell/qt_texts.h"
#include "shell/screen_fit.h"

namespace flashmere {
namespace {

// The column captions. The outcome comes right after the time and the run,
// so that it is seen without scrolling.
QStringList columnNames(int languageIndex) {
    QStringList captions;
    for (int i = 0; i < kHistoryColumnCount; ++i) {
        captions << windowText(
            static_cast<WindowText>(static_cast<int>(WindowText::ColumnTime) + i), languageIndex);
    }
    return captions;
}

// A record keeps the message in English; the table shows it as the window
// would, in its language. Text that is no row of the message table stays.
QString shownMessage(const RunRecord& r, int languageIndex) {
    if (!hasOutcome(r)) {
        return windowText(WindowText::HistoryNoOutcome, languageIndex);
    }
    const std::string recorded = r.message.toStdString();
    for (int row = 0; row < kMessageTableRows; ++row) {
        if (textOf(TableRow(row), kLanguageEnglish) == recorded) {
            return QString::fromStdString(textOf(TableRow(row), languageIndex));
        }
    }
    return r.message;
}

// The record's word for its operation or front end, in the language.
QString shownWord(const QString& recorded, int languageIndex) {
    for (const WindowText word :
         {WindowText::RecordUpgrade, WindowText::RecordErase, WindowText::RecordReadBack,
          WindowText::RecordWindow, WindowText::RecordCli}) {
        if (textOf(word, kLanguageEnglish) == recorded.toStdString()) {
            return windowText(word, languageIndex);
        }
    }
    return recorded;
}

QList<QStandardItem*> rowItems(const RunRecord& r, int languageIndex) {
    const QStringList cells = {
        r.time,
        shownWord(r.operation, languageIndex),
        shownMessage(r, languageIndex),
        listedExit(r),
        listedReason(r),
        r.deviceModel,
        r.deviceSerial,
        QString::number(r.id),
        r.address + (r.mode.isEmpty() ? QString() : " " + r.mode),
        shownWord(r.frontEnd, languageIndex),
        r.user,
        r.deviceName,
        r.deviceVersion,
        r.fileName,
        r.fileVersion,
        r.fileSha256,
        QStringLiteral("%1/%2/%3").arg(r.counters[0]).arg(r.counters[1]).arg(r.counters[2]),
        QString::number(r.seconds, 'f', 1),
        r.station,
        r.filePath};
    QList<QStandardItem*> items;
    for (const QString& cell : cells) {
        auto* item = new QStandardItem(printableText(cell));
        item->setEditable(false);
        items << item;
    }
    return items;
}

}  // namespace

HistoryDialog::HistoryDialog(RunHistory history, int languageIndex, QWidget* parent)
    : QDialog(parent),
      history_(std::move(history)),
      languageIndex_(languageIndex),
      model_(new QStandardItemModel(this)),
      proxy_(new QSortFilterProxyModel(this)),
      table_(new QTableView(this)),
      filter_(new QLineEdit(this)),
      status_(new QLabel(this)) {
    setWindowTitle(windowText(WindowText::HistoryTitle, languageIndex));
    // Smaller on a small screen: the table scrolls, the buttons stay in view.
    resize(QSize(900, 480).boundedTo(roomOnScreen(*this)));
    proxy_->setSourceModel(model_);
    proxy_->setFilterKeyColumn(-1);
    proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    table_->setModel(proxy_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->hide();
    table_->setAccessibleName(windowText(WindowText::HistoryTitle, languageIndex));
    filter_->setPlaceholderText(windowText(WindowText::HistoryFilter, languageIndex));
    filter_->setAccessibleName(windowText(WindowText::HistoryFilter, languageIndex));
    filter_->setClearButtonEnabled(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
        proxy_->setFilterFixedString(text);
        showCount();
    });

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* exportButton = buttons->addButton(
        windowText(WindowText::HistoryExport, languageIndex), QDialogButtonBox::ActionRole);
    exportButton->setObjectName("exportCsv");
    buttons->addButton(windowText(WindowText::Close, languageIndex), QDialogButtonBox::RejectRole);
    connect(exportButton, &QPushButton::clicked, this, &HistoryDialog::exportClicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(filter_);
    layout->addWidget(table_);
    layout->addWidget(status_);
    layout->addWidget(buttons);

    chooseCsvFile = [](QWidget* owner) {
        return QFileDialog::getSaveFileName(owner, QString(), QStringLiteral("history.csv"),
                                            QStringLiteral("CSV files (*.csv)"));
    };
    reload();
}

void HistoryDialog::reload() {
    const HistoryContent content = history_.read();
    model_->clear();
    model_->setHorizontalHeaderLabels(columnNames(languageIndex_));
    records_.assign(content.records.rbegin(), content.records.rend());
    for (const RunRecord& record : records_) {
        model_->appendRow(rowItems(record, languageIndex_));
    }
    damagedLines_ = content.damagedLines;
    readError_ = content.error;
    table_->resizeColumnsToContents();
    // A long reason would push the device's columns out of sight.
    constexpr int kReasonColumn = 4;
    table_->setColumnWidth(kReasonColumn, std::min(table_->columnWidth(kReasonColumn), 320));
    showCount();
}

int HistoryDialog::rowsShown() const {
    return proxy_->rowCount();
}

void HistoryDialog::showCount() {
    QString text = windowText(WindowText::HistoryCount, languageIndex_)
                       .arg(proxy_->rowCount())
                       .arg(model_->rowCount());
    if (damagedLines_ > 0) {
        text += "; " + windowText(WindowText::HistoryDamaged, languageIndex_).arg(damagedLines_);
    }
    if (!readError_.isEmpty()) {
        text += "; " + readError_;
    }
    status_->setText(text + " \u2014 " + history_.filePath());
}

QString HistoryDialog::exportCsv(const QString& path) {
    QByteArray bytes = historyCsvHeader();
    for (int row = 0; row < proxy_->rowCount(); ++row) {
        const auto source =
            static_cast<std::size_t>(proxy_->mapToSource(proxy_->index(row, 0)).row());
        if (source < records_.size()) {
            bytes += historyCsvRow(records_[source]);
        }
    }
    QSaveFile file(path);
    QString problem;
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        problem = windowText(WindowText::HistoryExportError, languageIndex_)
                      .arg(path, file.errorString());
        status_->setText(problem);
    }
    return problem;
}

void HistoryDialog::exportClicked() {
    const QString path = chooseCsvFile ? chooseCsvFile(this) : QString();
    if (!path.isEmpty()) {
        exportCsv(path);
    }
}

void addHistoryMenuEntry(QMenu& fileMenu, QWidget& window, QString settingsPath,
                         std::function<int()> languageIndex) {
    auto* action = new QAction(&fileMenu);
    action->setObjectName("mnuHistory");
    const QList<QAction*> entries = fileMenu.actions();
    fileMenu.insertAction(entries.isEmpty() ? nullptr : entries.last(), action);
    const auto caption = [action, languageIndex] {
        action->setText(windowText(WindowText::HistoryMenu, languageIndex()));
    };
    caption();
    QObject::connect(&fileMenu, &QMenu::aboutToShow, action, caption);
    QObject::connect(action, &QAction::triggered, &window, [&window, settingsPath, languageIndex] {
        HistoryDialog dialog(RunHistory::besideSettings(settingsPath), languageIndex(), &window);
        dialog.exec();
    });
}

}  // namespace flashmere
