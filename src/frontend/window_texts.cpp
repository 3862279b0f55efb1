#include "frontend/window_texts.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace flashmere {
namespace {

struct RowTexts {
    WindowText row;
    const char* english;
    const char* simplified;
    const char* traditional;
};

// The Chinese columns use the message table's words for the things it names
// (韧体/韌體 firmware, 档案/檔案 file, 装置/裝置 device, the captions of the
// boxes and pages), so that a text names what the window shows.
// clang-format off
constexpr RowTexts kRows[] = {
    {WindowText::RecentFiles, "&Recent firmware files", "最近的韧体档案(&R)", "最近的韌體檔案(&R)"},
    {WindowText::NoRecentFiles, "(none)", "(无)", "(無)"},
    {WindowText::Copy, "&Copy", "复制(&C)", "複製(&C)"},
    {WindowText::Close, "Close", "关闭", "關閉"},
    {WindowText::Details, "Details", "详细", "詳細"},
    {WindowText::ButtonOk, "OK", "确定", "確定"},
    {WindowText::ButtonYes, "&Yes", "是(&Y)", "是(&Y)"},
    {WindowText::ButtonNo, "&No", "否(&N)", "否(&N)"},
    {WindowText::EditUndo, "&Undo", "撤销(&U)", "復原(&U)"},
    {WindowText::EditRedo, "&Redo", "重做(&R)", "重做(&R)"},
    {WindowText::EditCut, "Cu&t", "剪切(&T)", "剪下(&T)"},
    {WindowText::EditPaste, "&Paste", "粘贴(&P)", "貼上(&P)"},
    {WindowText::EditDelete, "Delete", "删除", "刪除"},
    {WindowText::EditSelectAll, "Select All", "全选", "全選"},
    {WindowText::FileNotInUse,
     "Not in use: Upgrade has no firmware file. Choose one with step 1.",
     "未使用：更新没有韧体档案。请以步骤 1 选择。",
     "未使用：更新沒有韌體檔案。請以步驟 1 選擇。"},
    {WindowText::SettingsNotUsed,
     "The settings file %1 is not used (%2). It is left as it is: the window starts with the "
     "default settings and stores none.",
     "未使用设定档 %1（%2）。档案保持原样：视窗以预设设定启动，不会储存设定。",
     "未使用設定檔 %1（%2）。檔案保持原樣：視窗以預設設定啟動，不會儲存設定。"},
    {WindowText::SettingsDamaged,
     "The settings file %1 could not be read (it was cut short or damaged). It was kept as %2, "
     "and a fresh one was written: the settings start from their defaults and are saved again.",
     "无法读取设定档 %1（档案不完整或已损坏）。原档已保留为 %2，并已写入新的设定档：设定从预设值开始，"
     "之后会再次储存。",
     "無法讀取設定檔 %1（檔案不完整或已損壞）。原檔已保留為 %2，並已寫入新的設定檔：設定從預設值開始，"
     "之後會再次儲存。"},
    {WindowText::StopQuestionTitle, "Stop the running operation?", "要停止执行中的操作吗？",
     "要停止執行中的操作嗎？"},
    {WindowText::StopQuestion,
     "Device ID %1 on %2 is being worked on.\n\nStop now and close the window? The device stays "
     "in its boot loader, without a program to run, until it is upgraded again.",
     "正在处理 %2 上的装置 ID %1。\n\n要立即停止并关闭视窗吗？装置会停留在开机载入程式中，没有可执行的"
     "程式，直到再次更新。",
     "正在處理 %2 上的裝置 ID %1。\n\n要立即停止並關閉視窗嗎？裝置會停留在開機載入程式中，沒有可執行的"
     "程式，直到再次更新。"},
    {WindowText::EraseQuestionTitle, "Erase the device's program?", "要擦除装置的程式吗？",
     "要抹除裝置的程式嗎？"},
    {WindowText::EraseQuestion,
     "Erase device ID %1 on %2:\n%3 blocks of 1024 bytes at %4 to %5?\n\nIts program is gone "
     "until a firmware file is programmed again.",
     "要擦除 %2 上的装置 ID %1 吗：\n%4 至 %5 的 %3 个 1024 字节区块？\n\n擦除后装置没有程式，"
     "直到再次烧录韧体档案。",
     "要抹除 %2 上的裝置 ID %1 嗎：\n%4 至 %5 的 %3 個 1024 位元組區塊？\n\n抹除後裝置沒有程式，"
     "直到再次燒錄韌體檔案。"},
    {WindowText::DropOneFile,
     "Drop one firmware file (*.TVB) at a time; %1 were dropped.",
     "一次只能拖放一个韧体档案 (*.TVB)；刚才拖放了 %1 个。",
     "一次只能拖放一個韌體檔案 (*.TVB)；剛才拖放了 %1 個。"},
    {WindowText::DropNotLocal,
     "%1 is not a file on this computer: only a firmware file (*.TVB) can be dropped here.",
     "%1 不是这台电脑上的档案：这里只能拖放韧体档案 (*.TVB)。",
     "%1 不是這台電腦上的檔案：這裡只能拖放韌體檔案 (*.TVB)。"},
    {WindowText::DropNotFirmware,
     "%1 is not a firmware file (*.TVB): only a firmware file can be dropped here.",
     "%1 不是韧体档案 (*.TVB)：这里只能拖放韧体档案。",
     "%1 不是韌體檔案 (*.TVB)：這裡只能拖放韌體檔案。"},
    {WindowText::DropUnreadable, "%1 is not a file that can be read.", "%1 不是可读取的档案。",
     "%1 不是可讀取的檔案。"},
    {WindowText::IdBoxNote,
     "\u201C%1\u201D is not a device ID from 0 to 9999: the ID stays %2",
     "“%1”不是 0 至 9999 的装置 ID：ID 仍为 %2",
     "「%1」不是 0 至 9999 的裝置 ID：ID 仍為 %2"},
    {WindowText::IdBoxRefusal,
     "The ID box holds \u201C%1\u201D, which is not a device ID from 0 to 9999. Nothing was "
     "started: correct the ID box.",
     "ID 栏中是“%1”，不是 0 至 9999 的装置 ID。没有开始任何操作：请更正 ID 栏。",
     "ID 欄中是「%1」，不是 0 至 9999 的裝置 ID。沒有開始任何操作：請更正 ID 欄。"},
    {WindowText::IpBoxEmpty,
     "The IP box on the NET page is empty. Nothing was started: give the device's IP address or "
     "host name.",
     "网路页的 IP 栏是空的。没有开始任何操作：请输入装置的 IP 地址或主机名称。",
     "網路頁的 IP 欄是空的。沒有開始任何操作：請輸入裝置的 IP 位址或主機名稱。"},
    {WindowText::PortBoxRefusal,
     "The Port box on the NET page holds \u201C%1\u201D, which is not a TCP port from 1 to "
     "65535. Nothing was started: correct the Port box.",
     "网路页的连接阜栏中是“%1”，不是 1 至 65535 的 TCP 连接阜。没有开始任何操作：请更正连接阜栏。",
     "網路頁的連接阜欄中是「%1」，不是 1 至 65535 的 TCP 連接阜。沒有開始任何操作：請更正連接阜欄。"},
    {WindowText::ReadBackWriteError, "The read-back files cannot be written into %1: %2.",
     "无法将读回的档案写入 %1：%2。", "無法將讀回的檔案寫入 %1：%2。"},
    {WindowText::FolderMissing, "the folder does not exist", "资料夹不存在", "資料夾不存在"},
    {WindowText::NotAFolder, "it is not a folder", "这不是资料夹", "這不是資料夾"},
    {WindowText::FolderNotWritable, "the folder is not writable", "资料夹无法写入",
     "資料夾無法寫入"},
    {WindowText::PortAbsent, "%1 is not present now (it worked before)",
     "%1 目前不存在（之前曾可使用）", "%1 目前不存在（先前曾可使用）"},
    {WindowText::NoReplyAdviceCom, "check the ID box, and the Port and Speed of the COM page",
     "请检查 ID 栏，以及串列页的连接阜与速率", "請檢查 ID 欄，以及串列頁的連接阜與速率"},
    {WindowText::NoReplyAdviceNet, "check the ID box, and the IP and Port boxes of the NET page",
     "请检查 ID 栏，以及网路页的 IP 与连接阜栏", "請檢查 ID 欄，以及網路頁的 IP 與連接阜欄"},
    {WindowText::BootLoaderAdvice,
     "The device now stays in its boot loader without a program to run: press 2. Upgrade again "
     "with the same file.",
     "装置现在停留在开机载入程式中，没有可执行的程式：请以同一个档案再按一次“2. 更新”。",
     "裝置現在停留在開機載入程式中，沒有可執行的程式：請以同一個檔案再按一次「2. 更新」。"},
    {WindowText::NameMessage, "Message", "讯息", "訊息"},
    {WindowText::NameFile, "Firmware file", "韧体档案", "韌體檔案"},
    {WindowText::NameFileName, "Firmware name in the file", "档案中的韧体名称", "檔案中的韌體名稱"},
    {WindowText::NameFileVersion, "Firmware version in the file", "档案中的韧体版本",
     "檔案中的韌體版本"},
    {WindowText::NameDeviceModel, "Device model", "装置机型", "裝置機型"},
    {WindowText::NameDeviceSerial, "Device serial number", "装置序号", "裝置序號"},
    {WindowText::NameDeviceId, "Device ID reported", "装置回报的 ID", "裝置回報的 ID"},
    {WindowText::NameDeviceName, "Device name", "装置名称", "裝置名稱"},
    {WindowText::NameDeviceVersion, "Device firmware version", "装置韧体版本", "裝置韌體版本"},
    {WindowText::NameDeviceBootLoader, "Device boot loader version", "装置开机载入程式版本",
     "裝置開機載入程式版本"},
    {WindowText::HistoryMenu, "History\u2026", "历史记录\u2026", "歷史記錄\u2026"},
    {WindowText::HistoryTitle, "History", "历史记录", "歷史記錄"},
    {WindowText::HistoryFilter, "Filter", "筛选", "篩選"},
    {WindowText::HistoryExport, "Export CSV\u2026", "导出 CSV\u2026", "匯出 CSV\u2026"},
    {WindowText::HistoryCount, "%1 of %2 runs", "显示 %1 / 共 %2 次操作", "顯示 %1 / 共 %2 次操作"},
    {WindowText::HistoryDamaged, "%1 damaged lines skipped", "已略过 %1 行损坏的记录",
     "已略過 %1 行損壞的記錄"},
    {WindowText::HistoryNoOutcome, "ended without an outcome", "已结束，未记录结果",
     "已結束，未記錄結果"},
    {WindowText::HistoryExportError, "%1 cannot be written: %2", "无法写入 %1：%2",
     "無法寫入 %1：%2"},
    {WindowText::RecordUpgrade, "upgrade", "更新", "更新"},
    {WindowText::RecordErase, "erase", "擦除", "抹除"},
    {WindowText::RecordReadBack, "readback", "读回", "讀回"},
    {WindowText::RecordWindow, "window", "视窗", "視窗"},
    {WindowText::RecordCli, "cli", "命令行", "命令列"},
    {WindowText::ColumnTime, "Time", "时间", "時間"},
    {WindowText::ColumnRun, "Run", "操作", "操作"},
    {WindowText::ColumnMessage, "Message", "讯息", "訊息"},
    {WindowText::ColumnExit, "Exit", "结束码", "結束碼"},
    {WindowText::ColumnReason, "Reason", "原因", "原因"},
    {WindowText::ColumnModel, "Model", "机型", "機型"},
    {WindowText::ColumnSerial, "Serial", "序号", "序號"},
    {WindowText::ColumnId, "ID", "ID", "ID"},
    {WindowText::ColumnLink, "Link", "连线", "連線"},
    {WindowText::ColumnFrontEnd, "Front end", "前端", "前端"},
    {WindowText::ColumnUser, "User", "用户", "使用者"},
    {WindowText::ColumnDeviceName, "Device name", "装置名称", "裝置名稱"},
    {WindowText::ColumnDeviceVersion, "Device version", "装置版本", "裝置版本"},
    {WindowText::ColumnFile, "File", "档名", "檔名"},
    {WindowText::ColumnFileVersion, "File version", "档案版本", "檔案版本"},
    {WindowText::ColumnSha256, "SHA-256", "SHA-256", "SHA-256"},
    {WindowText::ColumnErrors, "Errors (E/P/V)", "错误 (E/P/V)", "錯誤 (E/P/V)"},
    {WindowText::ColumnSeconds, "Seconds", "秒数", "秒數"},
    {WindowText::ColumnStation, "Station", "工作站", "工作站"},
    {WindowText::ColumnFilePath, "File path", "档案路径", "檔案路徑"},
    {WindowText::BarPagesAndTimes,
     "page %v of %m \u00B7 %p%   %1 elapsed \u00B7 %2 left",
     "第 %v / %m 页 \u00B7 %p%   已用 %1 \u00B7 剩余 %2",
     "第 %v / %m 頁 \u00B7 %p%   已用 %1 \u00B7 剩餘 %2"},
    {WindowText::BarPages, "page %v of %m \u00B7 %p%", "第 %v / %m 页 \u00B7 %p%",
     "第 %v / %m 頁 \u00B7 %p%"},
    {WindowText::NextUnitOption, "Next device automatically", "自动更新下一台装置",
     "自動更新下一台裝置"},
    {WindowText::WaitingForNextUnit, "Waiting for the next device ...", "等待下一台装置 ...",
     "等待下一台裝置 ..."},
    {WindowText::StopWaiting, "Stop waiting", "停止等待", "停止等待"},
    {WindowText::UnitsCount, "Units: %1 ok, %2 not ok", "装置: %1 完成, %2 失败",
     "裝置: %1 完成, %2 失敗"},
    {WindowText::CheckAfterStartOption, "Check after start", "启动后检查", "啟動後檢查"},
    {WindowText::CheckAfterStartTip,
     "After the reboot wait, the device is asked again who it is, without waking its boot "
     "loader, and the version it reports is shown.",
     "重启等待结束后, 再次询问装置的身份 (不唤醒其引导程序), 并显示它报告的版本.",
     "重啟等待結束後, 再次詢問裝置的身分 (不喚醒其引導程式), 並顯示它報告的版本."},
    {WindowText::CheckAfterStartFailed, "Upgrade ok., but the check after the start failed!",
     "更新完成, 但启动后检查失败!", "更新完成, 但啟動後檢查失敗!"},
};
// clang-format on

static_assert(std::size(kRows) == kWindowTextCount, "one entry per window text");

using Table = std::array<std::array<std::string, kLanguageCount>, kWindowTextCount>;

Table buildTable() {
    Table table;
    for (int i = 0; i < kWindowTextCount; ++i) {
        const RowTexts& entry = kRows[i];
        // Written in row order; a slip would show the wrong text.
        if (static_cast<int>(entry.row) != i) {
            std::fprintf(stderr, "window texts out of order at row %d\n", i);
            std::abort();
        }
        table[i] = {entry.english, entry.simplified, entry.traditional};
    }
    return table;
}

}  // namespace

const std::string& textOf(WindowText text, int languageIndex) {
    static const Table table = buildTable();
    int row = static_cast<int>(text);
    if (row < 0 || row >= kWindowTextCount) {
        row = 0;
    }
    if (languageIndex < 0 || languageIndex >= kLanguageCount) {
        languageIndex = kLanguageEnglish;
    }
    return table[row][languageIndex];
}

}  // namespace flashmere
