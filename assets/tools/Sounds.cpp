#include "assets/tools/Sounds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace sounds {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

std::vector<float> silence(double seconds)
{
    return std::vector<float>(size_t(std::lround(seconds * kSampleRate)), 0.0f);
}

// A struck bell-like tone: fast attack, exponential decay, a little second harmonic for shine.
void addChimeNote(std::vector<float> &out, double start, double freq, double decay, double gain)
{
    const size_t first = size_t(std::lround(start * kSampleRate));
    for (size_t i = first; i < out.size(); ++i) {
        const double t = double(i - first) / kSampleRate;
        const double attack = std::min(1.0, t / 0.004);
        const double env = attack * std::exp(-t / decay);
        const double v = std::sin(kTwoPi * freq * t) + 0.30 * std::sin(kTwoPi * 2 * freq * t) +
                         0.08 * std::sin(kTwoPi * 3 * freq * t) * std::exp(-t / 0.03);
        out[i] += float(gain * env * v);
    }
}

// Fades in and out so the sound starts and ends at zero: a cut waveform clicks in the speaker.
void fadeEnds(std::vector<float> &s, double fadeIn, double fadeOut)
{
    const size_t in = size_t(fadeIn * kSampleRate);
    const size_t out = size_t(fadeOut * kSampleRate);
    for (size_t i = 0; i < in && i < s.size(); ++i)
        s[i] *= float(double(i) / in);
    for (size_t i = 0; i < out && i < s.size(); ++i)
        s[s.size() - 1 - i] *= float(double(i) / out);
}

void normalise(std::vector<float> &s, float peak)
{
    float max = 0;
    for (const float v : s)
        max = std::max(max, std::fabs(v));
    if (max > 0)
        for (float &v : s)
            v *= peak / max;
}

void putLE(QByteArray &b, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.append(char((v >> (8 * i)) & 0xff));
}

} // namespace

std::vector<float> acceptChime()
{
    auto s = silence(0.35);
    // G5 then C6: a rising fourth reads as "yes" without being shrill.
    addChimeNote(s, 0.0, 783.99, 0.09, 0.8);
    addChimeNote(s, 0.11, 1046.50, 0.12, 1.0);
    fadeEnds(s, 0.003, 0.04);
    normalise(s, 0.70f);
    return s;
}

std::vector<float> rejectBuzz()
{
    auto s = silence(0.50);
    // A square wave near 110 Hz with a sawtooth an octave up: harsh and steady, nothing like
    // the chime. Harmonics stop below 4 kHz so nothing aliases at this sample rate.
    constexpr double f = 110.0;
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = double(i) / kSampleRate;
        double v = 0;
        for (int k = 1; k * f < 4000; k += 2)
            v += std::sin(kTwoPi * k * f * t) / k;
        for (int k = 1; k * 2 * f < 4000; ++k)
            v += 0.35 * std::sin(kTwoPi * k * 2 * f * t) / k;
        s[i] = float(v);
    }
    fadeEnds(s, 0.012, 0.07);
    normalise(s, 0.60f);
    return s;
}

QByteArray toWav(const std::vector<float> &samples)
{
    const uint32_t dataBytes = uint32_t(samples.size() * 2);
    QByteArray b;
    b.reserve(int(44 + dataBytes));
    b.append("RIFF");
    putLE(b, 36 + dataBytes, 4);
    b.append("WAVE");
    b.append("fmt ");
    putLE(b, 16, 4);
    putLE(b, 1, 2); // PCM
    putLE(b, 1, 2); // mono
    putLE(b, kSampleRate, 4);
    putLE(b, kSampleRate * 2, 4); // byte rate
    putLE(b, 2, 2);               // block align
    putLE(b, 16, 2);              // bits per sample
    b.append("data");
    putLE(b, dataBytes, 4);
    for (const float v : samples) {
        const auto q = int16_t(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
        putLE(b, uint16_t(q), 2);
    }
    return b;
}

} // namespace sounds
