/*
 * libsamplerate driven from C: the reference that the Python benchmarks are measured against.
 *
 * The program reads commands on standard input, one per line, and answers each with one line
 * on standard output, so that one process can serve a whole benchmark run and the Python side
 * can alternate its own repetitions with the C ones. Signals are raw interleaved float32 files
 * written by the Python side, so both sides convert the very same samples.
 *
 *   load ID PATH FRAMES CHANNELS PLACE               -> ok
 *   unload ID                                        -> ok
 *   simple ID CONVERTER RATIO LOOPS PLACE            -> ok SECONDS OUTPUT_FRAMES REQUESTS
 *   process ID CONVERTER RATIO BLOCK LOOPS PLACE     -> ok SECONDS OUTPUT_FRAMES REQUESTS
 *   callback ID CONVERTER RATIO BLOCK LOOPS PLACE    -> ok SECONDS OUTPUT_FRAMES REQUESTS
 *   dump MODE ID CONVERTER RATIO BLOCK PATH          -> ok OUTPUT_FRAMES REQUESTS
 *   count MODE ID CONVERTER RATIO BLOCK LABEL        -> ok OUTPUT_FRAMES REQUESTS
 *   version                                          -> ok VERSION
 *   quit
 *
 * SECONDS is the wall time of LOOPS complete conversions of the signal; OUTPUT_FRAMES and
 * REQUESTS (calls of src_simple, src_process or src_callback_read) are those of one of them.
 * Every call gets a freshly allocated output buffer that is released afterwards, as a binding
 * allocates a result array per call. Failures answer "error TEXT".
 *
 * PLACE is where a buffer starts within its 4 KiB page (its address modulo 4096), or -1 for
 * wherever malloc puts it. The converters' speed depends on how the input and output addresses
 * relate (by a third for `linear` when both are in cache: loads and stores alias across
 * 4 KiB), so the Python side passes the page offsets of its own buffers and both sides run on
 * the same layout.
 *
 * `count` runs one conversion as a callgrind region: under valgrind's callgrind tool it zeroes
 * the counters before and dumps them with LABEL after; elsewhere it only converts.
 *
 * This file reads the commands and answers them; the conversions are in ref_convert.c and the
 * loaded signals in ref_signals.c (ref.h lists what they share).
 */
#include "ref.h"

#include <samplerate.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#endif
#endif
#ifndef CALLGRIND_ZERO_STATS
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

static int timed(const char* mode, char* args) {
    int id = 0;
    int converter = 0;
    double ratio = 0.0;
    long block = 0;
    long loops = 0;
    long place = -1;
    int simple = strcmp(mode, "simple") == 0;
    int parsed = simple ? sscanf(args, "%d %d %lf %ld %ld", &id, &converter, &ratio, &loops, &place)
                        : sscanf(args, "%d %d %lf %ld %ld %ld", &id, &converter, &ratio, &block,
                                 &loops, &place);
    const Signal* s = find_signal(id);
    if (parsed != (simple ? 5 : 6) || s == NULL || loops < 1 || place >= PAGE) {
        return fail("bad arguments");
    }
    /*
     * One-shot calls are timed together, as the Python side times its loop: reading the
     * thread's CPU clock is a system call, too dear to make around each short call. Streams
     * time their own calls, leaving out the creation and deletion of their state.
     */
    double seconds = 0.0;
    double start = now_seconds();
    Outcome outcome = {0, 0};
    for (long i = 0; i < loops; ++i) {
        outcome = (Outcome){0, 0};
        if (run_mode(mode, s, converter, ratio, block, place, &seconds, &outcome, NULL) != 0) {
            return -1;
        }
    }
    if (simple) {
        seconds = now_seconds() - start;
    }
    printf("ok %.9e %ld %ld\n", seconds, outcome.frames, outcome.requests);
    return 0;
}

/* The arguments shared by count and dump: mode, signal, converter, ratio, block, and one
 * last word (a label or a path) of at most tail_width characters. */
typedef struct {
    char mode[16];
    int converter;
    double ratio;
    long block;
    const Signal* signal;
} Request;

static int parse_request(const char* args, Request* r, char* tail, int tail_width) {
    char format[64];
    int id = 0;
    snprintf(format, sizeof format, "%%15s %%d %%d %%lf %%ld %%%ds", tail_width);
    if (sscanf(args, format, r->mode, &id, &r->converter, &r->ratio, &r->block, tail) != 6) {
        return fail("bad arguments");
    }
    r->signal = find_signal(id);
    if (r->signal == NULL) {
        return fail("unknown signal");
    }
    return 0;
}

static int count(char* args) {
    char label[256];
    Request r;
    if (parse_request(args, &r, label, 255) != 0) {
        return -1;
    }
    const Signal* s = r.signal;
    double seconds = 0.0;
    Outcome outcome = {0, 0};
    CALLGRIND_ZERO_STATS;
    int result = run_mode(r.mode, s, r.converter, r.ratio, r.block, -1, &seconds, &outcome, NULL);
    CALLGRIND_DUMP_STATS_AT(label);
    if (result == 0) {
        printf("ok %ld %ld\n", outcome.frames, outcome.requests);
    }
    return result;
}

static int dump(char* args) {
    char path[4096];
    Request r;
    if (parse_request(args, &r, path, 4095) != 0) {
        return -1;
    }
    const Signal* s = r.signal;
    double seconds = 0.0;
    Outcome outcome = {0, 0};
    Sink sink = {NULL, 0, 0, s->channels};
    int result = run_mode(r.mode, s, r.converter, r.ratio, r.block, -1, &seconds, &outcome, &sink);
    if (result == 0) {
        FILE* file = fopen(path, "wb");
        size_t count = (size_t)sink.frames * (size_t)sink.channels;
        if (file == NULL || fwrite(sink.data, sizeof(float), count, file) != count) {
            result = fail("cannot write output");
        }
        if (file != NULL && fclose(file) != 0) {
            result = fail("cannot write output");
        }
    }
    free(sink.data);
    if (result == 0) {
        printf("ok %ld %ld\n", outcome.frames, outcome.requests);
    }
    return result;
}

static int load(char* args) {
    char path[4096];
    int id = 0;
    long frames = 0;
    int channels = 0;
    long place = -1;
    if (sscanf(args, "%d %4095s %ld %d %ld", &id, path, &frames, &channels, &place) != 5 ||
        place >= PAGE) {
        return fail("bad arguments");
    }
    if (load_signal(id, path, frames, channels, place) != 0) {
        return -1;
    }
    printf("ok\n");
    return 0;
}

static int unload(char* args) {
    int id = 0;
    if (sscanf(args, "%d", &id) != 1) {
        return fail("unknown signal");
    }
    if (unload_signal(id) != 0) {
        return -1;
    }
    printf("ok\n");
    return 0;
}

static int serve(char* line) {
    char command[16];
    int offset = 0;
    if (sscanf(line, "%15s %n", command, &offset) != 1) {
        return fail("empty command");
    }
    char* args = line + offset;
    if (strcmp(command, "load") == 0) {
        return load(args);
    }
    if (strcmp(command, "unload") == 0) {
        return unload(args);
    }
    if (strcmp(command, "simple") == 0 || strcmp(command, "process") == 0 ||
        strcmp(command, "callback") == 0) {
        return timed(command, args);
    }
    if (strcmp(command, "dump") == 0) {
        return dump(args);
    }
    if (strcmp(command, "count") == 0) {
        return count(args);
    }
    if (strcmp(command, "version") == 0) {
        printf("ok %s\n", src_get_version());
        return 0;
    }
    return fail("unknown command");
}

int main(void) {
    char line[8192];
    while (fgets(line, sizeof line, stdin) != NULL) {
        if (strncmp(line, "quit", 4) == 0) {
            break;
        }
        if (serve(line) != 0) {
            printf("error %s\n", failure_text());
        }
        fflush(stdout);
    }
    unload_all();
    return 0;
}
