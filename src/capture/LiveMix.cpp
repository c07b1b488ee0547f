#include "LiveMix.h"

#include <QFile>

#include <algorithm>

namespace {

constexpr std::int64_t blockFrames = 4096;

std::size_t index(CaptureTrack track) {
    return track == CaptureTrack::system ? 0 : 1;
}

} // namespace

void LiveMix::Pending::drop(std::int64_t frames) {
    head += static_cast<std::size_t>(frames) * M4aWriter::channels;
    // Moved down once half is mixed, so the buffer neither grows nor moves on every call.
    if (head * 2 >= samples.size()) {
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
}

LiveMix::LiveMix(QString path)
    : m_path(std::move(path))
    , m_writer(std::make_unique<M4aWriter>(m_path, M4aWriter::Layout::fragmented)) {
    m_block.reserve(blockFrames * M4aWriter::channels);
}

LiveMix::~LiveMix() {
    if (m_state == State::mixing)
        abandon();
}

void LiveMix::abandon() {
    if (m_state == State::abandoned)
        return;
    m_state = State::abandoned;
    // Removed first: the writer's own end then writes into a file nobody will read.
    QFile::remove(m_path);
    m_writer.reset();
    m_tracks = {};
    m_block = {};
}

void LiveMix::add(CaptureTrack track, std::span<const float> interleaved) {
    if (m_state != State::mixing)
        return;
    Pending &pending = m_tracks[index(track)];
    pending.samples.insert(pending.samples.end(), interleaved.begin(), interleaved.end());
    pending.received += static_cast<std::int64_t>(interleaved.size() / M4aWriter::channels);
    try {
        mixAvailable();
    } catch (const M4aWriter::Error &) {
        // A full disk or a vanished folder: the part files carry on and the stop mixes them.
        abandon();
        return;
    }
    // A full disk: the mix gives its room to the part files, which the stop mixes instead.
    if (pending.frames() > maxLeadFrames || m_writer->waitsForRoom())
        abandon();
}

void LiveMix::mixAvailable() {
    std::int64_t ready = std::min(m_tracks[0].frames(), m_tracks[1].frames());
    while (ready > 0) {
        const std::int64_t frames = std::min(ready, blockFrames);
        mixBlock(frames, {frames, frames});
        ready -= frames;
    }
}

void LiveMix::mixBlock(std::int64_t frames, const std::array<std::int64_t, 2> &usable) {
    m_block.assign(static_cast<std::size_t>(frames) * M4aWriter::channels, 0.0f);
    for (std::size_t track = 0; track < m_tracks.size(); ++track) {
        Pending &pending = m_tracks[track];
        const float *from = pending.samples.data() + pending.head;
        const auto count = static_cast<std::size_t>(usable[track]) * M4aWriter::channels;
        for (std::size_t i = 0; i < count; ++i)
            m_block[i] += from[i];
        // Frames beyond a track's usable part are not part of the recording: they go too.
        pending.drop(std::min(frames, pending.frames()));
    }
    m_limiter.process(m_block);
    m_writer->write(m_block);
    m_mixed += frames;
}

void LiveMix::sync() {
    if (m_state == State::mixing)
        m_writer->sync();
}

std::optional<std::int64_t> LiveMix::finish(std::int64_t systemFrames,
                                            std::int64_t microphoneFrames) {
    if (m_state != State::mixing)
        return std::nullopt;
    try {
        const std::array<std::int64_t, 2> ends{
            std::min(m_tracks[0].received, systemFrames),
            std::min(m_tracks[1].received, microphoneFrames),
        };
        const std::int64_t length = std::max({m_mixed, systemFrames, microphoneFrames});
        while (m_mixed < length) {
            const std::int64_t frames = std::min(length - m_mixed, blockFrames);
            std::array<std::int64_t, 2> usable{};
            for (std::size_t track = 0; track < usable.size(); ++track)
                usable[track] = std::clamp<std::int64_t>(ends[track] - m_mixed, 0, frames);
            mixBlock(frames, usable);
        }
        m_writer->finish();
        m_writer.reset();
        m_state = State::finished;
        return length;
    } catch (const M4aWriter::Error &) {
        abandon();
        return std::nullopt;
    }
}
