// Animations kept whole: frames composed as Pillow composes them, delays and loop counts
// carried, the pixel limit over all frames, and the option's absence changing nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "imgconvert.h"
#include "support/test_support.h"

namespace {

const char kPython[] = "env -u LD_PRELOAD /usr/bin/python3 ";

// Sources made by Pillow: an opaque GIF whose third frame has no delay, transparent sprites
// that Pillow stores as offset rectangles over disposal 1 or 2 (in APNG: cleared, then
// blended), and lossy WebP animations. Pillow composes a half-transparent APNG frame blended
// over a cleared one at half its alpha, so the sprites' pixels are clear or opaque.
const char kMakeSources[] = R"PY(
import sys
from PIL import Image, ImageDraw
d = sys.argv[1]
def frames(n, w, h, sprite):
    out = []
    for i in range(n):
        im = Image.new("RGBA", (w, h), (0, 0, 0, 0) if sprite else (20 * i, 100, 200 - 10 * i, 255))
        g = ImageDraw.Draw(im)
        if sprite:
            g.ellipse([4 + 8 * i, 6, 20 + 8 * i, 22], fill=(250, 40 * i, 30, 255))
            g.rectangle([0, 30, w - 1, h - 1], fill=(30, 160, 90, 255))
        else:
            g.rectangle([5 + 7 * i, 5, 25 + 7 * i, 30], fill=(255, 255 - 20 * i, 0, 255))
        out.append(im if sprite else im.convert("RGB"))
    return out
o, s = frames(6, 64, 48, False), frames(5, 60, 40, True)
o[0].save(d + "/opaque.gif", save_all=True, append_images=o[1:], duration=[100, 200, 0, 50, 70, 300], loop=3)
s[0].save(d + "/sprite2.gif", save_all=True, append_images=s[1:], duration=60, loop=0, disposal=2)
s[0].save(d + "/sprite1.gif", save_all=True, append_images=s[1:], duration=[60, 70, 80, 90, 40], disposal=1)
o[0].save(d + "/opaque.webp", save_all=True, append_images=o[1:], duration=[100, 200, 30, 50, 70, 300], loop=2, quality=95)
s[0].save(d + "/sprite.webp", save_all=True, append_images=s[1:], duration=60, loop=0, quality=95)
o[0].save(d + "/still.gif")
o[0].save(d + "/still.png")
s[0].save(d + "/sprite.png", save_all=True, append_images=s[1:], duration=[60, 70, 0, 90, 40], loop=2, disposal=1, blend=1)
print("done")
)PY";

// Both files' frames as Pillow composes them: the count, loop and delays of the second, and
// per frame the mean and largest colour difference where the first is opaque, and the
// largest alpha difference. `resize` scales the reference frames first.
const char kCompare[] = R"PY(
import sys, json
from PIL import Image, ImageSequence
ref, out = Image.open(sys.argv[1]), Image.open(sys.argv[2])
size = tuple(int(v) for v in sys.argv[3].split("x")) if len(sys.argv) > 3 else None
fr = [f.convert("RGBA") for f in ImageSequence.Iterator(ref)]
fo = [f.convert("RGBA") for f in ImageSequence.Iterator(out)]
def webp_durations(path):
    # Pillow keeps no per-frame duration of a WebP: read the frame chunks.
    data, at, got = open(path, "rb").read(), 12, []
    while at + 8 <= len(data):
        size = int.from_bytes(data[at + 4:at + 8], "little")
        if data[at:at + 4] == b"ANMF":
            got.append(int.from_bytes(data[at + 20:at + 23], "little"))
        at += 8 + size + (size & 1)
    return got
if out.format == "WEBP":
    durations = webp_durations(sys.argv[2])
else:
    durations = [int(f.info.get("duration", 0)) for f in ImageSequence.Iterator(Image.open(sys.argv[2]))]
mean = worst = alpha = 0
for a, b in zip(fr, fo):
    if size: a = a.resize(size, Image.LANCZOS)
    pa, pb = a.load(), b.load()
    n = s = 0
    for y in range(a.height):
        for x in range(a.width):
            p, q = pa[x, y], pb[x, y]
            alpha = max(alpha, abs(p[3] - q[3]))
            if p[3] == 255:
                d = [abs(p[k] - q[k]) for k in range(3)]
                s += sum(d) / 3; n += 1; worst = max(worst, max(d))
    mean = max(mean, s / max(n, 1))
print(json.dumps({"frames": len(fo), "size": "%dx%d" % out.size, "loop": out.info.get("loop", -1),
                  "durations": durations, "mean": round(mean, 1), "worst": worst, "alpha": alpha}))
)PY";

class AnimatedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    write_file(dir_->file("make.py"), std::string(kMakeSources));
    write_file(dir_->file("compare.py"), std::string(kCompare));
    ASSERT_EQ(run_command(kPython + dir_->file("make.py") + " " + dir_->path()), "done\n")
        << "Pillow (python3-pil) makes the sources";
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string src(const std::string& name) { return dir_->file(name); }
  // What compare.py says of the output against its source.
  static std::string compare(const std::string& in, const std::string& out,
                             const std::string& size = "") {
    return run_command(kPython + dir_->file("compare.py") + " " + in + " " + out + " " + size);
  }
  static TempDir* dir_;
};
TempDir* AnimatedTest::dir_ = nullptr;

int json_int(const std::string& text, const std::string& key) {
  const size_t at = text.find("\"" + key + "\":");
  return at == std::string::npos ? -999 : atoi(text.c_str() + at + key.size() + 3);
}
double json_real(const std::string& text, const std::string& key) {
  const size_t at = text.find("\"" + key + "\": ");
  return at == std::string::npos ? 999.0 : atof(text.c_str() + at + key.size() + 4);
}

struct KeepCase {
  const char* source;
  const char* ext;
  const char* options;
  int frames;
  int loop;  // as Pillow reads the output; -1: no loop count stored
  const char* durations;
  double max_mean;  // the encoder's loss, as the mean colour difference of the worst frame
  bool alpha_exact;
};

// GIF delays are hundredths: a zero delay inside the animation is stored as the shortest one
// (the muxer needs growing times), a final one as zero. A GIF without a loop count plays once,
// which WebP says with a count of 1. The GIF writer makes opaque frames, as for stills.
const KeepCase kKeepCases[] = {
    {"opaque.gif", "webp", "", 6, 3, "[100, 200, 0, 50, 70, 300]", 6, true},
    {"opaque.gif", "gif", ",\"gif_palette\":\"quality\"", 6, 3, "[100, 200, 10, 50, 70, 300]", 6,
     true},
    {"sprite2.gif", "webp", "", 5, 0, "[60, 60, 60, 60, 60]", 4, true},
    {"sprite1.gif", "webp", ",\"quality\":60", 5, 1, "[60, 70, 80, 90, 40]", 6, true},
    {"sprite1.gif", "gif", ",\"gif_palette\":\"quality\"", 5, -1, "[60, 70, 80, 90, 40]", 6, false},
    {"opaque.webp", "webp", "", 6, 2, "[100, 200, 30, 50, 70, 300]", 4, true},
    {"opaque.webp", "gif", ",\"gif_palette\":\"quality\"", 6, 2, "[100, 200, 30, 50, 70, 300]", 6,
     true},
    {"sprite.webp", "webp", "", 5, 0, "[60, 60, 60, 60, 60]", 4, true},
    // APNG is lossless; its delays are milliseconds here, a zero one inside stored as 1.
    {"sprite.png", "png", "", 5, 2, "[60, 70, 1, 90, 40]", 0, true},
    {"sprite.png", "webp", "", 5, 2, "[60, 70, 0, 90, 40]", 4, true},
    {"opaque.gif", "png", "", 6, 3, "[100, 200, 1, 50, 70, 300]", 0, true},
    {"sprite1.gif", "png", "", 5, 1, "[60, 70, 80, 90, 40]", 0, true},
    {"sprite.webp", "png", "", 5, 0, "[60, 60, 60, 60, 60]", 0, true},
};

class KeepsEveryFrame : public AnimatedTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeepsEveryFrame, ComposedFramesDelaysAndLoop) {
  const KeepCase& c = GetParam();
  TempDir out_dir;
  const std::string out = out_dir.file(std::string("out.") + c.ext);
  const std::string options = std::string("{\"animated\":1") + c.options + "}";
  const char* result = nullptr;
  ASSERT_EQ(imgconvert_file(src(c.source).c_str(), out.c_str(), options.c_str(), &result), 1)
      << imgconvert_last_error();
  EXPECT_EQ(json_int(result, "frames"), c.frames) << result;
  const std::string seen = compare(src(c.source), out);
  EXPECT_EQ(json_int(seen, "frames"), c.frames) << seen;
  EXPECT_EQ(json_int(seen, "loop"), c.loop) << seen;
  EXPECT_NE(seen.find(std::string("\"durations\": ") + c.durations), std::string::npos) << seen;
  EXPECT_LE(json_real(seen, "mean"), c.max_mean) << seen;
  if (c.alpha_exact) {
    EXPECT_EQ(json_int(seen, "alpha"), 0) << seen;
  }
}

INSTANTIATE_TEST_SUITE_P(Animations, KeepsEveryFrame, ::testing::ValuesIn(kKeepCases),
                         [](const ::testing::TestParamInfo<KeepCase>& i) {
                           std::string n = std::string(i.param.source) + "_" + i.param.ext;
                           for (char& ch : n)
                             if (ch == '.') ch = '_';
                           return n + "_" + std::to_string(i.index);
                         });

// A second reader of the WebP container agrees on the loop count and every duration.
TEST_F(AnimatedTest, WebpmuxReadsLoopAndDurations) {
  TempDir out_dir;
  const std::string out = out_dir.file("out.webp");
  ASSERT_EQ(convert_expecting(src("opaque.gif"), out, "{\"animated\":1}", nullptr), 1);
  const std::string info = run_command("webpmux -info " + out);
  ASSERT_NE(info.find("Number of frames: 6"), std::string::npos) << "webpmux (Debian webp)\n"
                                                                 << info;
  EXPECT_NE(info.find("Loop Count : 3"), std::string::npos) << info;
  // The seventh column of the frame table.
  EXPECT_EQ(run_command("webpmux -info " + out + " | awk '/^ *[0-9]+:/ {printf \"%s \", $7}'"),
            "100 200 0 50 70 300 ");
}

// Each frame is scaled as a still would be; the result names the size of every frame.
TEST_F(AnimatedTest, ResizeAppliesToEveryFrame) {
  TempDir out_dir;
  for (const char* ext : {"webp", "gif"}) {
    const std::string out = out_dir.file(std::string("small.") + ext);
    const char* result = nullptr;
    ASSERT_EQ(imgconvert_file(src("sprite2.gif").c_str(), out.c_str(),
                              "{\"animated\":1,\"width\":30,\"kernel\":\"lanczos\","
                              "\"gif_palette\":\"quality\"}",
                              &result),
              1);
    EXPECT_EQ(json_int(result, "width"), 30);
    EXPECT_EQ(json_int(result, "height"), 20);
    const std::string seen = compare(src("sprite2.gif"), out, "30x20");
    EXPECT_EQ(json_int(seen, "frames"), 5) << seen;
    EXPECT_NE(seen.find("\"size\": \"30x20\""), std::string::npos) << seen;
    // Scaled edges differ more than whole pixels; a frame out of order or unscaled far more.
    EXPECT_LE(json_real(seen, "mean"), 25) << seen;
  }
}

// Without the option, or to a format that holds one picture, or from a still, one frame is
// written as before; the result names the frames only when the option was given.
struct OneFrameCase {
  const char* source;
  const char* out;
  const char* options;
  int frames_member;  // -999: absent
};

const OneFrameCase kOneFrameCases[] = {
    {"opaque.gif", "a.webp", "{}", -999},
    {"opaque.gif", "b.gif", "{\"animated\":0}", -999},
    {"opaque.webp", "c.gif", "{\"animated\":\"yes\"}", -999},
    {"opaque.gif", "d.bmp", "{\"animated\":1}", 1},
    {"sprite.png", "d.jpg", "{\"animated\":1}", 1},
    {"still.png", "d.png", "{\"animated\":1}", 1},
    {"opaque.webp", "e.jpg", "{\"animated\":1}", 1},
    {"still.gif", "f.webp", "{\"animated\":1}", 1},
    {"still.gif", "g.gif", "{\"animated\":1}", 1},
};

class OneFrame : public AnimatedTest, public ::testing::WithParamInterface<OneFrameCase> {};

TEST_P(OneFrame, AsBefore) {
  const OneFrameCase& c = GetParam();
  TempDir out_dir;
  const std::string out = out_dir.file(c.out);
  const char* result = nullptr;
  ASSERT_EQ(imgconvert_file(src(c.source).c_str(), out.c_str(), c.options, &result), 1)
      << imgconvert_last_error();
  EXPECT_EQ(json_int(result, "frames"), c.frames_member) << result;
  const std::string seen = compare(src(c.source), out);
  EXPECT_EQ(json_int(seen, "frames"), 1) << seen;
  EXPECT_LE(json_real(seen, "mean"), 30) << seen;  // the first frame, not another
}

INSTANTIATE_TEST_SUITE_P(Animations, OneFrame, ::testing::ValuesIn(kOneFrameCases));

// The limit counts width x (height x frames): refused before any frame at one pixel under,
// converted at the limit; an enlargement is judged by its output size.
TEST_F(AnimatedTest, PixelLimitCountsEveryFrame) {
  TempDir out_dir;
  const std::string out = out_dir.file("out.webp");
  struct {
    const char* source;
    const char* options;
    const char* error;
  } const cases[] = {
      {"opaque.gif", "{\"animated\":1,\"max_pixels\":18431}",
       "image too large: 64x288 is over the limit of 18431 pixels"},
      {"opaque.webp", "{\"animated\":1,\"max_pixels\":18431}",
       "image too large: 64x288 is over the limit of 18431 pixels"},
      {"opaque.gif", "{\"animated\":1,\"max_pixels\":18432}", nullptr},
      {"opaque.gif", "{\"animated\":1,\"max_pixels\":30000,\"width\":128}",
       "image too large: 128x576 is over the limit of 30000 pixels"},
      // A still within the limit is judged as one picture.
      {"opaque.gif", "{\"animated\":0,\"max_pixels\":3072}", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    remove(out.c_str());
    convert_expecting(src(c.source), out, c.options, c.error);
  }
}

// A GIF of solid rectangles of palette entries 0 (red), 1 (green), 2 (blue) on a canvas, each
// rectangle a frame at its offset; no compressor is needed, as the LZW codes stay 3 bits wide
// with a clear code before every second pixel.
struct GifRect {
  int x, y, w, h, index;
};

std::vector<uint8_t> make_gif(int width, int height, const std::vector<GifRect>& rects,
                              bool with_table = true) {
  auto le16 = [](std::vector<uint8_t>* v, int n) {
    v->push_back(static_cast<uint8_t>(n));
    v->push_back(static_cast<uint8_t>(n >> 8));
  };
  std::vector<uint8_t> g = {'G', 'I', 'F', '8', '9', 'a'};
  le16(&g, width);
  le16(&g, height);
  for (int v : {0x81, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}) g.push_back(v);
  if (!with_table) {
    g[10] = 0;
    g.resize(13);
  }
  for (const GifRect& r : rects) {
    for (int v : {0x21, 0xF9, 4, 0, 10, 0, 0, 0, 0x2C}) g.push_back(v);
    for (int v : {r.x, r.y, r.w, r.h}) le16(&g, v);
    g.push_back(0);
    g.push_back(2);
    std::vector<uint8_t> lzw;
    uint32_t bits = 0;
    int nbits = 0;
    auto put = [&](int code) {
      bits |= static_cast<uint32_t>(code) << nbits;
      for (nbits += 3; nbits >= 8; nbits -= 8, bits >>= 8) lzw.push_back(bits & 255);
    };
    for (int i = 0; i < r.w * r.h; i++) {
      if (i % 2 == 0) put(4);
      put(r.index);
    }
    put(5);
    if (nbits) lzw.push_back(bits & 255);
    for (size_t at = 0; at < lzw.size(); at += 255) {
      const size_t n = std::min<size_t>(255, lzw.size() - at);
      g.push_back(static_cast<uint8_t>(n));
      g.insert(g.end(), lzw.begin() + at, lzw.begin() + at + n);
    }
    g.push_back(0);
  }
  g.push_back(0x3B);
  return g;
}

// Frames reaching past the canvas are cut off at its edges, as Pillow cuts them: wider than
// the canvas, hanging over its corner, or lying wholly outside it.
TEST_F(AnimatedTest, FramesOutsideTheCanvasAreClipped) {
  TempDir out_dir;
  const std::vector<std::vector<GifRect>> cases = {
      {{0, 0, 16, 16, 0}, {0, 4, 24, 4, 1}, {4, 0, 4, 20, 2}},
      {{0, 0, 16, 16, 0}, {8, 8, 12, 12, 1}, {14, 2, 6, 6, 2}},
      {{0, 0, 16, 16, 0}, {20, 20, 4, 4, 1}, {2, 2, 4, 4, 2}},
  };
  // A canvas of no pixels is refused, not taken for an allocation failure.
  write_file(out_dir.file("empty.gif"), make_gif(0, 0, cases[0]));
  convert_expecting(out_dir.file("empty.gif"), out_dir.file("empty.webp"), "{\"animated\":1}",
                    ("no decodable frame in '" + out_dir.file("empty.gif") + "'").c_str());
  for (size_t i = 0; i < cases.size(); i++) {
    const std::string in = out_dir.file("clip" + std::to_string(i) + ".gif");
    // GIF out: WebP's encoder would merge the unchanged frame into the one before it.
    const std::string out = out_dir.file("clip" + std::to_string(i) + ".out.gif");
    write_file(in, make_gif(16, 16, cases[i]));
    ASSERT_EQ(convert_expecting(in, out, "{\"animated\":1,\"gif_palette\":\"quality\"}", nullptr),
              1);
    const std::string seen = compare(in, out);
    EXPECT_EQ(json_int(seen, "frames"), 3) << i << seen;
    EXPECT_EQ(json_int(seen, "worst"), 0) << i << seen;
  }
}

// A GIF with no colour table at all reads with the grey ramp (entry i as level i), as the peers
// read it, as a still and as an animation; cut inside its first image, it is refused.
TEST_F(AnimatedTest, GifWithoutColourTableReadsAsGreyRamp) {
  TempDir dir;
  const std::string in = dir.file("no_table.gif");
  const std::vector<uint8_t> gif = make_gif(4, 2, {{0, 0, 4, 2, 2}, {0, 0, 2, 2, 1}}, false);
  write_file(in, gif);
  ASSERT_EQ(convert_expecting(in, dir.file("still.png"), nullptr, nullptr), 1);
  imgbuf still = read_image(dir.file("still.png"));
  ASSERT_EQ(still.width, 4);
  EXPECT_EQ(still.has_alpha, 0);
  for (int i = 0; i < 4 * 2 * 3; i++) EXPECT_EQ(still.pixels[i], 2) << i;
  imgbuf_free(&still);
  ASSERT_EQ(convert_expecting(in, dir.file("anim.gif"), "{\"animated\":1}", nullptr), 1);
  const std::string seen = compare(in, dir.file("anim.gif"));
  EXPECT_EQ(json_int(seen, "frames"), 2) << seen;
  EXPECT_LE(json_int(seen, "worst"), 1) << seen;  // the output's own palette
  write_file(in, std::vector<uint8_t>(gif.begin(), gif.begin() + 26));
  EXPECT_EQ(convert_expecting(in, dir.file("cut.png"), nullptr,
                              ("no decodable frame in '" + in + "'").c_str()),
            0);
}

// Every cut of an animation is refused cleanly or converted: never a crash, never a partial
// output left behind on a refusal.
TEST_F(AnimatedTest, TruncatedAnimationsRefusedOrConverted) {
  TempDir out_dir;
  for (const char* name : {"sprite2.gif", "opaque.webp"}) {
    const std::vector<uint8_t> whole = read_file(src(name));
    for (size_t cut = 0; cut < whole.size(); cut += whole.size() / 60 + 1) {
      const std::string in = out_dir.file(std::string("cut_") + name);
      write_file(in, std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
      for (const char* ext : {"webp", "gif"}) {
        const std::string out = out_dir.file(std::string("out.") + ext);
        remove(out.c_str());
        const int ok = imgconvert_file(in.c_str(), out.c_str(), "{\"animated\":1}", nullptr);
        EXPECT_EQ(file_exists(out), ok == 1) << name << " cut at " << cut;
      }
    }
  }
}

}  // namespace
