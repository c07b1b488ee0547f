#pragma once
// Writes one source of a recording into its part file, on the recording's clock. Used on the
// encoder's thread only.

#include "CaptureChunk.h"
#include "CaptureReport.h"
#include "M4aWriter.h"
#include "TrackTimeline.h"

#include <QString>

#include <memory>

class TrackEncoder {
public:
    // Without a writer the part file is created at the source's first chunk (a microphone that
    // appears during the recording) and gets leading silence from the origin.
    TrackEncoder(QString path, std::unique_ptr<M4aWriter> writer, std::int64_t originNs);

    void take(const CaptureChunk &chunk);
    // Pads the track to `stopNs` and finishes the file; nothing is written afterwards.
    void finish(std::int64_t stopNs);

    // False once the file could not be created or written: the recording goes on without it.
    [[nodiscard]] bool healthy() const noexcept { return !m_failed; }
    [[nodiscard]] std::int64_t framesWritten() const noexcept { return m_timeline.framesWritten(); }
    [[nodiscard]] TrackReport report() const noexcept;

private:
    QString m_path;
    std::unique_ptr<M4aWriter> m_writer;
    TrackTimeline m_timeline;
    bool m_failed = false;
    bool m_created = false;
};
