// A JPEG's EXIF segment and ICC profile: captured by the decoder, put back by the JPEG
// writer. Kept apart from the decoders' header, which writers have no use for.
#pragma once

#include "core/imgbuf.h"
#include "core/options.h"

// Copies a JPEG file's EXIF segment and ICC profile into the record. Never fails a decode.
void jpeg_capture_metadata(const char* path, imgbuf* img);

// Puts the record's EXIF segment right after the SOI of the JPEG file at `path` (the
// writer's temporary file) when the options ask for it. Returns 1 when the block was
// inserted; on 0 the file is as the encoder wrote it.
int jpeg_reinsert_exif(const char* path, const imgbuf* img, const ConvertOptions* opts);
