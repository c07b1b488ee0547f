#include "M4aWriter.h"

#include "FfmpegPtr.h"
#include "FileOutput.h"

#include <QFile>

extern "C" {
#include <libavutil/opt.h>
}

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <vector>

namespace {

constexpr int frameSize = 1024;
// Not const: FFmpeg 5.1's swr_alloc_set_opts2 takes non-const layouts.
AVChannelLayout stereoLayout = AV_CHANNEL_LAYOUT_STEREO;

void check(int result, const char *what) {
    if (result < 0)
        throw M4aWriter::Error(std::string(what) + ": " + ffmpeg::errorText(result));
}

template <typename T> T *checkAlloc(T *object, const char *what) {
    if (!object)
        throw M4aWriter::Error(std::string("cannot allocate ") + what);
    return object;
}

struct DictionaryDeleter {
    void operator()(AVDictionary *d) const noexcept { av_dict_free(&d); }
};

} // namespace

struct M4aWriter::State {
    // Declared before the muxer, which writes through it until it is gone.
    std::unique_ptr<FileOutput> output;
    ffmpeg::OutputContextPtr format;
    ffmpeg::CodecContextPtr codec;
    ffmpeg::SwrPtr toPlanar;
    ffmpeg::FifoPtr fifo;
    ffmpeg::FramePtr frame;
    ffmpeg::PacketPtr packet;
    AVStream *stream = nullptr;
    std::int64_t framesWritten = 0; // frames handed to write()/writeSilence()
    std::int64_t nextPts = 0;       // frames handed to the encoder
    bool finished = false;
    // Where fragments end in the output's bytes, and how many frames come before that end.
    struct Fragment {
        std::int64_t bytesEnd;
        std::int64_t framesEnd;
    };
    std::deque<Fragment> fragments;
    // Planar scratch for write(), kept between calls: the encoder thread calls it every 20 ms.
    std::vector<float> left, right;

    void encodeFromFifo(bool flushAll);
    void sendFrame(AVFrame *frame);
    void appendPlanar(const float *const *planes, int frames);
    void noteFragment(std::int64_t framesBefore);
};

M4aWriter::M4aWriter(const QString &path, Layout layout)
    : m_state(std::make_unique<State>()) {
    State &s = *m_state;
    const QByteArray nativePath = QFile::encodeName(path);
    ffmpeg::silenceLogging();

    AVFormatContext *format = nullptr;
    check(avformat_alloc_output_context2(&format, nullptr, "ipod", nativePath.constData()),
          "cannot create the M4A muxer");
    s.format.reset(format);

    const AVCodec *aac = avcodec_find_encoder_by_name("aac");
    if (!aac)
        throw Error("FFmpeg has no AAC encoder");
    s.codec.reset(checkAlloc(avcodec_alloc_context3(aac), "the AAC encoder"));
    AVCodecContext *c = s.codec.get();
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = sampleRate;
    check(av_channel_layout_copy(&c->ch_layout, &stereoLayout), "channel layout");
    c->bit_rate = bitRate;
    c->profile = FF_PROFILE_AAC_LOW;
    c->time_base = AVRational{1, sampleRate};
    if (s.format->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(c, aac, nullptr), "cannot open the AAC encoder");

    s.stream = checkAlloc(avformat_new_stream(s.format.get(), nullptr), "the audio stream");
    s.stream->time_base = c->time_base;
    check(avcodec_parameters_from_context(s.stream->codecpar, c), "stream parameters");

    SwrContext *swr = nullptr;
    check(swr_alloc_set_opts2(&swr, &stereoLayout, AV_SAMPLE_FMT_FLTP, sampleRate, &stereoLayout,
                              AV_SAMPLE_FMT_FLT, sampleRate, 0, nullptr),
          "cannot set up the sample converter");
    s.toPlanar.reset(swr);
    check(swr_init(swr), "cannot start the sample converter");

    s.fifo.reset(checkAlloc(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, frameSize * 4),
                            "the sample queue"));
    s.frame.reset(checkAlloc(av_frame_alloc(), "a frame"));
    s.packet.reset(checkAlloc(av_packet_alloc(), "a packet"));

    s.output = std::make_unique<FileOutput>(path, layout == Layout::fragmented
                                                      ? FileOutput::WhenFull::wait
                                                      : FileOutput::WhenFull::fail);
    try {
        s.output->attachTo(s.format.get());
        AVDictionary *options = nullptr;
        if (layout == Layout::fragmented) {
            av_dict_set(&options, "movflags", "empty_moov+default_base_moof", 0);
            av_dict_set(&options, "frag_duration", "1000000", 0);
            // Without flushing, fragments sit in the I/O buffer and a killed process leaves
            // an unreadable file.
            av_dict_set(&options, "flush_packets", "1", 0);
        } else {
            av_dict_set(&options, "movflags", "+faststart", 0);
        }
        const int result = avformat_write_header(s.format.get(), &options);
        std::unique_ptr<AVDictionary, DictionaryDeleter> unused(options);
        check(result, "cannot write the file header");
        s.noteFragment(0);
    } catch (const Error &) {
        // A file without a header holds no audio; do not leave it behind.
        s.format.reset();
        s.output.reset();
        ::unlink(nativePath.constData());
        throw;
    }
}

M4aWriter::~M4aWriter() {
    if (!m_state->finished) {
        try {
            finish();
        } catch (const Error &) {
            // A destructor cannot report; the file keeps what reached the disk.
        }
    }
}

void M4aWriter::write(std::span<const float> interleaved) {
    State &s = *m_state;
    const int frames = static_cast<int>(interleaved.size() / channels);
    if (frames == 0 || s.finished)
        return;

    s.left.resize(static_cast<size_t>(frames));
    s.right.resize(static_cast<size_t>(frames));
    uint8_t *out[2] = {reinterpret_cast<uint8_t *>(s.left.data()),
                       reinterpret_cast<uint8_t *>(s.right.data())};
    const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(interleaved.data())};
    const int converted = swr_convert(s.toPlanar.get(), out, frames, in, frames);
    check(converted, "sample conversion failed");

    const float *planes[2] = {s.left.data(), s.right.data()};
    s.appendPlanar(planes, converted);
    s.framesWritten += frames;
}

void M4aWriter::writeSilence(std::int64_t frames) {
    State &s = *m_state;
    if (frames <= 0 || s.finished)
        return;
    const std::vector<float> zeros(frameSize * 8, 0.0f);
    const float *planes[2] = {zeros.data(), zeros.data()};
    std::int64_t left = frames;
    while (left > 0) {
        const int chunk = static_cast<int>(std::min<std::int64_t>(left, frameSize * 8));
        s.appendPlanar(planes, chunk);
        left -= chunk;
    }
    s.framesWritten += frames;
}

void M4aWriter::State::appendPlanar(const float *const *planes, int frames) {
    void *data[2] = {const_cast<float *>(planes[0]), const_cast<float *>(planes[1])};
    if (av_audio_fifo_write(fifo.get(), data, frames) < frames)
        throw Error("cannot queue samples");
    encodeFromFifo(false);
}

void M4aWriter::State::encodeFromFifo(bool flushAll) {
    while (av_audio_fifo_size(fifo.get()) >= frameSize ||
           (flushAll && av_audio_fifo_size(fifo.get()) > 0)) {
        const int n = std::min(frameSize, av_audio_fifo_size(fifo.get()));
        av_frame_unref(frame.get());
        frame->nb_samples = n;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = sampleRate;
        check(av_channel_layout_copy(&frame->ch_layout, &stereoLayout), "channel layout");
        check(av_frame_get_buffer(frame.get(), 0), "cannot allocate a frame");
        if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void **>(frame->data), n) < n)
            throw Error("cannot read queued samples");
        frame->pts = nextPts;
        nextPts += n;
        sendFrame(frame.get());
    }
}

// Hands one frame (or nullptr to drain) to the encoder and writes every packet it returns.
void M4aWriter::State::sendFrame(AVFrame *toEncode) {
    check(avcodec_send_frame(codec.get(), toEncode), "encoding failed");
    for (;;) {
        const int result = avcodec_receive_packet(codec.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return;
        check(result, "encoding failed");
        const std::int64_t startFrame = packet->pts; // the codec counts in frames
        av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        check(av_interleaved_write_frame(format.get(), packet.get()), "cannot write audio");
        noteFragment(std::max<std::int64_t>(0, startFrame));
    }
}

// The muxer writes a fragment out (and, flushing packets, hands it over at once) just before it
// takes the packet that begins the next one: bytes handed over since hold every earlier frame.
void M4aWriter::State::noteFragment(std::int64_t framesBefore) {
    const std::int64_t taken = output->bytesTaken();
    if (fragments.empty() || taken > fragments.back().bytesEnd)
        fragments.push_back({taken, framesBefore});
    // Only the newest fragment the file holds whole, and those after it, still matter.
    while (fragments.size() > 1 && fragments[1].bytesEnd <= output->bytesInFile())
        fragments.pop_front();
}

void M4aWriter::finish() {
    State &s = *m_state;
    if (s.finished)
        return;
    s.finished = true;
    s.encodeFromFifo(true);
    s.sendFrame(nullptr);
    check(av_write_trailer(s.format.get()), "cannot finish the audio file");
    s.output->close();
}

void M4aWriter::sync() {
    if (!m_state->finished)
        m_state->output->sync();
}

bool M4aWriter::waitsForRoom() const noexcept {
    return !m_state->finished && m_state->output->waitsForRoom();
}

bool M4aWriter::writeWaiting() {
    return m_state->finished || m_state->output->writeWaiting();
}

std::int64_t M4aWriter::framesWritten() const noexcept {
    return m_state->framesWritten;
}

std::int64_t M4aWriter::framesAwaitingRoom() const noexcept {
    const State &s = *m_state;
    if (!s.output->waitsForRoom())
        return 0;
    std::int64_t inFile = 0;
    for (const State::Fragment &fragment : s.fragments)
        if (fragment.bytesEnd <= s.output->bytesInFile())
            inFile = fragment.framesEnd;
    return std::max<std::int64_t>(0, s.framesWritten - inFile);
}
