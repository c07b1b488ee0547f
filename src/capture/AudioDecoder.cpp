#include "AudioDecoder.h"

#include "FfmpegPtr.h"

#include <QFile>

namespace {

// Not const: FFmpeg 5.1's swr_alloc_set_opts2 takes non-const layouts.
AVChannelLayout stereoLayout = AV_CHANNEL_LAYOUT_STEREO;

} // namespace

struct AudioDecoder::State {
    ffmpeg::InputContextPtr format;
    ffmpeg::CodecContextPtr codec;
    ffmpeg::SwrPtr converter;
    ffmpeg::PacketPtr packet;
    ffmpeg::FramePtr frame;
    int streamIndex = -1;
    bool draining = false; // the demuxer is done; the decoder is being emptied
    bool ended = false;
    std::vector<float> pending; // converted samples not yet handed out

    bool decodeMore();
    void convert(const AVFrame *decoded);
};

AudioDecoder::AudioDecoder(const QString &path)
    : m_state(std::make_unique<State>()) {
    State &s = *m_state;
    const QByteArray nativePath = QFile::encodeName(path);
    ffmpeg::silenceLogging();

    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, nativePath.constData(), nullptr, nullptr) < 0)
        throw Error("cannot open the audio file");
    s.format.reset(format);
    if (avformat_find_stream_info(format, nullptr) < 0)
        throw Error("cannot read the audio file's streams");

    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            s.streamIndex = static_cast<int>(i);
            break;
        }
    }
    if (s.streamIndex < 0)
        throw Error("the file holds no audio stream");

    const AVCodecParameters *parameters = format->streams[s.streamIndex]->codecpar;
    const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder)
        throw Error("no decoder for the audio stream");
    s.codec.reset(avcodec_alloc_context3(decoder));
    if (!s.codec || avcodec_parameters_to_context(s.codec.get(), parameters) < 0 ||
        avcodec_open2(s.codec.get(), decoder, nullptr) < 0)
        throw Error("cannot open the audio decoder");

    s.packet.reset(av_packet_alloc());
    s.frame.reset(av_frame_alloc());
    if (!s.packet || !s.frame)
        throw Error("out of memory");
}

AudioDecoder::~AudioDecoder() = default;

bool AudioDecoder::holdsAudio(const QString &path) {
    try {
        AudioDecoder decoder(path);
        std::vector<float> samples;
        return decoder.read(samples, 1024) > 0;
    } catch (const Error &) {
        return false;
    }
}

std::optional<std::chrono::milliseconds> AudioDecoder::lengthOf(const QString &path) {
    ffmpeg::silenceLogging();
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return std::nullopt;
    const ffmpeg::InputContextPtr format(opened);
    if (format->duration <= 0)
        return std::nullopt;
    return std::chrono::milliseconds(format->duration / (AV_TIME_BASE / 1000));
}

int AudioDecoder::read(std::vector<float> &out, int maxFrames) {
    State &s = *m_state;
    const size_t wanted = static_cast<size_t>(maxFrames) * channels;
    while (s.pending.size() < wanted && s.decodeMore()) {
    }
    const size_t taken = std::min(wanted, s.pending.size());
    out.insert(out.end(), s.pending.begin(), s.pending.begin() + static_cast<long>(taken));
    s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<long>(taken));
    return static_cast<int>(taken / channels);
}

// Decodes at least one more frame into pending; false once the stream has ended.
bool AudioDecoder::State::decodeMore() {
    while (!ended) {
        const int received = avcodec_receive_frame(codec.get(), frame.get());
        if (received == 0) {
            convert(frame.get());
            av_frame_unref(frame.get());
            return true;
        }
        // End of stream, a decoder error, or a drained decoder that asks for more input.
        if (received != AVERROR(EAGAIN) || draining) {
            ended = true;
            break;
        }
        const int readResult = av_read_frame(format.get(), packet.get());
        if (readResult < 0) {
            draining = true;
            avcodec_send_packet(codec.get(), nullptr);
            continue;
        }
        if (packet->stream_index == streamIndex) {
            const int sent = avcodec_send_packet(codec.get(), packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                // Damaged data: end the stream here, keeping what came before.
                draining = true;
                avcodec_send_packet(codec.get(), nullptr);
            }
        }
        av_packet_unref(packet.get());
    }
    // Hand out what the converter still holds.
    if (converter) {
        const int delayed = swr_get_out_samples(converter.get(), 0);
        if (delayed > 0) {
            const size_t before = pending.size();
            pending.resize(before + static_cast<size_t>(delayed) * channels);
            uint8_t *outPlanes[1] = {reinterpret_cast<uint8_t *>(pending.data() + before)};
            const int got = swr_convert(converter.get(), outPlanes, delayed, nullptr, 0);
            pending.resize(before + static_cast<size_t>(std::max(got, 0)) * channels);
            if (got > 0)
                return true;
        }
    }
    return false;
}

void AudioDecoder::State::convert(const AVFrame *decoded) {
    if (!converter) {
        AVChannelLayout inLayout{};
        if (decoded->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&inLayout, decoded->ch_layout.nb_channels);
        else
            av_channel_layout_copy(&inLayout, &decoded->ch_layout);
        SwrContext *swr = nullptr;
        const int made = swr_alloc_set_opts2(
            &swr, &stereoLayout, AV_SAMPLE_FMT_FLT, sampleRate, &inLayout,
            static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        converter.reset(swr);
        if (made < 0 || swr_init(swr) < 0) {
            converter.reset();
            ended = true;
            return;
        }
    }
    const int capacity = swr_get_out_samples(converter.get(), decoded->nb_samples);
    if (capacity <= 0)
        return;
    const size_t before = pending.size();
    pending.resize(before + static_cast<size_t>(capacity) * channels);
    uint8_t *outPlanes[1] = {reinterpret_cast<uint8_t *>(pending.data() + before)};
    const int got =
        swr_convert(converter.get(), outPlanes, capacity,
                    const_cast<const uint8_t **>(decoded->extended_data), decoded->nb_samples);
    pending.resize(before + static_cast<size_t>(std::max(got, 0)) * channels);
}
