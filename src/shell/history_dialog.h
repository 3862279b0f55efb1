#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "frontend/run_history.h"

class QLabel;
class QLineEdit;
class QMenu;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;

namespace flashmere {

// The history of runs as a table, newest first, with a filter box (any
// column, any case) and an export of the rows shown to a CSV file.
class HistoryDialog : public QDialog {
    Q_OBJECT
  public:
    HistoryDialog(RunHistory history, int languageIndex, QWidget* parent = nullptr);

    // The save dialog of the export; tests replace it. Empty: cancelled.
    std::function<QString(QWidget* parent)> chooseCsvFile;

    // Reads the history again into the table.
    void reload();
    // Writes the rows the filter shows, in the table's order; empty when
    // written, else why not (also shown in the dialog).
    QString exportCsv(const QString& path);

    QTableView* table() const { return table_; }
    QLineEdit* filterBox() const { return filter_; }
    int rowsShown() const;

  private:
    void exportClicked();
    void showCount();

    RunHistory history_;
    int languageIndex_;
    std::vector<RunRecord> records_;  // newest first, as the model's rows
    QStandardItemModel* model_;
    QSortFilterProxyModel* proxy_;
    QTableView* table_;
    QLineEdit* filter_;
    QLabel* status_;
    int damagedLines_ = 0;
    QString readError_;
};

// Puts "History…" into the window's File menu before its last entry (Exit),
// in the window's language each time the menu opens; it shows the history
// beside the settings file settingsPath.
void addHistoryMenuEntry(QMenu& fileMenu, QWidget& window, QString settingsPath,
                         std::function<int()> languageIndex);

}  // namespace flashmere
