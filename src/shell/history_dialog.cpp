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
#include <array>

#include "shell/screen_fit.h"

namespace flashmere {
namespace {

// The dialog's own words in English, Simplified and Traditional Chinese.
enum class Word { Menu, Title, Filter, Export, Close, Count, Damaged, NoOutcome };
QString wordOf(Word word, int languageIndex) {
    static const std::array<std::array<const char*, 3>, 8> words = {{
        {"History\u2026", "\u5386\u53f2\u8bb0\u5f55\u2026", "\u6b77\u53f2\u8a18\u9304\u2026"},
        {"History", "\u5386\u53f2\u8bb0\u5f55", "\u6b77\u53f2\u8a18\u9304"},
        {"Filter", "\u7b5b\u9009", "\u7be9\u9078"},
        {"Export CSV\u2026", "\u5bfc\u51fa CSV\u2026", "\u532f\u51fa CSV\u2026"},
        {"Close", "\u5173\u95ed", "\u95dc\u9589"},
        {"%1 of %2 runs", "%1 / %2", "%1 / %2"},
        {"%1 damaged lines skipped", "已略过 %1 行损坏的记录", "已略過 %1 行損壞的記錄"},
        {"ended without an outcome", "\u5df2\u7ed3\u675f\uff0c\u672a\u8bb0\u5f55\u7ed3\u679c",
         "\u5df2\u7d50\u675f\uff0c\u672a\u8a18\u9304\u7d50\u679c"},
    }};
    const int language = languageIndex >= 0 && languageIndex < 3 ? languageIndex : 0;
    return QString::fromUtf8(words[static_cast<std::size_t>(word)][language]);
}

// The column captions in English, Simplified and Traditional Chinese. The
// outcome comes right after the time and the run, so that it is seen without
// scrolling.
QStringList columnNames(int languageIndex) {
    // clang-format off
    static const std::array<std::array<const char*, 3>, 20> names = {{
        {"Time", "时间", "時間"},
        {"Run", "操作", "操作"},
        {"Message", "讯息", "訊息"},
        {"Exit", "结束码", "結束碼"},
        {"Reason", "原因", "原因"},
        {"Model", "机型", "機型"},
        {"Serial", "序号", "序號"},
        {"ID", "ID", "ID"},
        {"Link", "连线", "連線"},
        {"Front end", "前端", "前端"},
        {"User", "用户", "使用者"},
        {"Device name", "装置名称", "裝置名稱"},
        {"Device version", "装置版本", "裝置版本"},
        {"File", "档名", "檔名"},
        {"File version", "档案版本", "檔案版本"},
        {"SHA-256", "SHA-256", "SHA-256"},
        {"Errors (E/P/V)", "错误 (E/P/V)", "錯誤 (E/P/V)"},
        {"Seconds", "秒数", "秒數"},
        {"Station", "工作站", "工作站"},
        {"File path", "档案路径", "檔案路徑"},
    }};
    // clang-format on
    const int language = languageIndex >= 0 && languageIndex < 3 ? languageIndex : 0;
    QStringList captions;
    for (const auto& name : names) {
        captions << QString::fromUtf8(name[static_cast<std::size_t>(language)]);
    }
    return captions;
}

QList<QStandardItem*> rowItems(const RunRecord& r, int languageIndex) {
    const QStringList cells = {
        r.time,
        r.operation,
        hasOutcome(r) ? r.message : wordOf(Word::NoOutcome, languageIndex),
        listedExit(r),
        listedReason(r),
        r.deviceModel,
        r.deviceSerial,
        QString::number(r.id),
        r.address + (r.mode.isEmpty() ? QString() : " " + r.mode),
        r.frontEnd,
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
    setWindowTitle(wordOf(Word::Title, languageIndex));
    // Smaller on a small screen: the table scrolls, the buttons stay in view.
    resize(QSize(900, 480).boundedTo(roomOnScreen(*this)));
    proxy_->setSourceModel(model_);
    proxy_->setFilterKeyColumn(-1);
    proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    table_->setModel(proxy_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->hide();
    table_->setAccessibleName(wordOf(Word::Title, languageIndex));
    filter_->setPlaceholderText(wordOf(Word::Filter, languageIndex));
    filter_->setAccessibleName(wordOf(Word::Filter, languageIndex));
    filter_->setClearButtonEnabled(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
        proxy_->setFilterFixedString(text);
        showCount();
    });

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* exportButton =
        buttons->addButton(wordOf(Word::Export, languageIndex), QDialogButtonBox::ActionRole);
    exportButton->setObjectName("exportCsv");
    buttons->addButton(wordOf(Word::Close, languageIndex), QDialogButtonBox::RejectRole);
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
    QString text =
        wordOf(Word::Count, languageIndex_).arg(proxy_->rowCount()).arg(model_->rowCount());
    if (damagedLines_ > 0) {
        text += "; " + wordOf(Word::Damaged, languageIndex_).arg(damagedLines_);
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
        problem = QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
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
        action->setText(wordOf(Word::Menu, languageIndex()));
    };
    caption();
    QObject::connect(&fileMenu, &QMenu::aboutToShow, action, caption);
    QObject::connect(action, &QAction::triggered, &window, [&window, settingsPath, languageIndex] {
        HistoryDialog dialog(RunHistory::besideSettings(settingsPath), languageIndex(), &window);
        dialog.exec();
    });
}

}  // namespace flashmere
