#pragma once
// One piece of captured audio on its way from the sound server's thread to the encoder.

#include <chrono>
#include <cstdint>
#include <vector>

enum class CaptureTrack { system, microphone };

// The sound server's timing report a chunk was dated by: at `reportNs` (steady clock) the
// stream's queue on the server had taken `writeFrame` frames, the newest of them captured
// `sourceUs` before and, on a monitor, heard `sinkUs` after. reportNs 0: no report yet.
struct ServerTiming {
    std::int64_t reportNs = 0;
    std::int64_t writeFrame = 0;
    std::int64_t sourceUs = 0;
    std::int64_t sinkUs = 0;
};

struct CaptureChunk {
    enum class Kind {
        audio,   // samples the stream delivered
        hole,    // a stretch the server reports missing from the stream
        dropped, // audio the program had to throw away (its queue was full)
    };

    CaptureTrack track = CaptureTrack::system;
    Kind kind = Kind::audio;
    std::int64_t frames = 0;
    // Audio only: when its first frame was captured (on a monitor, heard), on the steady clock,
    // as the server's timing dates it, not when it reached the program.
    std::int64_t captureNs = 0;
    // Audio only: when it was read from the stream, on the steady clock.
    std::int64_t arrivalNs = 0;
    // Audio only: the first chunk of a newly opened stream (a start, a device switch, a server
    // that came back) or of one whose device was suspended.
    bool streamStart = false;
    // Audio only: frames the stream delivered before it, holes included, and the report that
    // dated it; the timeline's log shows them.
    std::int64_t streamFrame = 0;
    ServerTiming timing;
    std::vector<float> samples; // interleaved stereo, audio only
};

// The clock that recordings are timed by; libpulse's timing uses the same monotonic clock.
inline std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
