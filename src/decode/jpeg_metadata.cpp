// JPEG marker-segment work of our own: the EXIF APP1 segment and the APP2 ICC profile are
// copied out of a decoded JPEG, and the APP1 segment is put back into a JPEG we wrote.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/file_bytes.h"
#include "core/holders.h"
#include "core/output_file.h"
#include "decode/jpeg_metadata.h"

namespace {

constexpr long kMaxCaptureBytes = 209715200;  // 200 MiB: larger inputs keep no metadata
constexpr size_t kIccHeader = 14;             // "ICC_PROFILE\0", sequence, count

unsigned be16(const uint8_t* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

// The profile is assembled from chunks 1, 2, ... in file order and kept only when all the
// chunks that their headers announce have arrived: a fragment written into another file's
// colour description would be a corrupt profile there.
struct IccAssembly {
  BytesPtr data;
  size_t size = 0;
  size_t cap = 0;
  int last = 0;      // sequence number of the latest chunk seen
  int received = 0;  // chunks 1..received are in `data`
  int count = 0;     // chunk count announced by chunk 1
  bool broken = false;

  void append(const uint8_t* p, size_t n) {
    if (size + n > cap) {
      size_t want = cap ? cap : 65536;
      while (want < size + n) want *= 2;
      uint8_t* grown = static_cast<uint8_t*>(realloc(data.get(), want));
      if (!grown) {
        broken = true;
        return;
      }
      data.release();
      data.reset(grown);
      cap = want;
    }
    // An empty chunk adds nothing, and `data` may not exist yet.
    if (n > 0) memcpy(data.get() + size, p, n);
    size += n;
    received++;
  }

  void chunk(const uint8_t* payload, size_t n) {
    const int seq = payload[12];
    const int chunks = payload[13];
    const uint8_t* part = payload + kIccHeader;
    const size_t part_size = n - kIccHeader;
    if (last == 0) {
      last = seq;
      if (seq == 1) {
        count = chunks;
        append(part, part_size);
      }
      return;
    }
    // A chunk out of order is skipped but still moves `last`, so whatever follows a gap
    // cannot be appended either.
    if (received > 0 && seq == last + 1 && seq == received + 1) {
      if (chunks != count || seq > count)
        broken = true;
      else
        append(part, part_size);
    }
    last = seq;
  }

  bool complete() const { return !broken && received > 0 && received == count; }
};

}  // namespace

void jpeg_capture_metadata(const char* path, imgbuf* img) {
  free(img->exif);
  free(img->icc);
  img->exif = nullptr;
  img->icc = nullptr;
  img->exif_size = 0;
  img->icc_size = 0;
  img->exif_present = 0;

  size_t size = 0;
  BytesPtr file;
  if (read_file_bytes(path, 3, kMaxCaptureBytes, &file, &size) != 1) return;
  const uint8_t* d = file.get();
  if (size <= 6 || d[0] != 0xFF || d[1] != 0xD8) return;

  IccAssembly icc;
  for (size_t p = 2; p + 4 < size;) {
    if (d[p] != 0xFF) break;
    const uint8_t m = d[p + 1];
    if ((m >= 0xD0 && m <= 0xD8) || m == 0x01) {
      p += 2;
      continue;
    }
    if (m == 0xDA) break;
    const size_t len = be16(d + p + 2);
    if (len <= 1) break;
    const size_t next = p + len + 2;
    if (next > size) break;
    const uint8_t* payload = d + p + 4;
    const size_t payload_size = len - 2;
    if (m == 0xE1 && payload_size >= 6 && memcmp(payload, "Exif\0\0", 6) == 0) {
      free(img->exif);
      img->exif = static_cast<uint8_t*>(malloc(len + 2));
      img->exif_size = 0;
      if (img->exif) {
        memcpy(img->exif, d + p, len + 2);
        img->exif_size = static_cast<int32_t>(len + 2);
      }
    } else if (m == 0xE2 && payload_size >= kIccHeader && memcmp(payload, "ICC_PROFILE", 11) == 0) {
      icc.chunk(payload, payload_size);
    }
    p = next;
  }

  if (icc.complete()) {
    img->icc = icc.data.release();
    img->icc_size = static_cast<int32_t>(icc.size);
  }
  img->exif_present = img->exif ? 1 : 0;
}

int jpeg_reinsert_exif(const char* path, const imgbuf* img, const ConvertOptions* opts) {
  if (!opts || !opts->keep_exif || !img || !img->exif || img->exif_size <= 16) return 0;
  const uint8_t* exif = img->exif;
  const size_t exif_size = static_cast<size_t>(img->exif_size);
  // A block whose length field disagrees with its size would break the segment structure of
  // the output; the capture never makes one, but the record may come from elsewhere.
  if (exif[0] != 0xFF || exif[1] != 0xE1 || be16(exif + 2) + 2 != exif_size) return 0;

  size_t size = 0;
  BytesPtr file;
  if (read_file_bytes(path, 2, 0x7FFFFFFF, &file, &size) != 1 || file.get()[0] != 0xFF ||
      file.get()[1] != 0xD8)
    return 0;

  // A failure at any point leaves the encoder's file as it was written.
  const output_part parts[3] = {{file.get(), 2}, {exif, exif_size}, {file.get() + 2, size - 2}};
  return output_rewrite_file(path, parts, 3);
}
