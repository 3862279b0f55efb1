// The outcome tone through Qt Multimedia (QAudioSink on the default output).
#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <QObject>

#include "shell/tone.h"

namespace flashmere {
namespace {

// Checks the device before creating a sink and the sink's error right after
// starting it: without a sound server a sink never changes state, so nothing
// may wait for it.
class QtTonePlayer final : public QObject, public TonePlayer {
  public:
    QtTonePlayer();
    ~QtTonePlayer() override;
    void play(int frequencyHz, int durationMs) override;

  private:
    void stopCurrent();
    QAudioSink* sink_ = nullptr;
    QBuffer* buffer_ = nullptr;
};

QtTonePlayer::QtTonePlayer() = default;

QtTonePlayer::~QtTonePlayer() {
    stopCurrent();
}

void QtTonePlayer::stopCurrent() {
    if (sink_ != nullptr) {
        sink_->disconnect(this);
        sink_->stop();
        sink_->deleteLater();
        sink_ = nullptr;
    }
    if (buffer_ != nullptr) {
        buffer_->deleteLater();
        buffer_ = nullptr;
    }
}

void QtTonePlayer::play(int frequencyHz, int durationMs) {
    stopCurrent();
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        return;
    }
    QAudioFormat format;
    format.setSampleRate(kToneSampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format)) {
        return;
    }
    buffer_ = new QBuffer(this);
    buffer_->setData(sineSamples(frequencyHz, durationMs, kToneSampleRate));
    buffer_->open(QIODevice::ReadOnly);
    sink_ = new QAudioSink(device, format, this);
    QAudioSink* sink = sink_;
    connect(sink_, &QAudioSink::stateChanged, this, [this, sink](QAudio::State state) {
        if (sink == sink_ && (state == QAudio::IdleState || state == QAudio::StoppedState)) {
            stopCurrent();
        }
    });
    sink_->start(buffer_);
    if (sink_ != nullptr && sink_->error() != QAudio::NoError) {
        stopCurrent();
    }
}

}  // namespace

std::unique_ptr<TonePlayer> makeSystemTonePlayer() {
    return std::make_unique<QtTonePlayer>();
}

}  // namespace flashmere
