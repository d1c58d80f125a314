/*
 * What the parts of the C reference share (see ref.c for the program and its pipe protocol):
 *
 *   ref.c           the commands read on standard input and their answers
 *   ref_convert.c   the conversions by src_simple, src_process and src_callback_read, with the
 *                   page-placed buffers they allocate for every call
 *   ref_signals.c   the loaded signals and the text of the last failure
 */
#ifndef QUAVIX_BENCH_REF_H
#define QUAVIX_BENCH_REF_H

/* For clock_gettime and madvise under -std=c11; before any system header. */
#define _DEFAULT_SOURCE

#include <stddef.h>

#define PAGE 4096

/* A buffer that starts at a chosen offset within its page; `raw` is what malloc returned. */
typedef struct {
    void* raw;
    float* data;
} Buffer;

typedef struct {
    int id;
    Buffer buffer;
    long frames;
    int channels;
} Signal;

typedef struct {
    long frames;
    long requests;
} Outcome;

/* Output kept by a dump; NULL while timing, where every buffer is released at once. */
typedef struct {
    float* data;
    long frames;
    long capacity;
    int channels;
} Sink;

/* ref_signals.c: failures and the signal table. */
int fail(const char* what);
int fail_src(int code);
const char* failure_text(void);
Signal* find_signal(int id);
int load_signal(int id, const char* path, long frames, int channels, long place);
int unload_signal(int id);
void unload_all(void);

/* ref_convert.c: buffers, the thread's CPU clock and the three ways of converting. */
double now_seconds(void);
int new_buffer(Buffer* buffer, long frames, int channels, long place);
void free_buffer(Buffer* buffer);
int run_mode(const char* mode, const Signal* s, int converter, double ratio, long block,
             long place, double* seconds, Outcome* outcome, Sink* sink);

#endif
