/* imgconvert: image conversion through one shared library (tarnwick-imgconvert).
 *
 * Every text this library hands out lives in its own storage: the host never frees or
 * writes it. Paths are narrow byte texts handed unchanged to the file system. Exports that
 * can fail return 0 and leave a message that imgconvert_last_error() returns; the message
 * is kept per calling thread. */
#ifndef IMGCONVERT_H
#define IMGCONVERT_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(IMGCONVERT_BUILD)
#define IMGCONVERT_API __declspec(dllexport)
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

/* Converts the file `in` to `out`, whose extension chooses the format. `options_json` may be
 * NULL or empty. On success returns 1 and, when `out_json` is not NULL, stores the address
 * of a JSON result text that stays valid until the next successful call of this export.
 * The output appears whole or not at all. Returns 0 on failure. */
IMGCONVERT_API int32_t imgconvert_file(const char* in, const char* out, const char* options_json,
                                       const char** out_json);

/* Describes the file `in` as JSON. Returns 1 and stores the text's address in `out_json`
 * (when not NULL); the text stays valid until the next successful probe of the same kind
 * (camera RAW, HEIF family, other). Returns 0 on failure. */
IMGCONVERT_API int32_t imgconvert_probe(const char* in, const char** out_json);

/* The JSON catalogue of readable and writable formats and engine versions. Never NULL;
 * valid until the next call of this export. Leaves the last-error text alone. */
IMGCONVERT_API const char* imgconvert_formats(void);

/* Starts converting every file of `in_dir` into `out_dir` with the extension `out_ext`, as
 * background job `job_id` (0..15). Returns `job_id` when started and 0 otherwise; since job 0
 * also returns 0, a start is told by an empty last-error text. */
IMGCONVERT_API int32_t imgconvert_batch(const char* in_dir, const char* out_dir,
                                        const char* out_ext, const char* options, int32_t job_id);

/* Progress and failures of job `job_id` as JSON; "state" reads "done" once it has ended.
 * Returns 1 and stores the text's address in `out_json` (when not NULL); valid until the
 * next successful call of this export. Returns 0 for an id outside 0..15. */
IMGCONVERT_API int32_t imgconvert_batch_status(int32_t job_id, const char** out_json);

#ifdef __cplusplus
}
#endif

#endif /* IMGCONVERT_H */
