#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
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
ProcessResult runCli(const QStringList& args, const QString& settingsFile, int timeoutMs);

// A flashmere-devsim process: started, its endpoint read from its first
// line, stopped with SIGTERM so that it writes its memory dump.
class SimProcess {
  public:
    explicit SimProcess(const QTemporaryDir& dir) : dir_(dir) {}
    ~SimProcess() { stop(); }
    // Extra options after the endpoint; true once it listens.
    bool start(const QStringList& endpointAndOptions);
    // "127.0.0.1:PORT" or "/dev/pts/N".
    const QString& endpoint() const { return endpoint_; }
    // Stops the simulator and returns its memory.
    std::vector<std::uint8_t> stopAndDump();
    void stop();
    QString dumpPath() const { return dir_.filePath("device.bin"); }
    QString logPath() const { return dir_.filePath("transcript.jsonl"); }

  private:
    const QTemporaryDir& dir_;
    QProcess process_;
    QString endpoint_;
};

// A .TVB file with a patterned body of `bytes` bytes; returns its path.
QString makeFirmware(const QTemporaryDir& dir, const QString& name, std::uint16_t model, int bytes,
                     std::vector<std::uint8_t>* body = nullptr);

}  // namespace flashmere::testing
