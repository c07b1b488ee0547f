#include "TrackEncoder.h"

TrackEncoder::TrackEncoder(QString path, std::unique_ptr<M4aWriter> writer, std::int64_t originNs)
    : m_path(std::move(path))
    , m_writer(std::move(writer))
    , m_timeline(originNs, M4aWriter::sampleRate)
    , m_created(m_writer != nullptr) {}

TrackReport TrackEncoder::report() const noexcept {
    TrackReport report;
    report.writerFailed = m_failed;
    report.framesWritten = m_timeline.framesWritten();
    report.fileCreated = m_created;
    return report;
}

void TrackEncoder::take(const CaptureChunk &chunk) {
    if (m_failed)
        return;
    try {
        if (!m_writer) {
            m_writer = std::make_unique<M4aWriter>(m_path, M4aWriter::Layout::fragmented);
            m_created = true;
        }
        const std::int64_t silence = m_timeline.place(chunk.arrivalNs, chunk.frames);
        m_writer->writeSilence(silence);
        if (chunk.samples.empty())
            m_writer->writeSilence(chunk.frames);
        else
            m_writer->write(chunk.samples);
    } catch (const M4aWriter::Error &) {
        // A full disk or a vanished folder: the fragments already flushed stay playable, and
        // the other track carries on.
        m_failed = true;
    }
}

void TrackEncoder::finish(std::int64_t stopNs) {
    if (!m_writer)
        return;
    try {
        if (!m_failed)
            m_writer->writeSilence(m_timeline.padTo(stopNs));
        m_writer->finish();
    } catch (const M4aWriter::Error &) {
        m_failed = true;
    }
    m_writer.reset();
}
