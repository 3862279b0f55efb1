#pragma once

#include <QByteArray>
#include <QObject>

class QAudioSink;
class QBuffer;

namespace flashmere {

// The outcome tone. Starting a tone never blocks and never fails: without an
// audio output there is simply no sound.
class TonePlayer {
  public:
    virtual ~TonePlayer() = default;
    virtual void play(int frequencyHz, int durationMs) = 0;
};

class SilentTonePlayer final : public TonePlayer {
  public:
    void play(int, int) override {}
};

// 16-bit signed little-endian mono samples of a sine, with a short fade in
// and out against clicks. Frequency and duration are clamped to what a
// speaker and an operator can use (20..20000 Hz, 0..5000 ms).
QByteArray sineSamples(int frequencyHz, int durationMs, int sampleRate);

// Plays through the default audio output with QAudioSink. Checks the device
// before creating a sink and the sink's error right after starting it, so a
// machine without sound stays silent at once.
class QtTonePlayer final : public QObject, public TonePlayer {
    Q_OBJECT
  public:
    explicit QtTonePlayer(QObject* parent = nullptr);
    ~QtTonePlayer() override;
    void play(int frequencyHz, int durationMs) override;

  private:
    void stopCurrent();
    QAudioSink* sink_ = nullptr;
    QBuffer* buffer_ = nullptr;
};

}  // namespace flashmere
