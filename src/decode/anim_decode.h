// Animations read whole: readers that hand out composed frames one at a time, so a conversion
// holds a few frames, never the animation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/imgbuf.h"

// What the container says before any frame is decoded.
struct AnimInfo {
  int32_t width;  // of the canvas
  int32_t height;
  int64_t frames;  // declared frame count
  int32_t loop;    // 0: forever; N: the count as stored; -1: none stored (a GIF plays once)
  // The picture the decoder draws on: larger than the canvas when a GIF's frame reaches past
  // it (the part outside is then cut off, as viewers clip it).
  int32_t decode_width;
  int32_t decode_height;
};

class AnimReader {
 public:
  virtual ~AnimReader() = default;
  // The next frame as a viewer shows it, an RGBA record of the canvas size (the caller frees
  // it), and how long it stays in milliseconds. 1: a frame; 0: the end; -1: the message set.
  virtual int next(imgbuf* frame, int32_t* duration_ms) = 0;
  AnimInfo info{};
};

// Opens the file at `name` (messages name `path`) when it holds an animation of more than one
// frame: 1 with *reader set; 0 when it holds anything else (no message: the still route takes
// it); -1 with the message set when it is an animation that cannot be read.
int anim_open_gif(const char* path, const char* name, std::unique_ptr<AnimReader>* reader);
int anim_open_webp(const char* path, const char* name, std::unique_ptr<AnimReader>* reader);
int anim_open_apng(const char* path, const char* name, std::unique_ptr<AnimReader>* reader);

// The GIF's canvas, image count, loop count, the extent its images reach, and (when asked)
// each image's delay in hundredths of a second (0 when zero or missing), read from its blocks
// alone: no pixel is decoded. Returns 1, or 0 when the bytes are not a GIF.
int gif_scan(const uint8_t* data, size_t size, AnimInfo* info,
             std::vector<uint16_t>* delays = nullptr);
