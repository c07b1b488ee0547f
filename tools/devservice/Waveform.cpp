#include "Waveform.h"

#include "FfmpegPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>

namespace {

// Peaks are first taken over 10 ms windows, then folded into the buckets once the length is known.
constexpr int kWindowsPerSecond = 100;

class PeakCollector {
public:
    PeakCollector(int channels, int sampleRate)
        : m_channels(channels)
        , m_windowFrames(std::max(1, sampleRate / kWindowsPerSecond)) {}

    // Frames past this many are the encoder's padding, not the recording.
    void setLimit(std::int64_t frames) { m_limit = frames; }

    void add(const float *interleaved, int frames) {
        if (m_limit >= 0)
            frames = static_cast<int>(std::clamp<std::int64_t>(m_limit - m_frames, 0, frames));
        for (int f = 0; f < frames; ++f) {
            for (int c = 0; c < m_channels; ++c)
                m_current = std::max(m_current, std::fabs(interleaved[f * m_channels + c]));
            if (++m_inWindow == m_windowFrames) {
                m_windows.push_back(m_current);
                m_current = 0.0f;
                m_inWindow = 0;
            }
        }
        m_frames += frames;
    }

    void finish() {
        if (m_inWindow > 0)
            m_windows.push_back(m_current);
        m_current = 0.0f;
        m_inWindow = 0;
    }

    [[nodiscard]] std::int64_t frames() const noexcept { return m_frames; }

    [[nodiscard]] std::vector<int> buckets(int count) const {
        std::vector<int> peaks(static_cast<std::size_t>(count), 0);
        const auto windows = static_cast<std::int64_t>(m_windows.size());
        for (int b = 0; b < count; ++b) {
            const std::int64_t first = b * windows / count;
            const std::int64_t last = std::max(first + 1, (b + 1) * windows / count);
            float peak = 0.0f;
            for (std::int64_t w = first; w < last && w < windows; ++w)
                peak = std::max(peak, m_windows[static_cast<std::size_t>(w)]);
            peaks[static_cast<std::size_t>(b)] =
                static_cast<int>(std::lround(std::min(peak, 1.0f) * Waveform::kFullScale));
        }
        return peaks;
    }

private:
    int m_channels;
    int m_windowFrames;
    int m_inWindow = 0;
    float m_current = 0.0f;
    std::int64_t m_frames = 0;
    std::int64_t m_limit = -1;
    std::vector<float> m_windows;
};

class Decoder {
public:
    explicit Decoder(const std::filesystem::path &file) {
        av_log_set_level(AV_LOG_QUIET);
        // Only an MP4 file read through the "file" protocol: another demuxer could follow what
        // the upload names, such as an "ffconcat" list that reads other files of its folder.
        AVFormatContext *input = avformat_alloc_context();
        if (input)
            input->protocol_whitelist = av_strdup("file");
        if (!input || !input->protocol_whitelist) {
            avformat_free_context(input);
            throw std::bad_alloc();
        }
        // avformat_open_input frees the context when it fails.
        if (avformat_open_input(&input, file.c_str(), av_find_input_format("mp4"), nullptr) < 0)
            throw Waveform::DecodeError("not an MP4 file");
        m_input.reset(input);
        if (avformat_find_stream_info(m_input.get(), nullptr) < 0)
            throw Waveform::DecodeError("no stream information");
        const AVCodec *codec = nullptr;
        m_stream = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (m_stream < 0 || !codec)
            throw Waveform::DecodeError("no audio stream");
        m_codec.reset(avcodec_alloc_context3(codec));
        if (!m_codec)
            throw std::bad_alloc();
        if (avcodec_parameters_to_context(m_codec.get(), m_input->streams[m_stream]->codecpar) <
                0 ||
            avcodec_open2(m_codec.get(), codec, nullptr) < 0)
            throw Waveform::DecodeError("the audio decoder does not open");
        if (m_codec->sample_rate <= 0 || m_codec->ch_layout.nb_channels <= 0)
            throw Waveform::DecodeError("no sample rate or channels");

        SwrContext *swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &m_codec->ch_layout, AV_SAMPLE_FMT_FLT, m_codec->sample_rate,
                                &m_codec->ch_layout, m_codec->sample_fmt, m_codec->sample_rate, 0,
                                nullptr) < 0)
            throw Waveform::DecodeError("no sample converter");
        m_swr.reset(swr);
        if (swr_init(m_swr.get()) < 0)
            throw Waveform::DecodeError("no sample converter");
        m_packet.reset(av_packet_alloc());
        m_frame.reset(av_frame_alloc());
        if (!m_packet || !m_frame)
            throw std::bad_alloc();
    }

    [[nodiscard]] int channels() const noexcept { return m_codec->ch_layout.nb_channels; }
    [[nodiscard]] int sampleRate() const noexcept { return m_codec->sample_rate; }
    // The length the container states, in frames; -1 when it states none.
    [[nodiscard]] std::int64_t statedFrames() const noexcept {
        const AVStream *stream = m_input->streams[m_stream];
        if (stream->duration == AV_NOPTS_VALUE || stream->duration <= 0)
            return -1;
        return av_rescale_q(stream->duration, stream->time_base, AVRational{1, sampleRate()});
    }

    // Decodes everything; damaged packets are skipped like a player skips them.
    void run(PeakCollector &peaks) {
        while (av_read_frame(m_input.get(), m_packet.get()) >= 0) {
            if (m_packet->stream_index == m_stream &&
                avcodec_send_packet(m_codec.get(), m_packet.get()) >= 0)
                drain(peaks);
            av_packet_unref(m_packet.get());
        }
        if (avcodec_send_packet(m_codec.get(), nullptr) >= 0)
            drain(peaks);
        convert(peaks, nullptr, 0);
        peaks.finish();
    }

private:
    void drain(PeakCollector &peaks) {
        while (avcodec_receive_frame(m_codec.get(), m_frame.get()) >= 0) {
            convert(peaks, const_cast<const std::uint8_t **>(m_frame->extended_data),
                    m_frame->nb_samples);
            av_frame_unref(m_frame.get());
        }
    }

    void convert(PeakCollector &peaks, const std::uint8_t **in, int frames) {
        for (;;) {
            const int room = std::max(swr_get_out_samples(m_swr.get(), frames), 1024);
            m_buffer.resize(static_cast<std::size_t>(room) * static_cast<std::size_t>(channels()));
            auto *out = reinterpret_cast<std::uint8_t *>(m_buffer.data());
            const int got = swr_convert(m_swr.get(), &out, room, in, frames);
            if (got < 0)
                throw Waveform::DecodeError("sample conversion failed");
            peaks.add(m_buffer.data(), got);
            // A flush (no input) may need several rounds; a conversion with input needs one.
            if (in || got == 0)
                return;
        }
    }

    ffmpeg::InputContextPtr m_input;
    ffmpeg::CodecContextPtr m_codec;
    ffmpeg::SwrPtr m_swr;
    ffmpeg::PacketPtr m_packet;
    ffmpeg::FramePtr m_frame;
    std::vector<float> m_buffer;
    int m_stream = -1;
};

} // namespace

Waveform::Waveform(double durationSeconds, std::vector<int> peaks)
    : m_durationSeconds(durationSeconds)
    , m_peaks(std::move(peaks)) {}

Waveform Waveform::fromAudioFile(const std::filesystem::path &file, int buckets) {
    Decoder decoder(file);
    PeakCollector collector(decoder.channels(), decoder.sampleRate());
    collector.setLimit(decoder.statedFrames());
    decoder.run(collector);
    if (collector.frames() == 0)
        throw DecodeError("no audio could be decoded");
    return Waveform(static_cast<double>(collector.frames()) / decoder.sampleRate(),
                    collector.buckets(buckets));
}

std::string Waveform::toSvg() const {
    const int count = static_cast<int>(m_peaks.size());
    const int loudest = m_peaks.empty() ? 0 : *std::max_element(m_peaks.begin(), m_peaks.end());
    constexpr int kHeight = 100;
    std::string svg =
        "<svg class=\"waveform\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
        std::to_string(std::max(count, 1)) + " " + std::to_string(kHeight) +
        "\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"Форма волны\">";
    svg += "<path d=\"";
    char step[64];
    for (int i = 0; i < count; ++i) {
        // At least a hairline, so silence still shows where the recording runs.
        const double half =
            loudest > 0
                ? std::max(0.5, 0.5 * kHeight * m_peaks[static_cast<std::size_t>(i)] / loudest)
                : 0.5;
        std::snprintf(step, sizeof step, "M%d.5 %.1fV%.1f", i, kHeight / 2.0 - half,
                      kHeight / 2.0 + half);
        svg += step;
    }
    svg += "\" stroke=\"#3b82f6\" stroke-width=\"0.8\" fill=\"none\"/></svg>";
    return svg;
}
