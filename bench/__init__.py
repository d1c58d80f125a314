"""Benchmarks of quavix against libsamplerate called from C, and against its peers.

run.py is the driver (tools/dev.sh bench). Each section is a module that measures, builds its
table and judges its own targets:

    oneshot       `resample` against `src_simple`
    streaming     `Resampler.process` and `CallbackResampler.read` per call, against C
    instructions  callgrind counts of the same conversions on both sides (callgrind.py)
    scaling       one-shot cost per frame against input size and channel count
    memory        peak traced memory of a conversion, resident memory over many calls
    peers         throughput and quality against soxr and scipy, and their picture
    threads       two threads against serial, and Ctrl-C during a long `resample`

The sections share:

    settings      what a full and a quick run measure
    workload      the rates, the test signal, its blocks and whole streamed conversions
    reference     the C reference (ref*.c), built here and driven over a pipe
    timing        paired repetitions of two sides, and their statistics
    quality       quality figures against exact analytic signals
    report        the tables, docs/performance.md and the README's Performance section
    selftest      checks that the harness measures the right thing
"""
