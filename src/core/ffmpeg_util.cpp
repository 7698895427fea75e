#include "core/ffmpeg_util.h"

#include <cerrno>
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/mem.h>
}

#include "platform/platform.h"

void ff_restrict_protocols(AVDictionary** opts) {
  av_dict_set(opts, "protocol_whitelist", "file", 0);
}

int ff_open_literal_file(const char* path, int avio_flags, AVIOContext** pb) {
  // The "file:" prefix makes every byte after it part of the name, so a path such as
  // "pipe:1" or "a|b" is a file name, never a protocol.
  std::string url = std::string("file:") + plat_utf8_path(path);
  AVDictionary* opts = nullptr;
  ff_restrict_protocols(&opts);
  int r = avio_open2(pb, url.c_str(), avio_flags, nullptr, &opts);
  av_dict_free(&opts);
  return r;
}

namespace {
constexpr int kFdBufferSize = 65536;

int fd_of(void* opaque) { return static_cast<int>(reinterpret_cast<intptr_t>(opaque)); }

// FFmpeg 7 made the written block const.
#if defined(FF_API_AVIO_WRITE_NONCONST) && !FF_API_AVIO_WRITE_NONCONST
int fd_write(void* opaque, const uint8_t* buf, int size) {
#else
int fd_write(void* opaque, uint8_t* buf, int size) {
#endif
  if (!plat_fd_write(fd_of(opaque), buf, static_cast<size_t>(size)))
    return errno ? AVERROR(errno) : AVERROR(EIO);
  return size;
}

int64_t fd_seek(void* opaque, int64_t offset, int whence) {
  const int fd = fd_of(opaque);
  if (whence & AVSEEK_SIZE) {
    const int64_t here = plat_fd_seek(fd, 0, SEEK_CUR);
    const int64_t end = here < 0 ? -1 : plat_fd_seek(fd, 0, SEEK_END);
    if (end < 0 || plat_fd_seek(fd, here, SEEK_SET) < 0) return AVERROR(ENOSYS);
    return end;
  }
  const int64_t r = plat_fd_seek(fd, offset, whence & ~AVSEEK_FORCE);
  return r < 0 ? AVERROR(errno ? errno : EIO) : r;
}
}  // namespace

AVIOContext* ff_fd_output(int fd) {
  uint8_t* buffer = static_cast<uint8_t*>(av_malloc(kFdBufferSize));
  if (!buffer) return nullptr;
  AVIOContext* pb = avio_alloc_context(buffer, kFdBufferSize, 1,
                                       reinterpret_cast<void*>(static_cast<intptr_t>(fd)), nullptr,
                                       fd_write, fd_seek);
  if (!pb) av_free(buffer);
  return pb;
}

int ff_fd_output_close(AVIOContext** pb) {
  if (!*pb) return 0;
  avio_flush(*pb);
  const int error = (*pb)->error;
  av_freep(&(*pb)->buffer);
  avio_context_free(pb);
  if (error < 0) errno = AVUNERROR(error);  // the write's own reason, for the message
  return error < 0 ? error : 0;
}

namespace {
AVPixelFormat plain_yuv(AVPixelFormat f) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      return f;
  }
}
}  // namespace

SwsContext* ff_frame_scaler(const AVFrame* src, int dst_w, int dst_h, AVPixelFormat dst,
                            int flags) {
  const AVPixelFormat given = static_cast<AVPixelFormat>(src->format);
  const AVPixelFormat in = plain_yuv(given);
  const bool full = in != given || src->color_range == AVCOL_RANGE_JPEG;
  SwsContext* s = sws_getContext(src->width, src->height, in, dst_w, dst_h, dst, flags, nullptr,
                                 nullptr, nullptr);
  if (!s || !full) return s;
  int *inv_table = nullptr, *table = nullptr;
  int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
  if (sws_getColorspaceDetails(s, &inv_table, &src_range, &table, &dst_range, &brightness,
                               &contrast, &saturation) >= 0)
    sws_setColorspaceDetails(s, inv_table, 1, table, dst_range, brightness, contrast, saturation);
  return s;
}
