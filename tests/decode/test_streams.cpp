// A file of several streams: only the stream converted is analysed and decoded, so work
// and memory follow the picture asked for, not everything the container holds.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "core/ffmpeg_util.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

// The PNG file of a small picture, as one packet.
std::vector<uint8_t> png_packet() { return pattern_bytes(32, 24, "png"); }

// An AVI whose stream 0 is that picture and whose `extra` further streams claim `side` x
// `side` PNG pictures but carry bytes no decoder takes: decoding any of them logs an error.
bool write_streams(const std::string& path, int extra, int side) {
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, "avi", path.c_str()) < 0 || !oc) return false;
  bool ok = true;
  for (int i = 0; i <= extra && ok; i++) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    ok = st != nullptr;
    if (!ok) break;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_PNG;
    st->codecpar->width = i == 0 ? 32 : side;
    st->codecpar->height = i == 0 ? 24 : side;
    st->codecpar->format = AV_PIX_FMT_RGB24;
    st->time_base = AVRational{1, 25};
  }
  ok = ok && avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0;
  ok = ok && avformat_write_header(oc, nullptr) >= 0;
  const std::vector<uint8_t> good = png_packet();
  const std::vector<uint8_t> junk(4096, 0x5A);
  for (int i = 0; i <= extra && ok; i++) {
    const std::vector<uint8_t>& bytes = i == 0 ? good : junk;
    PacketPtr pkt(av_packet_alloc());
    ok = pkt && av_new_packet(pkt.get(), static_cast<int>(bytes.size())) >= 0;
    if (!ok) break;
    memcpy(pkt->data, bytes.data(), bytes.size());
    pkt->stream_index = i;
    pkt->pts = pkt->dts = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    ok = av_interleaved_write_frame(oc, pkt.get()) >= 0;
  }
  ok = ok && av_write_trailer(oc) >= 0;
  if (oc->pb) avio_closep(&oc->pb);
  avformat_free_context(oc);
  return ok;
}

std::atomic<int> g_decoder_errors{0};

void count_decoder_errors(void* avcl, int level, const char*, va_list) {
  const AVClass* cls = avcl ? *static_cast<AVClass**>(avcl) : nullptr;
  if (level > AV_LOG_ERROR || !cls) return;
  const AVClassCategory category = cls->get_category ? cls->get_category(avcl) : cls->category;
  if (category == AV_CLASS_CATEGORY_DECODER) g_decoder_errors.fetch_add(1);
}

struct LogCounter {
  LogCounter() {
    g_decoder_errors = 0;
    av_log_set_callback(count_decoder_errors);
  }
  ~LogCounter() { av_log_set_callback(av_log_default_callback); }
};

struct StreamsCase {
  const char* name;
  int extra;
  int side;
  const char* options;
};

class OtherStreams : public ::testing::TestWithParam<StreamsCase> {};

// The first stream converts; no other stream reaches a decoder, whatever its size.
TEST_P(OtherStreams, NeverDecoded) {
  const StreamsCase& c = GetParam();
  TempDir dir;
  const std::string in = dir.file("many.avi"), out = dir.file("out.png");
  ASSERT_TRUE(write_streams(in, c.extra, c.side));
  LogCounter counter;
  convert_expecting(in, out, c.options, nullptr);
  EXPECT_EQ(g_decoder_errors.load(), 0);
  Img back = read_image(out);
  EXPECT_EQ(back.width, 32);
  EXPECT_EQ(back.height, 24);
}

INSTANTIATE_TEST_SUITE_P(
    Files, OtherStreams,
    ::testing::Values(StreamsCase{"OneOther", 1, 64, "{}"},
                      StreamsCase{"SixteenLarge", 16, 8000, "{}"},
                      // The second stream alone is over the limit; the first is within it.
                      StreamsCase{"OtherOverTheLimit", 1, 4000, "{\"max_pixels\":10000}"}),
    CaseName());

}  // namespace
