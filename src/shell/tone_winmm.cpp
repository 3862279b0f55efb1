// The outcome tone through the Windows wave API (winmm): the same sine as
// on every system, handed to the default output and left to play.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// After windows.h, which it needs.
#include <mmsystem.h>

#include <QTimer>
#include <algorithm>

#include "shell/tone.h"

namespace flashmere {
namespace {

// waveOutWrite returns at once and the device plays the buffer on its own;
// the device is closed when the next tone starts, when the player goes, or
// a little after the tone's end, whichever comes first. Without an output
// device waveOutOpen fails and there is no sound.
class WinmmTonePlayer final : public TonePlayer {
  public:
    WinmmTonePlayer();
    ~WinmmTonePlayer() override;
    WinmmTonePlayer(const WinmmTonePlayer&) = delete;
    WinmmTonePlayer& operator=(const WinmmTonePlayer&) = delete;
    void play(int frequencyHz, int durationMs) override;

  private:
    void stopCurrent();
    // Closes the device once it has played the buffer out.
    void closeWhenDone();

    HWAVEOUT device_ = nullptr;
    WAVEHDR header_{};
    QByteArray samples_;
    QTimer closeTimer_;
};

constexpr int kCloseMarginMs = 250;

WinmmTonePlayer::WinmmTonePlayer() {
    closeTimer_.setSingleShot(true);
    QObject::connect(&closeTimer_, &QTimer::timeout, [this] { closeWhenDone(); });
}

WinmmTonePlayer::~WinmmTonePlayer() {
    stopCurrent();
}

void WinmmTonePlayer::stopCurrent() {
    closeTimer_.stop();
    if (device_ == nullptr) {
        return;
    }
    waveOutReset(device_);
    waveOutUnprepareHeader(device_, &header_, sizeof header_);
    waveOutClose(device_);
    device_ = nullptr;
    header_ = WAVEHDR{};
    samples_.clear();
}

void WinmmTonePlayer::closeWhenDone() {
    if (device_ != nullptr && (header_.dwFlags & WHDR_DONE) == 0) {
        closeTimer_.start(kCloseMarginMs);
        return;
    }
    stopCurrent();
}

void WinmmTonePlayer::play(int frequencyHz, int durationMs) {
    stopCurrent();
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = kToneSampleRate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = kToneSampleRate * 2;
    if (waveOutOpen(&device_, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        device_ = nullptr;
        return;
    }
    samples_ = sineSamples(frequencyHz, durationMs, kToneSampleRate);
    header_.lpData = samples_.data();
    header_.dwBufferLength = static_cast<DWORD>(samples_.size());
    if (waveOutPrepareHeader(device_, &header_, sizeof header_) != MMSYSERR_NOERROR) {
        waveOutClose(device_);
        device_ = nullptr;
        return;
    }
    if (waveOutWrite(device_, &header_, sizeof header_) != MMSYSERR_NOERROR) {
        stopCurrent();
        return;
    }
    closeTimer_.start(std::clamp(durationMs, 0, 5000) + kCloseMarginMs);
}

}  // namespace

std::unique_ptr<TonePlayer> makeSystemTonePlayer() {
    return std::make_unique<WinmmTonePlayer>();
}

}  // namespace flashmere
