// Small holders that release FFmpeg objects on every path, and literal-file I/O.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

struct CodecCtxFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecCtxPtr = std::unique_ptr<AVCodecContext, CodecCtxFree>;

struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

// Opens `path` as a literal local file: no protocol prefix ("http:", "pipe:", "concat:")
// and no other protocol is honoured. Returns FFmpeg's result (negative on failure).
int ff_open_literal_file(const char* path, int avio_flags, AVIOContext** pb);

// Options that restrict any file a demuxer or muxer opens by itself to local files.
void ff_restrict_protocols(AVDictionary** opts);

// An FFmpeg output that writes to the open descriptor `fd`, which stays the caller's to
// close: temporary outputs are created by us, exclusively, never opened by name. Null when
// out of memory.
AVIOContext* ff_fd_output(int fd);

// Flushes and frees *pb (null after). Returns 0, or a negative error when any write failed
// (errno then says why).
int ff_fd_output_close(AVIOContext** pb);

struct FdOutputClose {
  void operator()(AVIOContext* pb) const { ff_fd_output_close(&pb); }
};
using FdOutputPtr = std::unique_ptr<AVIOContext, FdOutputClose>;

// A scaler from `src` (its size and pixel format) to `dst_w` x `dst_h` in `dst`. The
// full-range "J" YUV formats are deprecated in libswscale, which warns about each: it gets
// their plain twin, with the range said explicitly (as it also is for a plain YUV frame the
// decoder marked full-range). Null on failure.
SwsContext* ff_frame_scaler(const AVFrame* src, int dst_w, int dst_h, AVPixelFormat dst, int flags);
