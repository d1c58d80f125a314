/*
 * The C reference's conversions: one whole conversion of a loaded signal by src_simple, by
 * src_process in blocks, or by src_callback_read, each request given a freshly allocated output
 * buffer placed where the Python side places its own (see PLACE in ref.c). The buffers live
 * here too, so that the per-call path (allocate, convert, keep, release) is one translation
 * unit and the compiler treats it as it did when the reference was a single file.
 */
#include "ref.h"

#include <math.h>
#include <samplerate.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

/* The calling thread's CPU time, so that other processes sharing the cores are not counted. */
double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
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
int new_buffer(Buffer* buffer, long frames, int channels, long place) {
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

void free_buffer(Buffer* buffer) {
    free(buffer->raw);
    buffer->raw = NULL;
    buffer->data = NULL;
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

/* One whole conversion of `s` in `mode` ("simple", "process" or "callback"); the streaming
 * modes add the time of their requests to `seconds`, and `sink`, if any, keeps the output. */
int run_mode(const char* mode, const Signal* s, int converter, double ratio, long block,
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
