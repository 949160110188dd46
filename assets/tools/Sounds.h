#pragma once

#include <QByteArray>

#include <vector>

// The station's two signal sounds, synthesised so they can be regenerated and tuned in code.
namespace sounds {

constexpr int kSampleRate = 22050;

// Samples in -1..1.
std::vector<float> acceptChime();
std::vector<float> rejectBuzz();

// RIFF/WAVE file, 16-bit PCM, mono, kSampleRate.
QByteArray toWav(const std::vector<float> &samples);

} // namespace sounds
