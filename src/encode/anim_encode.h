// Animations written whole: writers that take composed frames one at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "core/imgbuf.h"
#include "core/options.h"
#include "core/output_file.h"

class AnimWriter {
 public:
  virtual ~AnimWriter() = default;
  // Each frame has the size given at the start. 1, or 0 with the message set.
  virtual int add(const imgbuf* frame, int32_t duration_ms) = 0;
  // Completes the file in the temporary output. 1, or 0 with the message set.
  virtual int finish() = 0;
};

// A writer of `ext` ("webp", "gif" or "png", which makes an APNG) into the temporary file; null
// with the message set.
std::unique_ptr<AnimWriter> anim_writer_open(const char* ext, const char* out,
                                             const output_temp* tmp, const ConvertOptions* opts,
                                             int32_t width, int32_t height, int32_t loop);

// True for the outputs that keep every frame.
bool anim_output(const char* ext);
