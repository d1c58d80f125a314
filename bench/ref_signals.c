/*
 * The C reference's signals: the float32 buffers loaded from the raw files the Python side
 * writes, kept by id until unloaded, and the text of the last failure that the program answers
 * with "error TEXT".
 */
#include "ref.h"

#include <samplerate.h>
#include <stdio.h>

#define MAX_SIGNALS 64

static Signal signals[MAX_SIGNALS];
static int signal_count = 0;
static char failure[256];

/* Records why a command failed; returns -1 so that callers can `return fail(...)`. */
int fail(const char* what) {
    snprintf(failure, sizeof failure, "%s", what);
    return -1;
}

int fail_src(int code) {
    return fail(src_strerror(code));
}

const char* failure_text(void) {
    return failure;
}

Signal* find_signal(int id) {
    for (int i = 0; i < signal_count; ++i) {
        if (signals[i].id == id) {
            return &signals[i];
        }
    }
    return NULL;
}

/* Reads `frames` interleaved frames from `path` into a buffer placed at `place` in its page;
 * a signal loaded again under the same id replaces the old one. */
int load_signal(int id, const char* path, long frames, int channels, long place) {
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

/* Releases a signal; the last one takes its slot, so the table stays packed. */
int unload_signal(int id) {
    Signal* slot = find_signal(id);
    if (slot == NULL) {
        return fail("unknown signal");
    }
    free_buffer(&slot->buffer);
    *slot = signals[--signal_count];
    return 0;
}

void unload_all(void) {
    for (int i = 0; i < signal_count; ++i) {
        free_buffer(&signals[i].buffer);
    }
    signal_count = 0;
}
