// GIF palettes: the image plane is halved into up to 256 rectangles, each gives its mean
// colour, and every pixel takes the nearest of those colours.
#include "encode/gif_palette.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "core/error.h"

namespace {

// Positions are computed in 64 bits: width * height and the row offsets exceed int32 for
// the images a decoder can produce.
const uint8_t* pixel_at(const imgbuf* img, int bpp, int64_t x, int64_t y) {
  return img->pixels +
         (static_cast<size_t>(y) * static_cast<size_t>(img->width) + static_cast<size_t>(x)) *
             static_cast<size_t>(bpp);
}

int64_t region_area(const gif_region& r) {
  return static_cast<int64_t>(r.x1 - r.x0) * static_cast<int64_t>(r.y1 - r.y0);
}

// Range of each channel over every fourth pixel in both directions from the corner.
void sampled_ranges(const imgbuf* img, int bpp, const gif_region& rg, int range[3]) {
  int lo[3] = {255, 255, 255};
  int hi[3] = {0, 0, 0};
  for (int64_t y = rg.y0; y < rg.y1; y += 4) {
    for (int64_t x = rg.x0; x < rg.x1; x += 4) {
      const uint8_t* p = pixel_at(img, bpp, x, y);
      for (int c = 0; c < 3; c++) {
        if (p[c] < lo[c]) lo[c] = p[c];
        if (p[c] > hi[c]) hi[c] = p[c];
      }
    }
  }
  for (int c = 0; c < 3; c++) range[c] = hi[c] - lo[c];
}

// One step of the split. Returns 0 when the whole search ends here.
int split_region(const imgbuf* img, int bpp, gif_palette* pal, int cur) {
  gif_region* rg = &pal->region[cur];
  if (rg->x1 - rg->x0 <= 1 && rg->y1 - rg->y0 <= 1) return 0;
  int range[3];
  sampled_ranges(img, bpp, *rg, range);
  int widest = 0;
  for (int c = 1; c < 3; c++) {
    if (range[c] > range[widest]) widest = c;
  }
  if (range[widest] <= 7) return 0;
  gif_region added = *rg;
  if (widest == 0) {
    int32_t mid = rg->x0 + (rg->x1 - rg->x0) / 2;
    if (mid <= rg->x0 || mid >= rg->x1) return 0;
    rg->x1 = mid;
    added.x0 = mid;
  } else {
    int32_t mid = rg->y0 + (rg->y1 - rg->y0) / 2;
    if (mid <= rg->y0 || mid >= rg->y1) return 0;
    rg->y1 = mid;
    added.y0 = mid;
  }
  pal->region[pal->count++] = added;
  return pal->count < 256;
}

void region_mean(const imgbuf* img, int bpp, const gif_region& rg, uint8_t out[3]) {
  uint64_t sum[3] = {0, 0, 0};
  for (int64_t y = rg.y0; y < rg.y1; y++) {
    const uint8_t* p = pixel_at(img, bpp, rg.x0, y);
    for (int64_t x = rg.x0; x < rg.x1; x++, p += bpp) {
      sum[0] += p[0];
      sum[1] += p[1];
      sum[2] += p[2];
    }
  }
  uint64_t n = static_cast<uint64_t>(region_area(rg));
  for (int c = 0; c < 3; c++) out[c] = n ? static_cast<uint8_t>(sum[c] / n) : 0;
}

inline int colour_distance(const uint8_t e[3], int r, int g, int b) {
  int dr = r - e[0], dg = g - e[1], db = b - e[2];
  return 3 * dr * dr + 6 * dg * dg + db * db;
}

// The fast search splits colour space into 32 x 32 x 32 cells. A cell's candidate list
// holds every entry that can be nearest to some colour of the cell: the entries whose least
// distance to the cell does not exceed the smallest greatest distance of any entry to it.
// Every nearest entry, ties included, is in the list. The list is ordered by that least
// distance, so a scan stops at the first candidate that cannot reach the best distance
// found; equal distances are settled by index, which gives the exhaustive answer. Lists are
// made on first use; a photograph touches a small share of the cells.
const int kCellShift = 3;                      // cell side 8
const int kAxisCells = 1 << (8 - kCellShift);  // 32 cells along each channel
const int kCells = kAxisCells * kAxisCells * kAxisCells;

struct candidate {
  int32_t near;  // least weighted distance from the cell to the entry
  int32_t index;
};

// Far from a tight cluster of entries (a noisy image's palette sits near mid-grey) most
// entries stay candidates; such cells are served by a full scan instead of a list.
const int kMaxList = 40;
const int32_t kUnbuilt = -1;
const int32_t kFullScan = -2;

struct cell_matcher {
  const gif_palette* pal;
  int32_t ch[3][256];     // entry channels, laid out for the full scan
  int32_t start[kCells];  // kUnbuilt, kFullScan, or the list's first candidate
  uint16_t length[kCells];
  std::vector<candidate> lists;
};

int axis_far(int v, int lo, int hi) {
  int a = v - lo, b = hi - v;
  return a > b ? a : b;
}

int axis_near(int v, int lo, int hi) {
  if (v < lo) return lo - v;
  if (v > hi) return v - hi;
  return 0;
}

void build_cell(cell_matcher* m, int cell) {
  static const int kWeight[3] = {3, 6, 1};
  const int axis[3] = {cell / (kAxisCells * kAxisCells), (cell / kAxisCells) % kAxisCells,
                       cell % kAxisCells};
  const gif_palette* pal = m->pal;
  candidate all[256];
  int bound = 0x7fffffff;
  for (int i = 0; i < pal->count; i++) {
    int far = 0, nd = 0;
    for (int c = 0; c < 3; c++) {
      const int lo = axis[c] << kCellShift, hi = lo + (1 << kCellShift) - 1;
      const int f = axis_far(pal->rgb[i][c], lo, hi);
      const int n = axis_near(pal->rgb[i][c], lo, hi);
      far += kWeight[c] * f * f;
      nd += kWeight[c] * n * n;
    }
    all[i] = candidate{nd, i};
    if (far < bound) bound = far;
  }
  int kept = 0;
  for (int i = 0; i < pal->count; i++) kept += all[i].near <= bound;
  if (kept > kMaxList) {
    m->start[cell] = kFullScan;
    return;
  }
  const size_t first = m->lists.size();
  for (int i = 0; i < pal->count; i++) {
    if (all[i].near <= bound) m->lists.push_back(all[i]);
  }
  std::stable_sort(m->lists.begin() + static_cast<ptrdiff_t>(first), m->lists.end(),
                   [](const candidate& a, const candidate& b) { return a.near < b.near; });
  m->start[cell] = static_cast<int32_t>(first);
  m->length[cell] = static_cast<uint16_t>(m->lists.size() - first);
}

// Distances first, then their least value, then its first index: three loops that can be
// vectorised, where one loop carrying the running best cannot. GCC does so at -O2 (the
// optimised build's level) only when asked.
#if defined(__GNUC__) && !defined(__clang__)
#define IMGC_VECTORIZE __attribute__((optimize("tree-vectorize")))
#else
#define IMGC_VECTORIZE
#endif

IMGC_VECTORIZE int full_scan(const cell_matcher* m, int r, int g, int b) {
  const int n = m->pal->count;
  int32_t dist[256];
  for (int i = 0; i < n; i++) {
    const int32_t dr = r - m->ch[0][i], dg = g - m->ch[1][i], db = b - m->ch[2][i];
    dist[i] = 3 * dr * dr + 6 * dg * dg + db * db;
  }
  int32_t least = dist[0];
  for (int i = 1; i < n; i++) least = dist[i] < least ? dist[i] : least;
  int i = 0;
  while (dist[i] != least) i++;
  return i;
}

int cell_nearest(cell_matcher* m, int r, int g, int b) {
  const int cell =
      ((r >> kCellShift) * kAxisCells + (g >> kCellShift)) * kAxisCells + (b >> kCellShift);
  if (m->start[cell] == kUnbuilt) build_cell(m, cell);
  if (m->start[cell] == kFullScan) return full_scan(m, r, g, b);
  const candidate* list = m->lists.data() + m->start[cell];
  const int n = m->length[cell];
  int best = list[0].index;
  int best_d = colour_distance(m->pal->rgb[best], r, g, b);
  for (int k = 1; k < n && list[k].near <= best_d; k++) {
    const int d = colour_distance(m->pal->rgb[list[k].index], r, g, b);
    if (d < best_d || (d == best_d && list[k].index < best)) {
      best_d = d;
      best = list[k].index;
    }
  }
  return best;
}

}  // namespace

void gif_build_palette(const imgbuf* img, gif_palette* pal) {
  int bpp = img->has_alpha ? 4 : 3;
  int32_t w = img->width > 0 ? img->width : 0;
  int32_t h = img->height > 0 ? img->height : 0;
  pal->count = 1;
  pal->region[0] = gif_region{0, w, 0, h};
  int cur = 0;
  while (split_region(img, bpp, pal, cur)) {
    cur = 0;
    for (int i = 1; i < pal->count; i++) {
      if (region_area(pal->region[i]) > region_area(pal->region[cur])) cur = i;
    }
  }
  for (int i = 0; i < pal->count; i++) region_mean(img, bpp, pal->region[i], pal->rgb[i]);
  for (int i = pal->count; i < 256; i++) memcpy(pal->rgb[i], pal->rgb[0], 3);
}

int gif_map_indices(const imgbuf* img, const gif_palette* pal, uint8_t* dst, ptrdiff_t stride) {
  int bpp = img->has_alpha ? 4 : 3;
  cell_matcher* m = new (std::nothrow) cell_matcher;
  if (!m) return 0;
  std::unique_ptr<cell_matcher> guard(m);
  m->pal = pal;
  for (int i = 0; i < kCells; i++) m->start[i] = kUnbuilt;
  for (int i = 0; i < pal->count; i++) {
    for (int c = 0; c < 3; c++) m->ch[c][i] = pal->rgb[i][c];
  }
  try {
    m->lists.reserve(static_cast<size_t>(pal->count) * 16);
    for (int64_t y = 0; y < img->height; y++) {
      const uint8_t* p = pixel_at(img, bpp, 0, y);
      uint8_t* row = dst + y * stride;
      // Neighbouring pixels of a photograph often repeat a colour exactly.
      int last = -1, last_index = 0;
      for (int64_t x = 0; x < img->width; x++, p += bpp) {
        int key = (p[0] << 16) | (p[1] << 8) | p[2];
        if (key != last) {
          last = key;
          last_index = cell_nearest(m, p[0], p[1], p[2]);
        }
        row[x] = static_cast<uint8_t>(last_index);
      }
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

int gif_fill_frame(const imgbuf* img, AVFrame* frame) {
  gif_palette pal;
  gif_build_palette(img, &pal);
  if (!gif_map_indices(img, &pal, frame->data[0], frame->linesize[0])) {
    return set_error("out of memory");
  }
  uint32_t* entries = reinterpret_cast<uint32_t*>(frame->data[1]);
  for (int i = 0; i < 256; i++) {
    entries[i] = 0xFF000000u | (static_cast<uint32_t>(pal.rgb[i][0]) << 16) |
                 (static_cast<uint32_t>(pal.rgb[i][1]) << 8) | pal.rgb[i][2];
  }
  return 1;
}
