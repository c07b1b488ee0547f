#pragma once
// Encodes interleaved float stereo at 44100 Hz into an AAC-LC 128 kbit/s M4A file (FFmpeg's
// native "aac" encoder, 1024-sample frames, pts counted from the samples written).

#include "AudioFileError.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <span>

class M4aWriter {
public:
    enum class Layout {
        fragmented, // 1 s fragments flushed to disk: a killed process leaves a playable file;
                    // a full disk holds the writing up rather than failing it (waitsForRoom)
        faststart,  // one index at the front of the file: the mixed recording that is uploaded
    };

    static constexpr int sampleRate = 44100;
    static constexpr int channels = 2;
    static constexpr int bitRate = 128000;

    // Frames of encoder delay at the start of every file: FFmpeg's AAC encoder primes with one
    // frame. A faststart file records it in its edit list; a fragmented part file does not.
    static constexpr int primingFrames = 1024;

    // Creates the new file `path` (mode 0600, see AudioFiles::createFile); an existing file or
    // link at that name is an error. Throws M4aWriter::Error on any failure.
    M4aWriter(const QString &path, Layout layout);
    ~M4aWriter();
    M4aWriter(const M4aWriter &) = delete;
    M4aWriter &operator=(const M4aWriter &) = delete;

    // Appends frames of interleaved L/R float samples.
    void write(std::span<const float> interleaved);
    // Appends this many frames of silence.
    void writeSilence(std::int64_t frames);
    // Flushes the encoder and writes the trailer. Safe to call once; the destructor calls it
    // when it was not called.
    void finish();
    // Puts the fragments written so far on the disk (FileOutput::sync); blocks for the disk.
    void sync();

    // True while written audio waits for room on the disk: nothing more should be written
    // until writeWaiting() has found room.
    [[nodiscard]] bool waitsForRoom() const noexcept;
    // Writes what waits for room; true once nothing waits. Throws M4aWriter::Error.
    bool writeWaiting();

    [[nodiscard]] std::int64_t framesWritten() const noexcept;
    // Frames handed over that the file does not hold because their bytes found no room (yet):
    // every one from the end of the last fragment that reached the file whole. After a finish
    // that failed for want of room, they are lost.
    [[nodiscard]] std::int64_t framesAwaitingRoom() const noexcept;

    using Error = AudioFileError;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
