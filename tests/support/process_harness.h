#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashmere::testing {

// The folder of the built programs.
QString binDir();

struct ProcessResult {
    int exitCode = -1;
    bool finished = false;
    QString out;
    QString err;
    qint64 elapsedMs = 0;
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

// Runs flashmere-cli with a private settings store; never longer than timeoutMs.
// With ulimit ("-Sn 1024"), under the limits the shell's ulimit sets so.
ProcessResult runCli(const QStringList& args, const QString& settingsFile, int timeoutMs,
                     const QString& ulimit = {});

// A flashmere-devsim process: started, its endpoint read from its first
// line, stopped with SIGTERM so that it writes its memory dump. The one
// launcher of the simulator for every test.
class SimProcess {
  public:
    // name: the stem of its dump and log files; several simulators in one
    // folder need different names.
    explicit SimProcess(const QTemporaryDir& dir, QString name = "device")
        : dir_(dir), name_(std::move(name)) {}
    ~SimProcess() { stop(); }
    // Extra options after the endpoint; true once it listens. With
    // --tcp-ports N, lines is N: the lines it serves, without log or dump.
    bool start(const QStringList& endpointAndOptions, int lines = 1);
    // "127.0.0.1:PORT" or "/dev/pts/N".
    const QString& endpoint() const { return endpoint_; }
    // Every line's endpoint, the first one first.
    const QStringList& endpoints() const { return endpoints_; }
    // Stops the simulator and returns its memory.
    std::vector<std::uint8_t> stopAndDump();
    // Sends SIGTERM (if it still runs) and waits; its exit code, or nullopt
    // when it had to be killed or crashed.
    std::optional<int> stop();
    // Waits at most timeoutMs for it to end by itself; its exit code, or
    // nullopt when it did not end normally in that time.
    std::optional<int> waitForExit(int timeoutMs);
    // One device: the dump file. Several (a bus): the folder of ID.bin files.
    QString dumpPath() const { return dir_.filePath(name_ + ".bin"); }
    QString logPath() const {
        return dir_.filePath(name_ == "device" ? "transcript.jsonl" : name_ + ".jsonl");
    }
    // The memory of the device with this ID on a bus, once stopped.
    std::vector<std::uint8_t> busDump(int id) const;

  private:
    const QTemporaryDir& dir_;
    QString name_;
    QProcess process_;
    QString endpoint_;
    QStringList endpoints_;
};

// Waits, on the file system's change notices and never longer than
// timeoutMs, until the transcript at path holds an event of that type.
bool waitForTranscriptEvent(const QString& path, const QString& type, int timeoutMs);

// What the programs wrote, read back: empty when the file cannot be read.
QByteArray fileBytes(const QString& path);
QJsonObject readJson(const QString& path);
QString sha256Of(const QString& path);  // lower-case hex
// False when the file cannot be written whole.
bool writeText(const QString& path, const QString& text);
// One field of every row of a fleet report, in row order, as text.
QStringList fieldOfRows(const QJsonObject& report, const QString& field);
// Whether memory begins with image.
bool holdsImage(std::span<const std::uint8_t> memory, const std::vector<std::uint8_t>& image);

// A .TVB file with a patterned body of `bytes` bytes; returns its path.
QString makeFirmware(const QTemporaryDir& dir, const QString& name, std::uint16_t model, int bytes,
                     std::vector<std::uint8_t>* body = nullptr);

}  // namespace flashmere::testing
