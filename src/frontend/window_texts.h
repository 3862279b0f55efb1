#pragma once

#include <string>

#include "frontend/message_table.h"

namespace flashmere {

// The window's own texts, beside the rows of the message table that the
// operations show: the dialogs, questions, refusals, tool tips, names for
// assistive technology, the History window and the progress bars' captions.
// Read the same way as the message table, textOf(row, languageIndex), in
// English, Simplified and Traditional Chinese (UTF-8). %1, %2, ... are the
// places of the values each text is given; "&" marks a keyboard accelerator.
// What the engine says about the device (a reason) is not among them: it
// stays as the engine wrote it.
enum class WindowText : int {
    // Menus and dialog buttons.
    RecentFiles,
    NoRecentFiles,
    Copy,
    Close,
    Details,
    // Qt's own message box buttons and text boxes' context menus.
    ButtonOk,
    ButtonYes,
    ButtonNo,
    EditUndo,
    EditRedo,
    EditCut,
    EditPaste,
    EditDelete,
    EditSelectAll,
    // The file panels while Upgrade has no file.
    FileNotInUse,
    // The settings file at start: %1 the file, %2 why (as the check said).
    SettingsNotUsed,
    // %1 the settings file, %2 where the unreadable one was kept.
    SettingsDamaged,
    // The close box during a device operation: %1 the ID, %2 the link.
    StopQuestionTitle,
    StopQuestion,
    // Before the erase: %1 the ID, %2 the link, %3 the blocks, %4 and %5 the
    // first and last block's address.
    EraseQuestionTitle,
    EraseQuestion,
    // A refused drop: %1 how many were dropped, or the file.
    DropOneFile,
    DropNotLocal,
    DropNotFirmware,
    DropUnreadable,
    // The ID box and the NET page's boxes: %1 the text typed, %2 the ID kept.
    IdBoxNote,
    IdBoxRefusal,
    IpBoxEmpty,
    PortBoxRefusal,
    // The read-back: %1 the folder, %2 why.
    ReadBackWriteError,
    FolderMissing,
    NotAFolder,
    FolderNotWritable,
    // A stored port that is not listed now: %1 its name.
    PortAbsent,
    // What the window adds to the engine's reasons: the boxes to check when
    // no device answered, and the next step when the device was left in its
    // boot loader.
    NoReplyAdviceCom,
    NoReplyAdviceNet,
    BootLoaderAdvice,
    // Names that assistive technology reads.
    NameMessage,
    NameFile,
    NameFileName,
    NameFileVersion,
    NameDeviceModel,
    NameDeviceSerial,
    NameDeviceId,
    NameDeviceName,
    NameDeviceVersion,
    NameDeviceBootLoader,
    // The History window: %1 rows shown, %2 rows in all; %1 lines skipped;
    // %1 the CSV file, %2 why.
    HistoryMenu,
    HistoryTitle,
    HistoryFilter,
    HistoryExport,
    HistoryCount,
    HistoryDamaged,
    HistoryNoOutcome,
    HistoryExportError,
    // The words a record keeps for its operation and front end, as the
    // History table shows them (English: the word itself).
    RecordUpgrade,
    RecordErase,
    RecordReadBack,
    RecordWindow,
    RecordCli,
    // The History table's columns, in their order.
    ColumnTime,
    ColumnRun,
    ColumnMessage,
    ColumnExit,
    ColumnReason,
    ColumnModel,
    ColumnSerial,
    ColumnId,
    ColumnLink,
    ColumnFrontEnd,
    ColumnUser,
    ColumnDeviceName,
    ColumnDeviceVersion,
    ColumnFile,
    ColumnFileVersion,
    ColumnSha256,
    ColumnErrors,
    ColumnSeconds,
    ColumnStation,
    ColumnFilePath,
    // A progress bar's caption: %v, %m and %p are the bar's own places
    // (page, pages, percent), %1 and %2 the elapsed time and the time left;
    // the same without times once the stage is over.
    BarPagesAndTimes,
    BarPages,
    // Device after device: the check box beside Upgrade, the message while
    // it waits, its stop button, and the count of the sitting (%1 ok, %2
    // not ok).
    NextUnitOption,
    WaitingForNextUnit,
    StopWaiting,
    UnitsCount,
    // The check after the start: the box beside Verify and Skip error, its
    // tool tip, and the message bar's text when "Upgrade ok." was reached
    // but the check failed.
    CheckAfterStartOption,
    CheckAfterStartTip,
    CheckAfterStartFailed,
};
constexpr int kWindowTextCount = static_cast<int>(WindowText::CheckAfterStartFailed) + 1;
constexpr int kHistoryColumnCount =
    static_cast<int>(WindowText::ColumnFilePath) - static_cast<int>(WindowText::ColumnTime) + 1;

// The text in a language; an index outside 0..2 reads English.
const std::string& textOf(WindowText text, int languageIndex);

}  // namespace flashmere
