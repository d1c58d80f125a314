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
 */
#define _DEFAULT_SOURCE

#include <math.h>
#include <samplerate.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#endif
#endif
#ifndef CALLGRIND_ZERO_STATS
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

#define MAX_SIGNALS 64
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

static Signal signals[MAX_SIGNALS];
static int signal_count = 0;
static char failure[256];

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int fail(const char* what) {
    snprintf(failure, sizeof failure, "%s", what);
    return -1;
}

static int fail_src(int code) {
    return fail(src_strerror(code));
}

/*
 * NumPy asks for transparent huge pages on every data buffer of 4 MiB or more; a fresh result
 * array then takes a few page faults instead of thousands. The reference's buffers do the same,
 * so that at large sizes both sides pay the same for first touching their output.
 */
static void advise_huge_pages(char* raw, size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (bytes >= ((size_t)1 << 22)) {
        size_t offset = (PAGE - (uintptr_t)raw % PAGE) % PAGE;
        madvise(raw + offset, bytes - offset, MADV_HUGEPAGE);
    }
#else
    (void)raw;
    (void)bytes;
#endif
}

/* A fresh buffer for `frames` frames, never of size zero so that malloc has to answer. */
static int new_buffer(Buffer* buffer, long frames, int channels, long place) {
    size_t bytes = ((size_t)frames * (size_t)channels + 1) * sizeof(float);
    char* raw = malloc(bytes + (place < 0 ? 0 : PAGE));
    if (raw == NULL) {
        return fail("out of memory");
    }
    size_t shift = 0;
    if (place >= 0) {
        shift = ((size_t)place + PAGE - (uintptr_t)raw % PAGE) % PAGE;
    }
    buffer->raw = raw;
    buffer->data = (float*)(void*)(raw + shift);
    advise_huge_pages(raw, bytes + (place < 0 ? 0 : PAGE));
    return 0;
}

static void free_buffer(Buffer* buffer) {
    free(buffer->raw);
    buffer->raw = NULL;
    buffer->data = NULL;
}

static Signal* find_signal(int id) {
    for (int i = 0; i < signal_count; ++i) {
        if (signals[i].id == id) {
            return &signals[i];
        }
    }
    return NULL;
}

static int load_signal(int id, const char* path, long frames, int channels, long place) {
    if (signal_count == MAX_SIGNALS || frames < 0 || channels < 1) {
        return fail("cannot load signal");
    }
    Buffer buffer;
    if (new_buffer(&buffer, frames, channels, place) != 0) {
        return -1;
    }
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        free_buffer(&buffer);
        return fail("cannot open signal");
    }
    size_t count = (size_t)frames * (size_t)channels;
    size_t got = fread(buffer.data, sizeof(float), count, file);
    fclose(file);
    if (got != count) {
        free_buffer(&buffer);
        return fail("short signal file");
    }
    Signal* slot = find_signal(id);
    if (slot == NULL) {
        slot = &signals[signal_count++];
    } else {
        free_buffer(&slot->buffer);
    }
    *slot = (Signal){id, buffer, frames, channels};
    return 0;
}

static long capacity_for(long frames, double ratio) {
    return (long)ceil((double)frames * ratio);
}

static int keep(Sink* sink, const float* data, long frames) {
    if (sink == NULL || frames == 0) {
        return 0;
    }
    if (sink->frames + frames > sink->capacity) {
        long capacity = 2 * (sink->frames + frames);
        float* grown =
            realloc(sink->data, (size_t)capacity * (size_t)sink->channels * sizeof(float));
        if (grown == NULL) {
            return fail("out of memory");
        }
        sink->data = grown;
        sink->capacity = capacity;
    }
    memcpy(sink->data + (size_t)sink->frames * (size_t)sink->channels, data,
           (size_t)frames * (size_t)sink->channels * sizeof(float));
    sink->frames += frames;
    return 0;
}

/* One src_simple call on the whole signal, output sized ceil(frames * ratio). */
static int run_simple(const Signal* s, int converter, double ratio, long place, Outcome* outcome,
                      Sink* sink) {
    long capacity = capacity_for(s->frames, ratio);
    Buffer out;
    if (new_buffer(&out, capacity, s->channels, place) != 0) {
        return -1;
    }
    SRC_DATA request = {0};
    request.data_in = s->buffer.data;
    request.data_out = out.data;
    request.input_frames = s->frames;
    request.output_frames = capacity;
    request.src_ratio = ratio;
    int code = src_simple(&request, converter, s->channels);
    int kept = code == 0 ? keep(sink, out.data, request.output_frames_gen) : 0;
    free_buffer(&out);
    if (code != 0) {
        return fail_src(code);
    }
    outcome->frames += request.output_frames_gen;
    outcome->requests += 1;
    return kept;
}

/* Moves the `frames` frames kept in `out` into a fresh buffer with room for `room` more. */
static int grow(Buffer* out, long frames, long room, int channels, long place) {
    Buffer grown;
    if (new_buffer(&grown, frames + room, channels, place) != 0) {
        return -1;
    }
    memcpy(grown.data, out->data, (size_t)frames * (size_t)channels * sizeof(float));
    free_buffer(out);
    *out = grown;
    return 0;
}

/*
 * One block through src_process, losing no input: the first request has room for
 * ceil(frames * ratio); while input is left over, or at the end of input while a request fills
 * all of its room, further requests with the remaining input and more room follow, their output
 * appended to the same result. A request that uses nothing and produces nothing ends it.
 */
static int process_block(SRC_STATE* state, const float* in, long frames, int channels, double ratio,
                         int end_of_input, long place, Outcome* outcome, Sink* sink) {
    long room = capacity_for(frames, ratio);
    Buffer out;
    if (new_buffer(&out, room, channels, place) != 0) {
        return -1;
    }
    long produced = 0;
    long used = 0;
    for (;;) {
        SRC_DATA request = {0};
        request.data_in = in + (size_t)used * (size_t)channels;
        request.data_out = out.data + (size_t)produced * (size_t)channels;
        request.input_frames = frames - used;
        request.output_frames = room;
        request.end_of_input = end_of_input;
        request.src_ratio = ratio;
        int code = src_process(state, &request);
        outcome->requests += 1;
        if (code != 0) {
            free_buffer(&out);
            return fail_src(code);
        }
        used += request.input_frames_used;
        produced += request.output_frames_gen;
        int filled = request.output_frames_gen == room;
        int idle = request.input_frames_used == 0 && request.output_frames_gen == 0;
        if (idle || (used == frames && !(end_of_input && filled))) {
            break;
        }
        room = capacity_for(frames - used, ratio) + 64;
        if (grow(&out, produced, room, channels, place) != 0) {
            return -1;
        }
    }
    int kept = keep(sink, out.data, produced);
    free_buffer(&out);
    outcome->frames += produced;
    return kept;
}

static int run_process(const Signal* s, int converter, double ratio, long block, long place,
                       double* seconds, Outcome* outcome, Sink* sink) {
    int code = 0;
    SRC_STATE* state = src_new(converter, s->channels, &code);
    if (state == NULL) {
        return fail_src(code);
    }
    int result = 0;
    double start = now_seconds();
    for (long first = 0; result == 0 && (first < s->frames || first == 0); first += block) {
        long frames = s->frames - first < block ? s->frames - first : block;
        int last = first + block >= s->frames;
        result = process_block(state, s->buffer.data + (size_t)first * (size_t)s->channels, frames,
                               s->channels, ratio, last, place, outcome, sink);
    }
    *seconds += now_seconds() - start;
    src_delete(state);
    return result;
}

typedef struct {
    const Signal* signal;
    long block;
    long next;
} Feed;

/* Hands out the signal in blocks, in place, then 0 frames for the end of input. */
static long feed_block(void* data, float** frames) {
    Feed* feed = data;
    long left = feed->signal->frames - feed->next;
    long count = left < feed->block ? left : feed->block;
    *frames = feed->signal->buffer.data + (size_t)feed->next * (size_t)feed->signal->channels;
    feed->next += count;
    return count;
}

static int run_callback(const Signal* s, int converter, double ratio, long block, long place,
                        double* seconds, Outcome* outcome, Sink* sink) {
    Feed feed = {s, block, 0};
    int code = 0;
    SRC_STATE* state = src_callback_new(feed_block, converter, s->channels, &code, &feed);
    if (state == NULL) {
        return fail_src(code);
    }
    int result = 0;
    double start = now_seconds();
    for (;;) {
        Buffer out;
        if (new_buffer(&out, block, s->channels, place) != 0) {
            result = -1;
            break;
        }
        long got = src_callback_read(state, ratio, block, out.data);
        outcome->requests += 1;
        if (got == 0 && (code = src_error(state)) != 0) {
            free_buffer(&out);
            result = fail_src(code);
            break;
        }
        result = keep(sink, out.data, got);
        free_buffer(&out);
        outcome->frames += got;
        if (got == 0 || result != 0) {
            break;
        }
    }
    *seconds += now_seconds() - start;
    src_delete(state);
    return result;
}

static int run_mode(const char* mode, const Signal* s, int converter, double ratio, long block,
                    long place, double* seconds, Outcome* outcome, Sink* sink) {
    if (strcmp(mode, "simple") == 0) {
        return run_simple(s, converter, ratio, place, outcome, sink);
    }
    if (block < 1) {
        return fail("block must be positive");
    }
    if (strcmp(mode, "process") == 0) {
        return run_process(s, converter, ratio, block, place, seconds, outcome, sink);
    }
    if (strcmp(mode, "callback") == 0) {
        return run_callback(s, converter, ratio, block, place, seconds, outcome, sink);
    }
    return fail("unknown mode");
}

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
    Signal* slot = sscanf(args, "%d", &id) == 1 ? find_signal(id) : NULL;
    if (slot == NULL) {
        return fail("unknown signal");
    }
    free_buffer(&slot->buffer);
    *slot = signals[--signal_count];
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
            printf("error %s\n", failure);
        }
        fflush(stdout);
    }
    for (int i = 0; i < signal_count; ++i) {
        free_buffer(&signals[i].buffer);
    }
    return 0;
}
