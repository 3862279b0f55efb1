#include "shell/tone.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace flashmere {
namespace {
constexpr int kSampleRate = 22050;
constexpr double kAmplitude = 0.4 * 32767.0;
constexpr int kFadeMs = 5;
}  // namespace

QByteArray sineSamples(int frequencyHz, int durationMs, int sampleRate) {
    frequencyHz = std::clamp(frequencyHz, 20, 20000);
    durationMs = std::clamp(durationMs, 0, 5000);
    sampleRate = std::clamp(sampleRate, 8000, 192000);
    const qsizetype count = static_cast<qsizetype>(sampleRate) * durationMs / 1000;
    const qsizetype fade = std::min<qsizetype>(count / 2, sampleRate * kFadeMs / 1000);
    QByteArray bytes(count * 2, '\0');
    for (qsizetype i = 0; i < count; ++i) {
        double gain = 1.0;
        if (fade > 0 && i < fade) {
            gain = static_cast<double>(i) / static_cast<double>(fade);
        } else if (fade > 0 && i >= count - fade) {
            gain = static_cast<double>(count - 1 - i) / static_cast<double>(fade);
        }
        const double phase = 2.0 * std::numbers::pi * frequencyHz * static_cast<double>(i) /
                             static_cast<double>(sampleRate);
        const auto sample =
            static_cast<std::int16_t>(std::lround(kAmplitude * gain * std::sin(phase)));
        const auto u = static_cast<std::uint16_t>(sample);
        bytes[2 * i] = static_cast<char>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(u >> 8);
    }
    return bytes;
}

QtTonePlayer::QtTonePlayer(QObject* parent) : QObject(parent) {}

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
    format.setSampleRate(kSampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format)) {
        return;
    }
    buffer_ = new QBuffer(this);
    buffer_->setData(sineSamples(frequencyHz, durationMs, kSampleRate));
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

}  // namespace flashmere
