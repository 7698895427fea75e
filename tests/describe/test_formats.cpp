#include <gtest/gtest.h>
#include <yyjson.h>

extern "C" {
#include <libavutil/avutil.h>
}
#include <libheif/heif.h>
#include <libraw/libraw.h>

#include <cstring>
#include <string>

#include "core/error.h"
#include "imgconvert.h"

namespace {

// This build's Debian libraries: FFmpeg reads JPEG XL (libjxl), libheif has HEVC and AV1
// both ways, so every optional entry is present, each in its place. No writer of the library
// takes JPEG XL, so it is never listed as writable. The Windows DLL's FFmpeg is built
// without libjxl.
TEST(Formats, CatalogueOfThisBuildExactly) {
#ifdef _WIN32
  const std::string jxl;
#else
  const std::string jxl = "\"jxl\",";
#endif
  std::string want =
      "{\"decode\":[\"png\",\"jpg\",\"jpeg\",\"bmp\",\"tiff\",\"tif\",\"webp\",\"gif\",\"ico\","
      "\"psd\",\"tga\",\"targa\",\"pcx\",\"sgi\",\"hdr\"," +
      jxl +
      "\"heic\",\"heif\",\"avif\","
      "\"3fr\",\"fff\",\"cr2\",\"cr3\",\"iiq\",\"nef\",\"arw\",\"raf\",\"dng\",\"rwl\",\"orf\","
      "\"sr2\",\"x3f\",\"rw2\",\"pef\",\"srw\",\"kdc\",\"dc2\",\"dcs\"],"
      "\"encode\":[\"png\",\"jpg\",\"jpeg\",\"bmp\",\"tiff\",\"tif\",\"webp\",\"gif\",\"ico\","
      "\"tga\",\"targa\",\"heic\",\"heif\",\"avif\"],"
      "\"quality_supported\":{\"jpg\":1,\"jpeg\":1,\"webp\":1,\"heic\":1,\"heif\":1,\"avif\":1,"
      "\"jxl\":1,\"png\":0,\"bmp\":0,\"tiff\":0,\"tif\":0,\"gif\":0,\"ico\":0,\"tga\":0,"
      "\"targa\":0},"
      "\"engines\":{\"ffmpeg\":\"" +
      std::string(av_version_info()) + "\",\"libheif\":\"" + heif_get_version() +
      "\",\"libraw\":\"" + libraw_version() + "\"}}";
  EXPECT_EQ(std::string(imgconvert_formats()), want);
  EXPECT_EQ(std::string(libraw_version()), "0.20.2-Release");
}

TEST(Formats, SameAddressAndTextOnEveryCall) {
  const char* a = imgconvert_formats();
  std::string first = a;
  const char* b = imgconvert_formats();
  EXPECT_EQ(a, b);
  EXPECT_EQ(first, b);
  yyjson_doc* doc = yyjson_read(b, strlen(b), 0);
  ASSERT_NE(doc, nullptr);
  yyjson_doc_free(doc);
}

// The catalogue neither clears nor sets the message: after a failed call it stays readable.
TEST(Formats, LeavesTheLastErrorAlone) {
  EXPECT_EQ(imgconvert_probe("", nullptr), 0);
  imgconvert_formats();
  EXPECT_STREQ(imgconvert_last_error(), "in must be non-empty");
  clear_error();
  imgconvert_formats();
  EXPECT_STREQ(imgconvert_last_error(), "");
}

}  // namespace
