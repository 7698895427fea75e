#include "core/ffmpeg_util.h"

#include <string>

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
