// Recordings into Matroska or MP4 through FFmpeg's libraries. The cells are read as one
// program stream (a custom input over their sectors) and demuxed by libavformat; each
// cell's timestamps are moved so that it starts where the one before ended. Matroska gets
// the streams as recorded (LPCM as plain PCM, which it can hold), the display aspect and
// frame rate of the management file in its track header and one chapter per cell. MP4 gets
// deinterlaced H.264 at square pixels and AAC, for phones. Built into the media module,
// which remux_module.cpp loads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "platform/platform.h"
#include "recordings.h"
#include "version.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace vrsplit {

namespace {

constexpr AVRational kTicks{1, static_cast<int>(kClockRate)};
constexpr int kIoBufferSize = 64 * 1024;
constexpr std::int64_t kClockStep = static_cast<std::int64_t>(kMaxClockStep);  // larger jumps are breaks
constexpr std::int64_t kAudioGap = kClockRate / 10;                            // audio resynchronised beyond this
constexpr int kAudioRate = 48000;
constexpr std::int64_t kAacBitRate = 160000;
constexpr double kProgressInterval = 0.5;  // seconds between progress reports
constexpr std::int64_t kNoTime = AV_NOPTS_VALUE;

// ---- RAII for FFmpeg's objects -----------------------------------------------------------

struct FreeInput {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct FreeOutput {
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct FreeIo {
    void operator()(AVIOContext* io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FreeCodec {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreePacket {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FreeFrame {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FreeGraph {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
struct FreeResampler {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FreeFifo {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using InputPtr = std::unique_ptr<AVFormatContext, FreeInput>;
using OutputPtr = std::unique_ptr<AVFormatContext, FreeOutput>;
using IoPtr = std::unique_ptr<AVIOContext, FreeIo>;
using CodecPtr = std::unique_ptr<AVCodecContext, FreeCodec>;
using PacketPtr = std::unique_ptr<AVPacket, FreePacket>;
using FramePtr = std::unique_ptr<AVFrame, FreeFrame>;
using GraphPtr = std::unique_ptr<AVFilterGraph, FreeGraph>;
using ResamplerPtr = std::unique_ptr<SwrContext, FreeResampler>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FreeFifo>;

std::string ffmpegText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// ---- the cells' sectors as one input ---------------------------------------------------

struct CellBytes {
    std::uint64_t sourceOffset = 0, length = 0, inputOffset = 0;
};

struct SectorInput {
    std::ifstream file;
    std::vector<CellBytes> cells;
    std::uint64_t position = 0, size = 0;
};

int readInput(void* opaque, std::uint8_t* buffer, int wanted)
{
    auto& in = *static_cast<SectorInput*>(opaque);
    for (const CellBytes& cell : in.cells) {
        if (in.position < cell.inputOffset || in.position >= cell.inputOffset + cell.length)
            continue;
        std::uint64_t into = in.position - cell.inputOffset;
        auto count = static_cast<std::streamsize>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(wanted), cell.length - into));
        in.file.clear();
        in.file.seekg(static_cast<std::streamoff>(cell.sourceOffset + into));
        in.file.read(reinterpret_cast<char*>(buffer), count);
        auto got = static_cast<int>(in.file.gcount());
        in.position += static_cast<std::uint64_t>(got);
        return got > 0 ? got : AVERROR(EIO);
    }
    return AVERROR_EOF;
}

std::int64_t seekInput(void* opaque, std::int64_t offset, int whence)
{
    auto& in = *static_cast<SectorInput*>(opaque);
    auto size = static_cast<std::int64_t>(in.size);
    if (whence & AVSEEK_SIZE)
        return size;
    whence &= ~AVSEEK_FORCE;
    std::int64_t to = whence == SEEK_SET   ? offset
                      : whence == SEEK_CUR ? static_cast<std::int64_t>(in.position) + offset
                      : whence == SEEK_END ? size + offset
                                           : -1;
    if (to < 0)
        return AVERROR(EINVAL);
    in.position = static_cast<std::uint64_t>(to);
    return to;
}

// The cell whose bytes of the input hold `position`; `current` when unknown.
std::size_t cellAt(const SectorInput& in, std::int64_t position, std::size_t current)
{
    if (position < 0)
        return current;
    for (std::size_t c = in.cells.size(); c-- > 0;) {
        if (static_cast<std::uint64_t>(position) >= in.cells[c].inputOffset)
            return c;
    }
    return 0;
}

// ---- the output file, through the platform's files --------------------------------------

struct OutputSink {
    FileHandle handle = nullptr;
    std::uint64_t position = 0, end = 0;
    std::uint32_t failure = 0;  // the system's error of a failed write
    ~OutputSink()
    {
        if (handle != nullptr)
            platformCloseFile(handle);
    }
};

int writeOutput(void* opaque, std::uint8_t* data, int length)
{
    auto& out = *static_cast<OutputSink*>(opaque);
    std::uint32_t written = 0;
    if (!platformWriteFile(out.handle, data, static_cast<std::uint32_t>(length), &written) ||
        written != static_cast<std::uint32_t>(length)) {
        out.failure = platformLastError();
        return AVERROR(EIO);
    }
    out.position += written;
    out.end = std::max(out.end, out.position);
    return length;
}

std::int64_t seekOutput(void* opaque, std::int64_t offset, int whence)
{
    auto& out = *static_cast<OutputSink*>(opaque);
    if (whence & AVSEEK_SIZE)
        return static_cast<std::int64_t>(out.end);
    whence &= ~AVSEEK_FORCE;
    std::int64_t to = whence == SEEK_SET   ? offset
                      : whence == SEEK_CUR ? static_cast<std::int64_t>(out.position) + offset
                      : whence == SEEK_END ? static_cast<std::int64_t>(out.end) + offset
                                           : -1;
    if (to < 0 || !platformSeekFile(out.handle, static_cast<std::uint64_t>(to)))
        return AVERROR(EINVAL);
    out.position = static_cast<std::uint64_t>(to);
    return to;
}

// ---- one run ------------------------------------------------------------------------------

// One stream of the input that goes into the output: copied, or decoded and encoded.
struct Track {
    AVStream* input = nullptr;
    AVStream* output = nullptr;
    bool video = false;
    CodecPtr decoder, encoder;
    CodecPtr checker;  // copied audio: a frame broken at a cell's end or by damage is left out
    GraphPtr graph;    // video for MP4: deinterlace, square pixels
    AVFilterContext* graphIn = nullptr;
    AVFilterContext* graphOut = nullptr;
    ResamplerPtr resampler;  // audio for AAC
    FifoPtr fifo;
    std::int64_t lastTime = kNoTime;    // of the last packet taken, on the output's clock (90 kHz)
    std::int64_t lastFrame = kNoTime;   // pts of the last frame encoded, encoder time base
    std::int64_t nextSample = kNoTime;  // AAC: the pts of the next sample, 1/kAudioRate
};

struct Remux {
    const RemuxJob& job;
    SectorInput input{};
    OutputSink sink{};
    InputPtr demuxer{};
    OutputPtr muxer{};
    std::vector<Track> tracks{};            // by input stream: output == nullptr when left out
    std::vector<std::int64_t> cellStart{};  // where each cell starts on the output's clock
    std::int64_t outputEnd = 0;             // the end of the last cell on the output's clock
    std::size_t cell = 0;
    bool inCell = false;
    std::int64_t offset = 0;         // added to the times of the current cell
    std::int64_t highest = kNoTime;  // the latest time given out so far
    std::int64_t frameTicks = 3003;
    RemuxResult& result;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    double lastProgress = 0;
};

double secondsSince(const Remux& r)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - r.started).count();
}

// Moves a packet's times (90 kHz) onto the output's clock: a new cell starts where the
// cell before ended, by the time map; a clock that breaks inside a cell (back, or forward
// by more than a jump between packs) goes on from the latest time. False: leave it out.
bool movePacketTimes(Remux& r, Track& track, AVPacket& packet)
{
    std::int64_t time = packet.dts != kNoTime ? packet.dts : packet.pts;
    if (time == kNoTime)
        return false;
    std::size_t cell = cellAt(r.input, packet.pos, r.cell);
    if (!r.inCell || cell > r.cell) {
        r.cell = cell;
        r.inCell = true;
        const RemuxCell& timed = r.job.cells[cell];
        std::int64_t expected =
            timed.startTime ? r.cellStart[cell] : (r.highest == kNoTime ? 0 : r.highest + r.frameTicks);
        r.offset = expected - (timed.startTime ? static_cast<std::int64_t>(*timed.startTime) : time);
        if (std::abs(time + r.offset - expected) > kClockStep)
            r.offset = expected - time;
    }
    std::int64_t moved = time + r.offset;
    bool back = track.lastTime != kNoTime && moved < track.lastTime - kClockRate;
    if (back || (r.highest != kNoTime && moved > r.highest + kClockStep)) {
        r.offset = r.highest + r.frameTicks - time;
        moved = time + r.offset;
    }
    if (track.lastTime != kNoTime && moved <= track.lastTime)
        return false;
    if (packet.dts != kNoTime)
        packet.dts += r.offset;
    if (packet.pts != kNoTime)
        packet.pts += r.offset;
    track.lastTime = moved;
    r.highest = r.highest == kNoTime ? moved : std::max(r.highest, moved);
    return true;
}

bool writePacket(Remux& r, Track& track, AVPacket& packet, AVRational from, std::string& error)
{
    av_packet_rescale_ts(&packet, from, track.output->time_base);
    packet.stream_index = track.output->index;
    packet.pos = -1;
    int status = av_interleaved_write_frame(r.muxer.get(), &packet);
    if (status < 0) {
        error = "cannot write a packet (" + ffmpegText(status) + ")";
        return false;
    }
    return true;
}

// Encodes `frame` (null: the end) and writes what the encoder gives.
bool encodeFrame(Remux& r, Track& track, AVFrame* frame, std::string& error)
{
    if (frame != nullptr) {
        if (track.lastFrame != kNoTime && frame->pts <= track.lastFrame)
            return true;  // a frame out of order after a break in the clock
        track.lastFrame = frame->pts;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
    }
    int status = avcodec_send_frame(track.encoder.get(), frame);
    if (status < 0) {
        error = "cannot encode (" + ffmpegText(status) + ")";
        return false;
    }
    PacketPtr packet(av_packet_alloc());
    while ((status = avcodec_receive_packet(track.encoder.get(), packet.get())) >= 0) {
        if (!writePacket(r, track, *packet, track.encoder->time_base, error))
            return false;
        av_packet_unref(packet.get());
    }
    if (status != AVERROR(EAGAIN) && status != AVERROR_EOF) {
        error = "cannot encode (" + ffmpegText(status) + ")";
        return false;
    }
    return true;
}

// AAC takes frames of a fixed size: resampled audio goes through a FIFO.
bool encodeAudioFifo(Remux& r, Track& track, bool all, std::string& error)
{
    AVCodecContext* encoder = track.encoder.get();
    while (av_audio_fifo_size(track.fifo.get()) >= encoder->frame_size ||
           (all && av_audio_fifo_size(track.fifo.get()) > 0)) {
        int count = std::min(av_audio_fifo_size(track.fifo.get()), encoder->frame_size);
        FramePtr frame(av_frame_alloc());
        frame->nb_samples = count;
        frame->format = encoder->sample_fmt;
        frame->sample_rate = encoder->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0 ||
            av_audio_fifo_read(track.fifo.get(), reinterpret_cast<void**>(frame->data), count) != count) {
            error = "out of memory";
            return false;
        }
        frame->pts = track.nextSample;
        track.nextSample += count;
        if (!encodeFrame(r, track, frame.get(), error))
            return false;
    }
    return true;
}

bool takeAudioFrame(Remux& r, Track& track, AVFrame* decoded, std::string& error)
{
    if (!track.resampler) {  // PCM as it was decoded
        decoded->pts = av_rescale_q(decoded->best_effort_timestamp, kTicks, track.encoder->time_base);
        return encodeFrame(r, track, decoded, error);
    }
    std::int64_t at = decoded->best_effort_timestamp;
    if (at != kNoTime) {
        std::int64_t sample = av_rescale_q(at, kTicks, AVRational{1, kAudioRate});
        std::int64_t queued = av_audio_fifo_size(track.fifo.get());
        std::int64_t expected = track.nextSample == kNoTime ? kNoTime : track.nextSample + queued;
        std::int64_t gap = kAudioGap * kAudioRate / kClockRate;
        if (expected != kNoTime && sample < expected - gap)
            return true;  // overlaps what is queued: left out
        if (expected == kNoTime || sample > expected + gap) {
            if (!encodeAudioFifo(r, track, true, error))
                return false;
            track.nextSample = sample;
        }
    }
    FramePtr converted(av_frame_alloc());
    converted->format = track.encoder->sample_fmt;
    converted->sample_rate = kAudioRate;
    av_channel_layout_copy(&converted->ch_layout, &track.encoder->ch_layout);
    int status = swr_convert_frame(track.resampler.get(), converted.get(), decoded);
    if (status < 0) {
        error = "cannot resample the audio (" + ffmpegText(status) + ")";
        return false;
    }
    if (track.nextSample == kNoTime)
        track.nextSample = 0;
    if (converted->nb_samples > 0 && av_audio_fifo_write(track.fifo.get(), reinterpret_cast<void**>(converted->data),
                                                         converted->nb_samples) < converted->nb_samples) {
        error = "out of memory";
        return false;
    }
    return encodeAudioFifo(r, track, false, error);
}

// Encodes the frames the video filter has ready.
bool encodeFilteredFrames(Remux& r, Track& track, std::string& error)
{
    FramePtr filtered(av_frame_alloc());
    while (av_buffersink_get_frame(track.graphOut, filtered.get()) >= 0) {
        ++r.result.frames;
        bool ok = encodeFrame(r, track, filtered.get(), error);
        av_frame_unref(filtered.get());
        if (!ok)
            return false;
    }
    return true;
}

bool takeVideoFrame(Remux& r, Track& track, AVFrame* decoded, std::string& error)
{
    decoded->pts = decoded->best_effort_timestamp;
    int status = av_buffersrc_add_frame_flags(track.graphIn, decoded, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (status < 0) {
        error = "cannot filter the video (" + ffmpegText(status) + ")";
        return false;
    }
    return encodeFilteredFrames(r, track, error);
}

// Decodes `packet` (null: the end) and passes on its frames.
bool decodePacket(Remux& r, Track& track, const AVPacket* packet, std::string& error)
{
    if (avcodec_send_packet(track.decoder.get(), packet) < 0 && packet != nullptr)
        return true;  // damaged data: the decoder goes on with the next packet
    FramePtr frame(av_frame_alloc());
    while (avcodec_receive_frame(track.decoder.get(), frame.get()) >= 0) {
        bool ok =
            track.video ? takeVideoFrame(r, track, frame.get(), error) : takeAudioFrame(r, track, frame.get(), error);
        av_frame_unref(frame.get());
        if (!ok)
            return false;
    }
    return true;
}

bool flushTrack(Remux& r, Track& track, std::string& error)
{
    if (!track.decoder)
        return true;
    if (!decodePacket(r, track, nullptr, error))
        return false;
    if (track.video) {
        if (av_buffersrc_add_frame_flags(track.graphIn, nullptr, 0) >= 0 && !encodeFilteredFrames(r, track, error))
            return false;
    } else if (track.fifo && !encodeAudioFifo(r, track, true, error)) {
        return false;
    }
    return encodeFrame(r, track, nullptr, error);
}

// ---- setting up ------------------------------------------------------------------------

bool openInput(Remux& r, IoPtr& io, std::string& error)
{
    r.input.file.open(r.job.source, std::ios::binary);
    if (!r.input.file) {
        error = r.job.source + ": cannot open" + systemReason();
        return false;
    }
    r.input.file.seekg(0, std::ios::end);
    auto sourceSize = static_cast<std::uint64_t>(r.input.file.tellg());
    for (const RemuxCell& cell : r.job.cells) {
        std::uint64_t first = std::min(cell.sectors.first * kSectorSize, sourceSize);
        std::uint64_t end = std::min(cell.sectors.end * kSectorSize, sourceSize);
        r.input.cells.push_back(CellBytes{first, end - first, r.input.size});
        r.input.size += end - first;
    }
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &r.input, readInput, nullptr, seekInput));
    AVFormatContext* context = avformat_alloc_context();
    if (!io || context == nullptr) {
        if (!io)
            av_free(buffer);
        avformat_free_context(context);
        error = "out of memory";
        return false;
    }
    context->pb = io.get();
    context->flags |= AVFMT_FLAG_GENPTS;  // Matroska wants a presentation time on every frame
    int status = avformat_open_input(&context, "", av_find_input_format("mpeg"), nullptr);
    if (status < 0) {
        error = r.job.source + ": not an MPEG program stream (" + ffmpegText(status) + ")";
        return false;
    }
    r.demuxer.reset(context);
    status = avformat_find_stream_info(context, nullptr);
    if (status < 0) {
        error = r.job.source + ": the streams cannot be read (" + ffmpegText(status) + ")";
        return false;
    }
    return true;
}

CodecPtr openDecoder(const AVStream* stream, int errorChecks = 0)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    CodecPtr decoder(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        return nullptr;
    decoder->pkt_timebase = kTicks;
    decoder->err_recognition = errorChecks;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return nullptr;
    return decoder;
}

bool openEncoder(Remux& r, Track& track, CodecPtr encoder, AVDictionary** options, std::string& error)
{
    if (r.muxer->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int status = avcodec_open2(encoder.get(), encoder->codec, options);
    av_dict_free(options);
    if (status < 0 || avcodec_parameters_from_context(track.output->codecpar, encoder.get()) < 0) {
        error = std::string("cannot open the ") + encoder->codec->name + " encoder (" + ffmpegText(status) + ")";
        return false;
    }
    track.output->time_base = encoder->time_base;
    track.encoder = std::move(encoder);
    return true;
}

// The display aspect the output gets: the management file's, else the stream's.
AVRational displayAspect(const Remux& r, const AVCodecParameters& video)
{
    if (r.job.displayAspect.num > 0)
        return AVRational{r.job.displayAspect.num, r.job.displayAspect.den};
    AVRational sample = video.sample_aspect_ratio.num > 0 ? video.sample_aspect_ratio : AVRational{1, 1};
    AVRational aspect{};
    av_reduce(&aspect.num, &aspect.den, std::int64_t{video.width} * sample.num, std::int64_t{video.height} * sample.den,
              1 << 20);
    return aspect;
}

AVRational frameRate(const Remux& r, const AVStream& video)
{
    if (r.job.frameRate.num > 0)
        return AVRational{r.job.frameRate.num, r.job.frameRate.den};
    return video.avg_frame_rate.num > 0 ? video.avg_frame_rate : video.r_frame_rate;
}

// Where the stream's sequence header says other than the management file.
std::string streamDifference(const Remux& r, const AVStream& video)
{
    const AVCodecParameters& p = *video.codecpar;
    std::string text;
    if (r.job.displayAspect.num > 0 && p.width > 0 && p.height > 0) {
        AVRational sample = p.sample_aspect_ratio.num > 0 ? p.sample_aspect_ratio : AVRational{1, 1};
        AVRational own{};
        av_reduce(&own.num, &own.den, std::int64_t{p.width} * sample.num, std::int64_t{p.height} * sample.den, 1 << 20);
        AVRational wanted{r.job.displayAspect.num, r.job.displayAspect.den};
        if (std::abs(av_q2d(own) / av_q2d(wanted) - 1) > 0.01) {
            text += "display aspect " + std::to_string(own.num) + ":" + std::to_string(own.den) +
                    " (the management file: " + std::to_string(wanted.num) + ":" + std::to_string(wanted.den) + ")";
        }
    }
    AVRational own = video.r_frame_rate.num > 0 ? video.r_frame_rate : video.avg_frame_rate;
    if (r.job.frameRate.num > 0 && own.num > 0) {
        AVRational wanted{r.job.frameRate.num, r.job.frameRate.den};
        if (std::abs(av_q2d(own) / av_q2d(wanted) - 1) > 0.01) {
            char rates[96];
            std::snprintf(rates, sizeof rates, "%.3f frames/s (the management file: %.3f)", av_q2d(own),
                          av_q2d(wanted));
            text += (text.empty() ? "" : ", ") + std::string(rates);
        }
    }
    return text.empty() ? text : "the video stream says " + text + "; written as the management file says";
}

bool addVideoCopy(Remux& r, Track& track, std::string& error)
{
    AVCodecParameters* p = track.output->codecpar;
    if (avcodec_parameters_copy(p, track.input->codecpar) < 0) {
        error = "out of memory";
        return false;
    }
    p->codec_tag = 0;
    AVRational aspect = displayAspect(r, *track.input->codecpar);
    if (p->width > 0 && p->height > 0 && aspect.num > 0) {
        av_reduce(&p->sample_aspect_ratio.num, &p->sample_aspect_ratio.den, std::int64_t{aspect.num} * p->height,
                  std::int64_t{aspect.den} * p->width, 1 << 20);
        track.output->sample_aspect_ratio = p->sample_aspect_ratio;
    }
    track.output->avg_frame_rate = frameRate(r, *track.input);
    track.output->time_base = kTicks;
    r.result.streamDiffers = streamDifference(r, *track.input);
    return true;
}

bool addVideoEncoder(Remux& r, Track& track, std::string& error)
{
    track.decoder = openDecoder(track.input);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!track.decoder || codec == nullptr) {
        error = !track.decoder ? "cannot decode the video" : "this FFmpeg has no libx264 encoder";
        return false;
    }
    const AVCodecParameters& in = *track.input->codecpar;
    AVRational aspect = displayAspect(r, in);
    int height = in.height;
    int width = static_cast<int>(std::lround(height * av_q2d(aspect) / 2)) * 2;
    AVRational rate = frameRate(r, *track.input);
    char description[512];
    std::snprintf(description, sizeof description,
                  "buffer=video_size=%dx%d:pix_fmt=%d:time_base=1/%u:pixel_aspect=%d/%d[in];"
                  "[in]bwdif=mode=send_frame:parity=auto:deint=interlaced,scale=%d:%d,setsar=1,format=yuv420p,"
                  "buffersink",
                  in.width, in.height, in.format, kClockRate, std::max(in.sample_aspect_ratio.num, 1),
                  std::max(in.sample_aspect_ratio.den, 1), width, height);
    track.graph.reset(avfilter_graph_alloc());
    AVFilterInOut* inputs = nullptr;
    AVFilterInOut* outputs = nullptr;
    int status = avfilter_graph_parse2(track.graph.get(), description, &inputs, &outputs);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (status >= 0)
        status = avfilter_graph_config(track.graph.get(), nullptr);
    if (status < 0) {
        error = "cannot set up the deinterlacer (" + ffmpegText(status) + ")";
        return false;
    }
    for (unsigned i = 0; i < track.graph->nb_filters; ++i) {
        AVFilterContext* filter = track.graph->filters[i];
        if (std::string(filter->filter->name) == "buffer")
            track.graphIn = filter;
        else if (std::string(filter->filter->name) == "buffersink")
            track.graphOut = filter;
    }
    CodecPtr encoder(avcodec_alloc_context3(codec));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->sample_aspect_ratio = AVRational{1, 1};
    encoder->time_base = av_buffersink_get_time_base(track.graphOut);  // the deinterlacer halves it
    encoder->framerate = rate;
    track.output->avg_frame_rate = rate;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "crf", "21", 0);
    return openEncoder(r, track, std::move(encoder), &options, error);
}

bool addAudioEncoder(Remux& r, Track& track, std::string& error)
{
    track.decoder = openDecoder(track.input);
    if (!track.decoder) {
        error = std::string("cannot decode the ") + avcodec_get_name(track.input->codecpar->codec_id) + " audio";
        return false;
    }
    AVCodecContext* decoder = track.decoder.get();
    bool aac = r.job.format == OutputFormat::Mp4;
    AVCodecID id = aac                                        ? AV_CODEC_ID_AAC
                   : decoder->sample_fmt == AV_SAMPLE_FMT_S16 ? AV_CODEC_ID_PCM_S16LE
                                                              : AV_CODEC_ID_PCM_S24LE;
    const AVCodec* codec = avcodec_find_encoder(id);
    CodecPtr encoder(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    if (!encoder) {
        error = std::string("this FFmpeg has no ") + avcodec_get_name(id) + " encoder";
        return false;
    }
    if (aac) {
        encoder->sample_rate = kAudioRate;
        encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder->bit_rate = kAacBitRate;
        av_channel_layout_default(&encoder->ch_layout, std::min(decoder->ch_layout.nb_channels, 2));
        SwrContext* resampler = nullptr;
        if (swr_alloc_set_opts2(&resampler, &encoder->ch_layout, encoder->sample_fmt, kAudioRate, &decoder->ch_layout,
                                decoder->sample_fmt, decoder->sample_rate, 0, nullptr) < 0 ||
            swr_init(resampler) < 0) {
            swr_free(&resampler);
            error = "cannot set up the audio resampler";
            return false;
        }
        track.resampler.reset(resampler);
        track.fifo.reset(av_audio_fifo_alloc(encoder->sample_fmt, encoder->ch_layout.nb_channels, 1));
    } else {
        encoder->sample_rate = decoder->sample_rate;
        encoder->sample_fmt = decoder->sample_fmt;
        av_channel_layout_copy(&encoder->ch_layout, &decoder->ch_layout);
        if (id == AV_CODEC_ID_PCM_S24LE)
            encoder->bits_per_raw_sample = 24;
    }
    encoder->time_base = AVRational{1, encoder->sample_rate};
    AVDictionary* options = nullptr;
    return openEncoder(r, track, std::move(encoder), &options, error);
}

bool addAudioCopy(Track& track, std::string& error)
{
    track.checker = openDecoder(track.input, AV_EF_EXPLODE | AV_EF_CRCCHECK);
    if (!track.checker || avcodec_parameters_copy(track.output->codecpar, track.input->codecpar) < 0) {
        error = std::string("cannot decode the ") + avcodec_get_name(track.input->codecpar->codec_id) + " audio";
        return false;
    }
    return true;
}

// Whether a copied audio packet holds whole, undamaged frames.
bool decodesCleanly(Track& track, const AVPacket& packet)
{
    if (avcodec_send_packet(track.checker.get(), &packet) < 0)
        return false;
    FramePtr frame(av_frame_alloc());
    bool clean = true;
    int status = 0;
    while ((status = avcodec_receive_frame(track.checker.get(), frame.get())) >= 0) {
        clean = clean && frame->decode_error_flags == 0 && (frame->flags & AV_FRAME_FLAG_CORRUPT) == 0;
        av_frame_unref(frame.get());
    }
    return clean && status == AVERROR(EAGAIN);
}

bool isCopiedAudio(AVCodecID id)
{
    return id == AV_CODEC_ID_AC3 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP3;
}

bool openOutput(Remux& r, IoPtr& io, std::string& error)
{
    const char* format = r.job.format == OutputFormat::Mp4 ? "mp4" : "matroska";
    AVFormatContext* context = nullptr;
    if (avformat_alloc_output_context2(&context, nullptr, format, nullptr) < 0) {
        error = "no muxer for " + std::string(format);
        return false;
    }
    r.muxer.reset(context);
    bool video = false;
    r.tracks.resize(r.demuxer->nb_streams);
    for (unsigned i = 0; i < r.demuxer->nb_streams; ++i) {
        Track& track = r.tracks[i];
        track.input = r.demuxer->streams[i];
        AVCodecID id = track.input->codecpar->codec_id;
        AVMediaType type = track.input->codecpar->codec_type;
        bool isVideo =
            type == AVMEDIA_TYPE_VIDEO && !video && (id == AV_CODEC_ID_MPEG2VIDEO || id == AV_CODEC_ID_MPEG1VIDEO);
        bool isAudio = type == AVMEDIA_TYPE_AUDIO && (isCopiedAudio(id) || id == AV_CODEC_ID_PCM_DVD);
        if (!isVideo && !isAudio)
            continue;
        track.video = isVideo;
        video = video || isVideo;
        track.output = avformat_new_stream(context, nullptr);
        bool ok = false;
        if (isVideo)
            ok = r.job.format == OutputFormat::Mp4 ? addVideoEncoder(r, track, error) : addVideoCopy(r, track, error);
        else if (r.job.format == OutputFormat::Matroska && isCopiedAudio(id))
            ok = addAudioCopy(track, error);
        else
            ok = addAudioEncoder(r, track, error);
        if (!ok)
            return false;
        track.output->codecpar->codec_tag = 0;
        if (track.video) {
            AVRational rate = frameRate(r, *track.input);
            if (rate.num > 0)
                r.frameTicks = av_rescale_q(1, av_inv_q(rate), kTicks);
        }
    }
    if (!video) {
        error = r.job.source + ": no MPEG video in the recording";
        return false;
    }
    if (!r.job.title.empty())
        av_dict_set(&context->metadata, "title", r.job.title.c_str(), 0);
    if (r.job.format == OutputFormat::Matroska) {
        if (!r.job.dateRecorded.empty())
            av_dict_set(&context->metadata, "DATE_RECORDED", r.job.dateRecorded.c_str(), 0);
        av_dict_set_int(&context->metadata, "PART_NUMBER", r.job.programNumber, 0);
    } else {
        std::string date = r.job.dateRecorded;
        if (date.size() == 19)
            date = date.substr(0, 10) + "T" + date.substr(11) + "Z";
        if (!date.empty())
            av_dict_set(&context->metadata, "date", date.c_str(), 0);
        av_dict_set_int(&context->metadata, "track", r.job.programNumber, 0);
    }

    // One chapter per cell where the time map times them.
    r.cellStart.assign(r.job.cells.size(), 0);
    bool timed = true;
    for (std::size_t c = 0; c < r.job.cells.size(); ++c) {
        const RemuxCell& cell = r.job.cells[c];
        timed = timed && cell.startTime && cell.endTime >= *cell.startTime;
        r.cellStart[c] = r.outputEnd;
        if (timed)
            r.outputEnd += static_cast<std::int64_t>(cell.endTime - *cell.startTime);
    }
    if (timed)
        context->chapters = static_cast<AVChapter**>(av_calloc(r.job.cells.size(), sizeof(AVChapter*)));
    for (std::size_t c = 0; timed && c < r.job.cells.size(); ++c) {
        auto* chapter = context->chapters != nullptr ? static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter))) : nullptr;
        if (chapter == nullptr) {
            error = "out of memory";
            return false;
        }
        context->chapters[c] = chapter;
        context->nb_chapters = static_cast<unsigned>(c + 1);
        chapter->id = static_cast<std::int64_t>(c + 1);
        chapter->time_base = kTicks;
        chapter->start = r.cellStart[c];
        chapter->end = c + 1 < r.job.cells.size() ? r.cellStart[c + 1] : r.outputEnd;
        av_dict_set(&chapter->metadata, "title", ("Cell " + std::to_string(c + 1)).c_str(), 0);
    }

    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    io.reset(avio_alloc_context(buffer, kIoBufferSize, 1, &r.sink, nullptr, writeOutput, seekOutput));
    if (!io) {
        av_free(buffer);
        error = "out of memory";
        return false;
    }
    context->pb = io.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    int status = avformat_write_header(context, nullptr);
    if (status < 0) {
        error = "cannot write the header (" + ffmpegText(status) + ")";
        return false;
    }
    return true;
}

bool convert(Remux& r, const std::function<void(const RemuxProgress&)>& progress, std::string& error)
{
    PacketPtr packet(av_packet_alloc());
    while (av_read_frame(r.demuxer.get(), packet.get()) >= 0) {
        auto index = static_cast<std::size_t>(packet->stream_index);
        Track* track = index < r.tracks.size() && r.tracks[index].output != nullptr ? &r.tracks[index] : nullptr;
        if (track != nullptr) {
            av_packet_rescale_ts(packet.get(), track->input->time_base, kTicks);
            if ((track->checker && !decodesCleanly(*track, *packet)) || !movePacketTimes(r, *track, *packet)) {
                ++r.result.dropped;
            } else if (track->decoder) {
                if (!decodePacket(r, *track, packet.get(), error))
                    return false;
            } else {
                r.result.frames += track->video ? 1 : 0;
                if (!writePacket(r, *track, *packet, kTicks, error))
                    return false;
            }
        }
        av_packet_unref(packet.get());
        double now = secondsSince(r);
        if (progress && now - r.lastProgress >= kProgressInterval) {
            r.lastProgress = now;
            double fraction =
                r.input.size > 0 ? static_cast<double>(r.input.position) / static_cast<double>(r.input.size) : 1;
            progress(RemuxProgress{r.result.frames, std::min(fraction, 1.0), now});
        }
    }
    for (Track& track : r.tracks) {
        if (track.output != nullptr && !flushTrack(r, track, error))
            return false;
    }
    int status = av_write_trailer(r.muxer.get());
    if (status < 0) {
        error = "cannot finish the file (" + ffmpegText(status) + ")";
        return false;
    }
    if (progress)
        progress(RemuxProgress{r.result.frames, 1, secondsSince(r)});
    return true;
}

}  // namespace

bool remuxRecording(const RemuxJob& job, const std::string& path,
                    const std::function<void(const RemuxProgress&)>& progress, RemuxResult& result, std::string& error)
{
    result = RemuxResult{};
    std::uint64_t existing = 0;
    if (platformFileSizeUtf8(path.c_str(), &existing)) {
        result.kept = true;  // a final name only ever holds a complete file
        return true;
    }
    av_log_set_level(AV_LOG_QUIET);  // what goes wrong comes back in `error`
    const std::string partial = path + kPartialSuffix;
    bool ok = false;
    {
        IoPtr inputIo, outputIo;  // outlive the contexts that use them
        Remux r{.job = job, .result = result};
        if (!platformCreateOrEmptyFileUtf8(partial.c_str(), &r.sink.handle)) {
            r.sink.handle = nullptr;
            error = partial + ": cannot create" + systemReason();
            return false;
        }
        std::string problem;
        ok = openInput(r, inputIo, problem) && openOutput(r, outputIo, problem) && convert(r, progress, problem);
        if (ok && !platformFlushFile(r.sink.handle)) {
            ok = false;
            problem = "cannot write to the disk" + systemReason();
        }
        if (!ok) {
            error = partial + ": " + problem;
            if (r.sink.failure != 0)
                error += " (" + platformErrorText(r.sink.failure) + ")";
        }
        result.seconds = secondsSince(r);
        r.muxer.reset();
        r.demuxer.reset();
    }
    if (!ok) {
        platformRemoveFileUtf8(partial.c_str());
        error += "; the partial file was removed";
        return false;
    }
    return finishPartialFile(partial, path, job.modifiedAt, error);
}

}  // namespace vrsplit

// The media module's entry point for remux_module.cpp.
extern "C" const vrsplit::RemuxFunctions* vrsalvageRemuxFunctions()
{
    static const vrsplit::RemuxFunctions functions{kVersion, &vrsplit::remuxRecording};
    return &functions;
}
