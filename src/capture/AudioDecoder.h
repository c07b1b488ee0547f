#pragma once

#include <chrono>
#include <optional>
// Reads the first audio stream of a file as interleaved float stereo at 44100 Hz.

#include <QString>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

class AudioDecoder {
public:
    static constexpr int sampleRate = 44100;
    static constexpr int channels = 2;

    // Throws AudioDecoder::Error when the file cannot be opened or holds no decodable audio.
    explicit AudioDecoder(const QString &path);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder &) = delete;
    AudioDecoder &operator=(const AudioDecoder &) = delete;

    // Appends up to maxFrames frames to out and returns how many were appended; 0 means the
    // end. A damaged packet ends the stream there: what was decoded before it is kept, since
    // a part file cut short by a crash is still worth mixing.
    int read(std::vector<float> &out, int maxFrames);

    // Whether the file opens and gives at least one frame of audio.
    [[nodiscard]] static bool holdsAudio(const QString &path);
    // The length the file's index gives, without decoding; nothing when it gives none.
    [[nodiscard]] static std::optional<std::chrono::milliseconds> lengthOf(const QString &path);

    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

private:
    struct State;
    std::unique_ptr<State> m_state;
};
