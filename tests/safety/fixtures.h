// Inputs for the memory-safety tests, written with FFmpeg's encoders and libjpeg directly
// rather than the library's writers, so that a fault in a writer can neither hide nor cause
// a fault in the decode under test. Every block handed to an encoder is FFmpeg's own
// padded frame or a libjpeg scanline, so writing a fixture touches nothing past its end.
#pragma once

#include <string>

enum class JpegKind { Yuv420, Yuv422, Yuv444, Grey, Progressive, Yuv440, Arithmetic, Cmyk };

// A width x height JPEG of the test pattern. Returns false when the file cannot be written.
bool write_jpeg_fixture(const std::string& path, int width, int height, JpegKind kind);

// The test pattern (with a ramp of alpha when `alpha`) encoded by FFmpeg's encoder `codec`
// in pixel format `pix_fmt` (a name such as "bgr24") and written by the muxer `muxer`.
bool write_ff_fixture(const std::string& path, int width, int height, bool alpha, const char* codec,
                      const char* pix_fmt, const char* muxer);
