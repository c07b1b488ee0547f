#pragma once
// Owning pointers for the FFmpeg objects the capture code uses, so no path frees by hand.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <string>

namespace ffmpeg {

struct CodecContextDeleter {
    void operator()(AVCodecContext *c) const noexcept { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const noexcept { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const noexcept { av_packet_free(&p); }
};
struct SwrDeleter {
    void operator()(SwrContext *s) const noexcept { swr_free(&s); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo *f) const noexcept { av_audio_fifo_free(f); }
};
// A demuxer opened with avformat_open_input.
struct InputContextDeleter {
    void operator()(AVFormatContext *c) const noexcept { avformat_close_input(&c); }
};
// A muxer from avformat_alloc_output_context2; closes its file too, unless the file is a
// context of the caller's own (AVFMT_FLAG_CUSTOM_IO), which its owner frees.
struct OutputContextDeleter {
    void operator()(AVFormatContext *c) const noexcept {
        if (c && c->pb && !(c->oformat->flags & AVFMT_NOFILE) && !(c->flags & AVFMT_FLAG_CUSTOM_IO))
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

// The program writes no log, and FFmpeg would otherwise print encoder statistics to stderr.
inline void silenceLogging() {
    av_log_set_level(AV_LOG_QUIET);
}

// FFmpeg's own text for an AVERROR code.
inline std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace ffmpeg
