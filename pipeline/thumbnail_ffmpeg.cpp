// One picture of a recording through FFmpeg's libraries, in the media module.
#include <cmath>
#include <cstdint>
#include <memory>

#include "thumbnail.h"
#include "version.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace pipeline {

namespace {

// Frames decoded after the seek before giving up on an intra-coded one.
constexpr int kMaxFramesAfterSeek = 600;

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleFreer {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Codec = std::unique_ptr<AVCodecContext, CodecCloser>;

Thumbnail failed(const std::string& problem)
{
    return Thumbnail{"", 0, 0, problem};
}

// The display height for kThumbnailWidth by the frame's size and pixel aspect, even.
int displayHeight(const AVFrame& frame)
{
    double pixelAspect = 1;
    if (frame.sample_aspect_ratio.num > 0 && frame.sample_aspect_ratio.den > 0)
        pixelAspect = av_q2d(frame.sample_aspect_ratio);
    const double height = kThumbnailWidth * frame.height / (frame.width * pixelAspect);
    const int even = static_cast<int>(std::lround(height / 2)) * 2;
    return even < 2 ? 2 : even;
}

Thumbnail encodeJpeg(const AVFrame& picture)
{
    const int height = displayHeight(picture);
    Frame scaled(av_frame_alloc());
    if (!scaled)
        return failed("out of memory");
    scaled->format = AV_PIX_FMT_YUVJ420P;
    scaled->width = kThumbnailWidth;
    scaled->height = height;
    if (av_frame_get_buffer(scaled.get(), 0) < 0)
        return failed("out of memory");
    std::unique_ptr<SwsContext, ScaleFreer> scale(
        sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format), kThumbnailWidth,
                       height, AV_PIX_FMT_YUVJ420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scale)
        return failed("the picture cannot be scaled");
    sws_scale(scale.get(), picture.data, picture.linesize, 0, picture.height, scaled->data, scaled->linesize);

    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (encoder == nullptr)
        return failed("this FFmpeg has no JPEG encoder");
    Codec context(avcodec_alloc_context3(encoder));
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->width = kThumbnailWidth;
    context->height = height;
    context->time_base = AVRational{1, 25};
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA * 4;
    scaled->quality = context->global_quality;
    if (avcodec_open2(context.get(), encoder, nullptr) < 0)
        return failed("the JPEG encoder cannot be opened");
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (avcodec_send_frame(context.get(), scaled.get()) < 0 || avcodec_receive_packet(context.get(), packet.get()) < 0)
        return failed("the picture cannot be encoded");
    Thumbnail thumbnail;
    thumbnail.jpeg.assign(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size));
    thumbnail.width = kThumbnailWidth;
    thumbnail.height = height;
    return thumbnail;
}

}  // namespace

Thumbnail thumbnailOf(const std::string& path, double fraction)
{
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
        return failed("the file cannot be opened");
    std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return failed("no streams found");
    const AVCodec* decoder = nullptr;
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream < 0 || decoder == nullptr)
        return failed("no video stream");
    Codec context(avcodec_alloc_context3(decoder));
    avcodec_parameters_to_context(context.get(), format->streams[stream]->codecpar);
    if (avcodec_open2(context.get(), decoder, nullptr) < 0)
        return failed("the video cannot be decoded");
    // A program stream seeks well by bytes; from there the first intra-coded picture.
    const std::int64_t size = avio_size(format->pb);
    if (size > 0 && fraction > 0)
        av_seek_frame(format.get(), -1, static_cast<std::int64_t>(static_cast<double>(size) * fraction),
                      AVSEEK_FLAG_BYTE);
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    int frames = 0;
    bool draining = false;
    while (frames < kMaxFramesAfterSeek) {
        if (!draining) {
            if (av_read_frame(format.get(), packet.get()) < 0) {
                draining = true;
                avcodec_send_packet(context.get(), nullptr);
            } else {
                if (packet->stream_index == stream)
                    avcodec_send_packet(context.get(), packet.get());
                av_packet_unref(packet.get());
            }
        }
        int got = 0;
        while ((got = avcodec_receive_frame(context.get(), frame.get())) == 0) {
            ++frames;
            if (frame->pict_type == AV_PICTURE_TYPE_I && (frame->flags & AV_FRAME_FLAG_CORRUPT) == 0)
                return encodeJpeg(*frame);
        }
        if (draining && got != AVERROR(EAGAIN))
            break;
    }
    return failed("no whole picture found");
}

}  // namespace pipeline

// The media module's entry point for thumbnail_module.cpp.
extern "C" const pipeline::ThumbnailFunctions* vrsalvageThumbnailFunctions()
{
    static const pipeline::ThumbnailFunctions functions{kVersion, &pipeline::thumbnailOf};
    return &functions;
}
