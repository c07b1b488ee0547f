#include "TrackRemux.h"

#include "AudioFileError.h"
#include "FfmpegPtr.h"
#include "FileOutput.h"
#include "M4aWriter.h"

#include <QFile>

#include <algorithm>
#include <string>

namespace {

void check(int result, const char *what) {
    if (result < 0)
        throw AudioFileError(std::string(what) + ": " + ffmpeg::errorText(result));
}

struct DictionaryDeleter {
    void operator()(AVDictionary *d) const noexcept { av_dict_free(&d); }
};

} // namespace

std::int64_t remuxTrack(const QString &partPath, const QString &outPath,
                        std::optional<std::int64_t> frames) {
    ffmpeg::silenceLogging();
    AVFormatContext *opened = nullptr;
    check(avformat_open_input(&opened, QFile::encodeName(partPath).constData(), nullptr, nullptr),
          "cannot open the part file");
    const ffmpeg::InputContextPtr input(opened);
    check(avformat_find_stream_info(input.get(), nullptr), "cannot read the part file's streams");
    const int inIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    check(inIndex, "the part file holds no audio");
    const AVStream *inStream = input->streams[inIndex];
    const int sampleRate = inStream->codecpar->sample_rate;
    if (sampleRate <= 0)
        throw AudioFileError("the part file's audio has no sample rate");

    // Declared before the muxer, which writes through it until it is gone.
    FileOutput file(outPath);
    AVFormatContext *made = nullptr;
    check(avformat_alloc_output_context2(&made, nullptr, "ipod",
                                         QFile::encodeName(outPath).constData()),
          "cannot create the M4A muxer");
    const ffmpeg::OutputContextPtr output(made);
    file.attachTo(output.get());
    AVStream *outStream = avformat_new_stream(output.get(), nullptr);
    if (!outStream)
        throw AudioFileError("cannot allocate the audio stream");
    check(avcodec_parameters_copy(outStream->codecpar, inStream->codecpar), "stream parameters");
    outStream->codecpar->codec_tag = 0;
    outStream->time_base = AVRational{1, sampleRate};

    AVDictionary *options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    const int written = avformat_write_header(output.get(), &options);
    const std::unique_ptr<AVDictionary, DictionaryDeleter> unused(options);
    check(written, "cannot write the file header");

    // Timestamps count samples from the part's first packet, less the encoder's priming: the
    // muxer turns the negative start into an edit list that skips the priming when played.
    const AVRational samples{1, sampleRate};
    const std::int64_t end = frames.value_or(INT64_MAX);
    std::optional<std::int64_t> firstPts;
    ffmpeg::PacketPtr packet(av_packet_alloc());
    ffmpeg::PacketPtr held(av_packet_alloc()); // written once the next one shows where it ends
    if (!packet || !held)
        throw AudioFileError("cannot allocate a packet");
    bool holding = false;
    std::int64_t length = 0;
    const auto write = [&](AVPacket *toWrite) {
        length = std::max(length, toWrite->pts + toWrite->duration);
        av_packet_rescale_ts(toWrite, samples, outStream->time_base);
        check(av_write_frame(output.get(), toWrite), "cannot write audio");
    };
    for (;;) {
        const int read = av_read_frame(input.get(), packet.get());
        if (read == AVERROR_EOF)
            break;
        check(read, "cannot read the part file");
        if (packet->stream_index != inIndex || packet->pts == AV_NOPTS_VALUE) {
            av_packet_unref(packet.get());
            continue;
        }
        av_packet_rescale_ts(packet.get(), inStream->time_base, samples);
        if (!firstPts)
            firstPts = packet->pts;
        packet->pts = packet->pts - *firstPts - M4aWriter::primingFrames;
        packet->dts = packet->pts;
        if (packet->pts >= end) { // padding only: nothing of the recording is left to decode
            av_packet_unref(packet.get());
            break;
        }
        packet->stream_index = outStream->index;
        if (holding)
            write(held.get());
        av_packet_unref(held.get());
        av_packet_move_ref(held.get(), packet.get());
        holding = true;
    }
    if (holding) {
        // The last frame lasts only as far as the recording did; the rest is padding.
        if (frames && held->pts + held->duration > end)
            held->duration = end - held->pts;
        write(held.get());
    }
    check(av_write_trailer(output.get()), "cannot finish the file");
    file.close();
    return length;
}
