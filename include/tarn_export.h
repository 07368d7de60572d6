/*
 * libtarnexport: slides written out in other formats (Deep Zoom, a folder of tiles, ...), over
 * libDecodeTarn's tarn.h. `tarn export` and the Python package run the same code through it.
 *
 * A format is picked by name from a registry; each format describes the options it takes, and
 * refuses any other. An export job gathers a format, its options, one or more slides (files, URLs,
 * or slides the caller opened with tarn_open) and an output, then runs: tiles are read, scaled
 * and encoded on several threads and handed to the format's writer, which writes its output under
 * temporary names and gives it its final name only once it is whole.
 *
 *     tarn_export_job *job = tarn_export_job_create("deepzoom");
 *     if (job == NULL) { fprintf(stderr, "%s\n", tarn_export_get_error(NULL)); return 1; }
 *     if (tarn_export_job_set_option(job, "quality", "90") != 0 ||
 *         tarn_export_job_add_slide(job, "slide.tarn") != 0 ||
 *         tarn_export_job_set_output(job, "pyramid") != 0 ||
 *         tarn_export_job_run(job) != TARN_EXPORT_DONE)
 *         fprintf(stderr, "%s\n", tarn_export_get_error(job));
 *     tarn_export_job_destroy(job);
 *
 * Errors: calls that can fail return 0 on success and -1 on failure (or NULL); the reason is then
 * in tarn_export_get_error. Messages name options as the format lists them ("tile-size") and
 * URLs without their user part and query.
 *
 * Threads: a job is used by one thread at a time; different jobs may run at once. The progress
 * callback runs on the thread that called tarn_export_job_run, never on two threads at once.
 * The library prints nothing.
 *
 * Strings handed in are copied. Strings and records handed out belong to the library (format
 * descriptions: for the life of the process; a job's texts: until its next call or destroy).
 */
#ifndef TARN_EXPORT_H
#define TARN_EXPORT_H

#include <stddef.h>
#include <stdint.h>

#include "tarn.h"

#if defined(__GNUC__)
#define TARN_EXPORT_API __attribute__((visibility("default")))
#else
#define TARN_EXPORT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Formats and their options ---- */

typedef enum tarn_export_option_kind {
    TARN_EXPORT_OPTION_INT = 0,  /* a whole number from `min` to `max` */
    TARN_EXPORT_OPTION_FLAG = 1, /* on or off: "1" or "0" ("true"/"false", "yes"/"no" too) */
    TARN_EXPORT_OPTION_TEXT = 2  /* text; one of `choices` ("a|b|c") when that is not NULL */
} tarn_export_option_kind;

/* An option a format takes. The record stays valid for the life of the process; fields may be
 * added at its end, so callers never make or copy one. */
typedef struct tarn_export_option {
    const char* name; /* "tile-size": lower case and '-', as the command line spells it */
    tarn_export_option_kind kind;
    const char* default_value; /* as text: "254", "0" for a flag off, "" for no text */
    int64_t min, max;          /* TARN_EXPORT_OPTION_INT only */
    const char* choices;       /* TARN_EXPORT_OPTION_TEXT only: "a|b|c", or NULL for any text */
    const char* help;          /* one or two sentences */
} tarn_export_option;

/* Formats in the registry, and each one's name by index (0 to count - 1; NULL beyond). The first
 * is the default format. */
TARN_EXPORT_API int32_t tarn_export_get_format_count(void);
TARN_EXPORT_API const char* tarn_export_get_format_name(int32_t index);

/* What a format writes and where (a paragraph), or NULL for a name the registry lacks. */
TARN_EXPORT_API const char* tarn_export_get_format_help(const char* format);

/* How many options a format takes (-1 for a name the registry lacks), and each one by index
 * (NULL beyond). */
TARN_EXPORT_API int32_t tarn_export_get_option_count(const char* format);
TARN_EXPORT_API const tarn_export_option* tarn_export_get_option(const char* format, int32_t index);

/* ---- Export jobs ---- */

typedef struct tarn_export_job tarn_export_job;

/* Results of tarn_export_job_run. */
#define TARN_EXPORT_DONE 0
#define TARN_EXPORT_CANCELLED 1 /* stopped by the cancel flag or the progress callback */
#define TARN_EXPORT_FAILED (-1)

/* A job writing `format` (NULL: the default format), every option at its default, no slide and
 * no output yet. NULL for a name the registry lacks, with the reason in
 * tarn_export_get_error(NULL) on the same thread. */
TARN_EXPORT_API tarn_export_job* tarn_export_job_create(const char* format);

/* Releases the job. NULL is ignored. Slides added with tarn_export_job_add_open_slide stay open. */
TARN_EXPORT_API void tarn_export_job_destroy(tarn_export_job* job);

/* Sets one of the format's options from text. -1 when the format takes no such option (the
 * message lists those it takes) or the value does not fit its kind and range. */
TARN_EXPORT_API int tarn_export_job_set_option(tarn_export_job* job, const char* name,
                                               const char* value);

/* Adds a slide by file name or URL (anything tarn_open takes); it is opened when its turn comes
 * and closed after. Slides are written in the order added. */
TARN_EXPORT_API int tarn_export_job_add_slide(tarn_export_job* job, const char* filename);

/* Adds a slide the caller opened, for `name` in output names (NULL: "slide"; cleaned as file
 * names are). It must come from the libDecodeTarn this library loaded, stay open until the run
 * returns, and is not closed by the job. */
TARN_EXPORT_API int tarn_export_job_add_open_slide(tarn_export_job* job, tarn_slide* slide,
                                                   const char* name);

/* Where the export goes. With one slide it is that slide's output as the format's help says
 * (a folder or a file); with several, a folder that receives each slide's output under the
 * slide's name. */
TARN_EXPORT_API int tarn_export_job_set_output(tarn_export_job* job, const char* output);

/* Threads that read and encode tiles: n <= 0 one per processor (the default); at most 4 per
 * processor (more would only hold more tiles in memory), a larger n is lowered to that. */
TARN_EXPORT_API void tarn_export_job_set_threads(tarn_export_job* job, int n);

/* ---- Progress and cancelling ---- */

typedef enum tarn_export_event {
    TARN_EXPORT_SLIDE_STARTED = 0, /* the slide opened and its plan is made: `summary` says what
                                      will be written; no tile is done yet */
    TARN_EXPORT_TILES = 1,         /* tiles were done since the last call */
    TARN_EXPORT_SLIDE_FINISHED = 2 /* the slide's output is whole under its final name */
} tarn_export_event;

/* Where a run stands. Figures are of the current slide; texts live until the callback returns. */
typedef struct tarn_export_progress {
    tarn_export_event event;
    int32_t slide_index; /* 0 to slide_count - 1 */
    int32_t slide_count;
    const char* slide;   /* as messages show it */
    const char* output;  /* the slide's output */
    const char* summary; /* one line: what is written where */
    int64_t tiles_total;
    int64_t tiles_done;    /* written, or kept from an earlier run */
    int64_t tiles_skipped; /* of those, kept (the format's "resume" option) */
    uint64_t bytes;        /* encoded bytes handed to the writer */
    double seconds;        /* since the slide started */
    int32_t threads;       /* threads reading and encoding */
    int64_t tiles_damaged; /* of those done, tiles that could not be read and were written white
                              (the conversion formats' "skip-damaged" option) */
} tarn_export_progress;

/* Called at each slide's start and end, and about every 100 ms while tiles are done. A nonzero
 * return cancels the run, as the cancel flag does. */
typedef int (*tarn_export_progress_fn)(void* context, const tarn_export_progress* progress);

TARN_EXPORT_API void tarn_export_job_set_progress(tarn_export_job* job,
                                                  tarn_export_progress_fn callback, void* context);

/* A flag the run reads as it goes (NULL: none): once it is nonzero, no tile is started, files
 * being written are removed, tiles already whole stay (a resumable format picks them up again),
 * and the run returns TARN_EXPORT_CANCELLED. It may be set from any thread or a signal handler;
 * it must outlive the run. */
TARN_EXPORT_API void tarn_export_job_set_cancel(tarn_export_job* job, const volatile int* flag);

/* ---- Running ---- */

/* Writes every slide in turn. TARN_EXPORT_DONE when all are whole; TARN_EXPORT_CANCELLED when
 * cancelled (the outputs of slides finished before stay); TARN_EXPORT_FAILED at the first
 * failure (the tile of the lowest number that failed, for a slide), with its reason in
 * tarn_export_get_error(job). After a failure or a cancel, nothing the run left holds part of
 * a file under a final name. A job may run again (to resume, for instance). */
TARN_EXPORT_API int tarn_export_job_run(tarn_export_job* job);

/* Why the last call on `job` failed, or NULL when it succeeded (the text lives until the next
 * call on the job). With NULL: why the last tarn_export_job_create on this thread failed, or NULL
 * when it succeeded. */
TARN_EXPORT_API const char* tarn_export_get_error(tarn_export_job* job);

#ifdef __cplusplus
}
#endif

#endif /* TARN_EXPORT_H */
