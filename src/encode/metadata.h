// Metadata that the encoders cannot write themselves, added to their finished files: an
// eXIf chunk in PNG, ICCP and EXIF chunks in WebP. Each edit works on the writer's
// temporary file before the rename, and replaces it only once the new content is complete:
// on any failure the file reads as the writer made it.
#pragma once

#include <cstdint>

#include "core/imgbuf.h"
#include "core/options.h"

// 1 when the options ask to keep the source's ICC profile and the record holds one that is
// at least a profile header long.
bool keep_icc_profile(const imgbuf* img, const ConvertOptions* opts);

// The record's EXIF block as a TIFF stream (what follows "Exif\0\0" in the APP1 segment)
// when the options ask for it, else null.
const uint8_t* exif_tiff_data(const imgbuf* img, const ConvertOptions* opts, size_t* size);

// Adds the EXIF block to the PNG at `path`. Returns 1 when the file now carries it.
// Rewrites the finished baseline JPEG at `path` as a progressive one with the same
// coefficients and markers. 1, or 0 with the message set (naming `out_name`).
int jpeg_make_progressive(const char* path, const char* out_name);

int png_add_exif(const char* path, const imgbuf* img, const ConvertOptions* opts);

// Adds the ICC profile and the EXIF block to the WebP at `path` as the options ask, turning
// a simple file into an extended one. Returns 1 when the file now carries the EXIF block.
int webp_add_metadata(const char* path, const imgbuf* img, const ConvertOptions* opts);

// Copies the ICCP chunk of the WebP file at `path` into the record, in place of the profile
// FFmpeg's WebP decoder hands out, which counts the chunk's pad byte in when the profile's
// size is odd. Never fails a decode.
void webp_capture_icc(const char* path, imgbuf* img);
