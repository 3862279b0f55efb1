#pragma once

#include <QByteArray>
#include <memory>

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

// The sample rate every player uses for sineSamples.
constexpr int kToneSampleRate = 22050;

// 16-bit signed little-endian mono samples of a sine, with a short fade in
// and out against clicks. Frequency and duration are clamped to what a
// speaker and an operator can use (20..20000 Hz, 0..5000 ms).
QByteArray sineSamples(int frequencyHz, int durationMs, int sampleRate);

// The player of this system's default sound output: Qt Multimedia on Linux
// (tone_qt.cpp), the Windows wave API on Windows (tone_winmm.cpp). Each
// checks for a device first, so a machine without sound stays silent at
// once, and none waits for a tone to end.
std::unique_ptr<TonePlayer> makeSystemTonePlayer();

}  // namespace flashmere
