#include "shell/tone.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace flashmere {
namespace {
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

}  // namespace flashmere
