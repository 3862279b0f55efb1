#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashmere {

// One device run as the history keeps it: who ran what, on which device,
// with which file, and how it ended. Texts are UTF-8; texts that came from a
// device or a file name are kept as decoded by textFromBytes.
struct RunRecord {
    // The run's own name, the same in each of its lines: a run writes a line
    // when it starts, one when it begins to change the device, and one at
    // its end; a listing joins them. Empty in lines of older versions, which
    // wrote one line per run at its end.
    QString run;
    // How far a run without an ending got: kStageStarted, kStageWriting or
    // kStageStopped. Empty for a run that ended; only then is exit meaningful.
    QString stage;
    QString time;       // start of the run, ISO 8601 with the offset from UTC
    QString user;       // the station's user
    QString station;    // the station's host name
    QString frontEnd;   // "window", "cli" or "fleet"
    QString operation;  // "upgrade", "erase" or "readback"
    QString link;       // "net" or "com"
    QString address;    // the link as the user gave it
    QString mode;       // the serial settings of a com link, else empty
    int id = 0;         // the device ID the run addressed
    // The device as identified; empty fields were not identified.
    QString deviceModel;
    QString deviceName;
    QString deviceVersion;
    QString deviceSerial;
    // The version the device reported when it was checked after the start
    // (upgrade --check-after); empty when it was not checked or did not answer.
    QString deviceVersionAfter;
    // The firmware file; the hash names the bytes the run loaded, and is
    // empty when the run loaded none.
    QString filePath;
    QString fileName;
    QString fileFirmware;  // the program name in the file's header
    QString fileVersion;
    QString fileSha256;
    QString message;  // the run's last fixed message, in English
    int exit = 0;     // the exit code flashmere-cli gives this ending
    QString reason;
    int counters[3] = {0, 0, 0};  // erase, program and verify errors
    double seconds = 0;
};

inline constexpr const char* kStageStarted = "started";  // nothing changed on the device yet
inline constexpr const char* kStageWriting = "writing";  // the device's memory was being changed
inline constexpr const char* kStageStopped = "stopped";  // stopped by a signal while writing

// The message and reason a listing shows: for a run without an ending, that
// it has none, what it had done, and what that leaves on the device.
bool hasOutcome(const RunRecord& record);
QString listedMessage(const RunRecord& record);
QString listedReason(const RunRecord& record);
QString listedExit(const RunRecord& record);

// The lines of one run as one record, in place of its first line: a later
// line replaces an earlier one, except that a stop told after the run's
// ending is left out and a stop keeps what the run had shown before it.
void joinRunLines(std::vector<RunRecord>& records);

// The record as one line of JSON, newline included.
QByteArray historyLine(const RunRecord& record);
// A line of the history read back; nothing for a line that is not a record
// (cut short, garbled, or not an object with a time and either an exit
// code or a run and its stage).
std::optional<RunRecord> parseHistoryLine(QByteArrayView line);

// The time of a record, or an invalid time when it does not parse.
QDateTime recordTime(const RunRecord& record);
// Now, as ISO 8601 with the local offset from UTC ("2026-12-08T21:40:00+01:00").
QString isoTimeWithOffset(const QDateTime& time);

// Bytes from a device or a file system as text: valid UTF-8 as it is, every
// other byte as the Latin-1 character of its value, so nothing is lost or
// replaced by something else.
QString textFromBytes(std::string_view bytes);
// Text made inert for a table or a terminal: control characters as \xNN.
QString printableText(const QString& text);

// The CSV columns and one record as a CSV row (line end included). Cells
// that a spreadsheet would take for a formula get a leading apostrophe.
QByteArray historyCsvHeader();
QByteArray historyCsvRow(const RunRecord& record);

}  // namespace flashmere
