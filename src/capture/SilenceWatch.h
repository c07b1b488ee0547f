#pragma once
// Tells when one track has heard nothing for a while, and when it hears something again.
// Fed on the sound server's thread with the chunks the capture already has, so it costs one
// pass over samples that are being copied anyway and no timer of its own.

#include <cstdint>
#include <optional>
#include <span>

class SilenceWatch {
public:
    // -60 dBFS: quieter than any microphone's own noise or a call's comfort noise.
    static constexpr float silentPeak = 0.001f;

    // `windowNs` of silence in a row, measured in capture time, make the track silent.
    explicit SilenceWatch(std::int64_t windowNs);

    // One chunk of interleaved samples that starts at `captureNs` and lasts `durationNs`.
    // Returns the track's new verdict (true: silent) when it changed with this chunk.
    std::optional<bool> take(std::span<const float> samples, std::int64_t captureNs,
                             std::int64_t durationNs);

    [[nodiscard]] bool silent() const noexcept { return m_silent; }

private:
    const std::int64_t m_windowNs;
    std::optional<std::int64_t> m_quietSinceNs;
    bool m_silent = false;
};
