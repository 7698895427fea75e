// A progressive JPEG made from the writer's baseline file without decoding it: libjpeg reads
// the DCT coefficients and writes them again in progressive scans, so the pixels are the
// baseline file's to the bit. The file's own markers (ICC profile and others) go along.
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// libjpeg's headers need <cstdio> first.
#include <jerror.h>
#include <jpeglib.h>

#include "core/error.h"
#include "core/file_bytes.h"
#include "core/holders.h"
#include "core/log.h"
#include "core/output_file.h"
#include "encode/metadata.h"

namespace {

struct JumpError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

[[noreturn]] void on_error_exit(j_common_ptr c) {
  longjmp(reinterpret_cast<JumpError*>(c->err)->jump, 1);
}

void on_output_message(j_common_ptr c) {
  if (!log_enabled()) return;
  char text[JMSG_LENGTH_MAX];
  (*c->err->format_message)(c, text);
  log_message("libjpeg", "%s", text);
}

// The work between setjmp and its end keeps no C++ object with a destructor alive, so the
// jump leaves nothing behind; the two structures are released by the caller.
bool transcode(jpeg_decompress_struct* in, jpeg_compress_struct* out, JumpError* err,
               const std::vector<uint8_t>& src, unsigned char** dst, unsigned long* dst_size) {
  if (setjmp(err->jump)) return false;
  jpeg_mem_src(in, src.data(), static_cast<unsigned long>(src.size()));
  jpeg_save_markers(in, JPEG_COM, 0xFFFF);
  for (int m = 0; m < 16; m++) jpeg_save_markers(in, JPEG_APP0 + m, 0xFFFF);
  jpeg_read_header(in, TRUE);
  jvirt_barray_ptr* coefs = jpeg_read_coefficients(in);
  jpeg_mem_dest(out, dst, dst_size);
  jpeg_copy_critical_parameters(in, out);
  jpeg_simple_progression(out);
  jpeg_write_coefficients(out, coefs);
  for (jpeg_saved_marker_ptr m = in->marker_list; m; m = m->next) {
    // The writer made its own JFIF and Adobe markers already.
    const bool jfif = m->marker == JPEG_APP0 && m->data_length >= 5 &&
                      memcmp(m->data, "JFIF", 5) == 0 && out->write_JFIF_header;
    const bool adobe = m->marker == JPEG_APP0 + 14 && m->data_length >= 5 &&
                       memcmp(m->data, "Adobe", 5) == 0 && out->write_Adobe_marker;
    if (!jfif && !adobe) jpeg_write_marker(out, m->marker, m->data, m->data_length);
  }
  jpeg_finish_compress(out);
  jpeg_finish_decompress(in);
  return true;
}
}  // namespace

int jpeg_make_progressive(const char* path, const char* out_name) {
  std::vector<uint8_t> src;
  if (read_file_bytes(path, 1, LLONG_MAX, &src) != 1)
    return set_os_error("cannot write output '%s'", out_name);
  jpeg_decompress_struct in;
  jpeg_compress_struct out;
  JumpError in_err, out_err;
  in.err = jpeg_std_error(&in_err.pub);
  out.err = jpeg_std_error(&out_err.pub);
  in_err.pub.error_exit = out_err.pub.error_exit = on_error_exit;
  in_err.pub.output_message = out_err.pub.output_message = on_output_message;
  jpeg_create_decompress(&in);
  jpeg_create_compress(&out);
  // Both share one jump: whichever fails, both are destroyed below.
  out.err = in.err;
  unsigned char* dst = nullptr;
  unsigned long dst_size = 0;
  const bool ok = transcode(&in, &out, &in_err, src, &dst, &dst_size);
  jpeg_destroy_compress(&out);
  jpeg_destroy_decompress(&in);
  int result = 0;
  if (!ok) {
    result = set_error("cannot make '%s' progressive", out_name);
  } else {
    const output_part whole = {dst, dst_size};
    result = output_rewrite_file(path, &whole, 1)
                 ? 1
                 : set_os_error("cannot write output '%s'", out_name);
  }
  free(dst);
  return result;
}
