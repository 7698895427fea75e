/* imgconvert: image conversion through one shared library (tarnwick-imgconvert).
 *
 * Texts. Every text this library hands out lives in its own storage: the host never frees
 * or writes it. Paths are narrow byte texts handed unchanged to the file system.
 *
 * Failures. Exports that can fail return 0 and leave a message that imgconvert_last_error()
 * returns. The message is kept per calling thread.
 *
 * Threads. Any thread may call any export at any time; no export needs a lock. The JSON
 * texts of imgconvert_file, imgconvert_probe, imgconvert_formats and imgconvert_batch_status
 * are kept per calling thread, like the last-error text: calls on other threads never change
 * them. A text handed out on a thread is freed when that thread ends: copy it before then
 * if another thread needs it. (Earlier hosts serialized these calls with one lock per
 * export; that still works, it is just no longer needed.)
 *
 * Options. `options_json` is a JSON object such as {"quality":80,"width":800}. NULL, an
 * empty text, a text that is not JSON and a JSON value that is not an object all mean the
 * defaults; unknown keys are ignored, and numbers are truncated toward zero. */
#ifndef IMGCONVERT_H
#define IMGCONVERT_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(IMGCONVERT_BUILD)
#define IMGCONVERT_API __declspec(dllexport)
#elif defined(IMGCONVERT_STATIC) /* linked from the library's objects, not through the DLL */
#define IMGCONVERT_API
#else
#define IMGCONVERT_API __declspec(dllimport)
#endif
#else
#define IMGCONVERT_API __attribute__((visibility("default")))
#endif

/* Limits of the background batch jobs. */
#define IMGCONVERT_BATCH_JOBS 16          /* job ids 0..15 */
#define IMGCONVERT_BATCH_MAX_FILES 4096   /* files a job converts; the rest are only counted */
#define IMGCONVERT_BATCH_MAX_FAILURES 256 /* failures a status report lists */

#ifdef __cplusplus
extern "C" {
#endif

/* The constant version text "1.0.0". */
IMGCONVERT_API const char* imgconvert_version(void);

/* The calling thread's last-error text: never NULL, empty when nothing failed since the
 * thread's last clearing call. Valid until that thread's next call into the library. */
IMGCONVERT_API const char* imgconvert_last_error(void);

/* Converts the file `in` to `out`, whose extension (any case) chooses the format. A NULL or
 * empty `in` or `out` fails with "in/out must be non-empty". On success returns 1 and, when
 * `out_json` is not NULL, stores the address of the JSON result text, valid until this
 * export next succeeds on the same thread; `*out_json` is left unchanged when the text
 * could not be written whole. The output appears whole or not at all. Returns 0 on failure. */
IMGCONVERT_API int32_t imgconvert_file(const char* in, const char* out, const char* options_json,
                                       const char** out_json);

/* Describes the file `in` as JSON. A NULL or empty `in` fails with "in must be non-empty".
 * Returns 1 and stores the text's address in `out_json` (when not NULL); the text stays
 * valid until the next successful probe of the same kind (camera RAW, HEIF family, other)
 * on the same thread. Returns 0 on failure. */
IMGCONVERT_API int32_t imgconvert_probe(const char* in, const char** out_json);

/* The JSON catalogue of readable and writable formats and engine versions. Never NULL;
 * valid until this export is next called on the same thread. Leaves the last-error text alone.
 * The catalogue advertises more than is written or read in practice: "jxl" may be listed as
 * writable (with quality) although no writer takes it, and "targa" as readable although
 * FFmpeg reads TGA only under the name ".tga". */
IMGCONVERT_API const char* imgconvert_formats(void);

/* Starts converting every file of `in_dir` into `out_dir` (created, one level, when missing)
 * as background job `job_id` (0..15) and returns at once. `out_ext` is "png" or ".png"; it
 * reaches the writer with its case unchanged, so "PNG" makes every file fail. A NULL or empty
 * `in_dir`, `out_dir` or `out_ext` fails; a missing `in_dir` starts a job that ends with
 * nothing done. Returns `job_id` when started and 0 otherwise: since a started job 0 also
 * returns 0, a start is told by an empty imgconvert_last_error() right after the call. */
IMGCONVERT_API int32_t imgconvert_batch(const char* in_dir, const char* out_dir,
                                        const char* out_ext, const char* options_json,
                                        int32_t job_id);

/* Progress and failures of job `job_id` as JSON; "state" reads "done" once it has ended (a
 * slot never used reads as an ended empty job). Returns 1 and stores the text's address in
 * `out_json` (when not NULL); valid until this export next succeeds on the same thread. Returns 0
 * for an id outside 0..15. */
IMGCONVERT_API int32_t imgconvert_batch_status(int32_t job_id, const char** out_json);

#ifdef __cplusplus
}
#endif

#endif /* IMGCONVERT_H */
