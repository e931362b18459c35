#pragma once
// What the sound tests of the live outputs share: a tone fed in real time
// through an output's audio entry point, as the audio tap would, and the
// measures taken of what a player decoded (level, dominant frequency, the
// streams it finds).
#include "live/audio/TappedAudio.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace soundtest {

// Feeds a sine tone from its own thread in 10 ms pieces, stamped from 0 at
// its start (the picture feeds of the tests count from their start too).
class ToneFeed {
public:
    ToneFeed(std::function<void(const TappedAudio&)> feed, double hz, int sampleRate, int channels)
        : m_thread([=, this, feed = std::move(feed)] {
              const int piece = sampleRate / 100;
              const auto start = std::chrono::steady_clock::now();
              std::vector<int16_t> samples(static_cast<size_t>(piece * channels));
              for (int64_t done = 0; !m_stop; done += piece) {
                  for (int i = 0; i < piece; ++i) {
                      const double t = static_cast<double>(done + i) / sampleRate;
                      const auto v = static_cast<int16_t>(std::lround(12000.0 * std::sin(2 * M_PI * hz * t)));
                      for (int c = 0; c < channels; ++c)
                          samples[static_cast<size_t>(i * channels + c)] = v;
                  }
                  if (m_feeding)
                      feed(TappedAudio{samples.data(), static_cast<size_t>(piece), channels, sampleRate,
                                       done * 10000000 / sampleRate});
                  std::this_thread::sleep_until(start + std::chrono::microseconds((done + piece) * 1000000 / sampleRate));
              }
          })
    {
    }
    ~ToneFeed()
    {
        m_stop = true;
        m_thread.join();
    }
    // Stops handing sound over (the input lost); the clock runs on.
    void Silence() { m_feeding = false; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_feeding{true};
    std::thread m_thread;
};

// Signed 16-bit little-endian mono samples from raw bytes.
inline std::vector<int16_t> Samples(const std::string& bytes)
{
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    return out;
}

// The level of s[begin, begin + count): the root of the mean square over
// `count` samples, those past the end counting as silence; by default from
// `begin` to the end.
inline double Rms(const std::vector<int16_t>& s, size_t begin = 0, size_t count = SIZE_MAX)
{
    if (count == SIZE_MAX)
        count = s.size() > begin ? s.size() - begin : 0;
    double sum = 0;
    for (size_t i = begin; i < begin + count && i < s.size(); ++i)
        sum += static_cast<double>(s[i]) * s[i];
    return count ? std::sqrt(sum / static_cast<double>(count)) : 0;
}

// The frequency with the most energy in s[begin, begin+count), by a Goertzel
// filter every `stepHz` from 50 Hz up to `topHz` (0: below half the rate);
// 0 for silence.
inline int DominantHz(const std::vector<int16_t>& s, size_t begin, size_t count, int rate, int stepHz = 1, int topHz = 0)
{
    if (topHz <= 0)
        topHz = (rate - 1) / 2;
    int best = 0;
    double bestPower = 0;
    for (int hz = 50; hz <= topHz; hz += stepHz) {
        const double k = 2 * std::cos(2 * M_PI * hz / rate);
        double a = 0, b = 0;
        for (size_t i = begin; i < begin + count && i < s.size(); ++i) {
            const double next = s[i] + k * a - b;
            b = a;
            a = next;
        }
        const double power = a * a + b * b - k * a * b;
        if (power > bestPower) {
            bestPower = power;
            best = hz;
        }
    }
    return best;
}

// The streams ffprobe finds at `url`, one "codec,type[,channels]" line each, sorted.
inline std::string Streams(const std::string& url)
{
    std::istringstream lines(testsupport::RunCommand("timeout 30 ffprobe -v error -show_entries "
                                                     "stream=codec_name,codec_type,channels -of csv=p=0 '" + url + "' 2>&1"));
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line);)
        found.push_back(line);
    std::sort(found.begin(), found.end());
    std::string out;
    for (const std::string& line : found)
        out += line + "\n";
    return out;
}

} // namespace soundtest
