#pragma once
// The shape of a recording: its decoded length and the loudest sample of each of a fixed
// number of equal stretches, computed once when the recording arrives.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

class Waveform {
public:
    // The file holds no audio that FFmpeg can decode.
    class DecodeError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    static constexpr int kDefaultBuckets = 240;
    // Peaks are stored as integers: full scale is this value.
    static constexpr int kFullScale = 1000;

    Waveform() = default;
    Waveform(double durationSeconds, std::vector<int> peaks);

    // Decodes the file's first audio stream; throws DecodeError.
    [[nodiscard]] static Waveform fromAudioFile(const std::filesystem::path &file,
                                                int buckets = kDefaultBuckets);

    [[nodiscard]] double durationSeconds() const noexcept { return m_durationSeconds; }
    [[nodiscard]] const std::vector<int> &peaks() const noexcept { return m_peaks; }

    // An inline SVG image of the peaks, scaled so that the loudest one fills the height.
    [[nodiscard]] std::string toSvg() const;

private:
    double m_durationSeconds = 0.0;
    std::vector<int> m_peaks;
};
