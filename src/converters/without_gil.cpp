#include "converters/without_gil.hpp"

#include <algorithm>
#include <array>

#include <samplerate.h>

namespace quavix {

namespace {

// Instructions per sample, counted with callgrind at 44.1 to 48 kHz (libsamplerate 0.2.2),
// indexed by converter number.
constexpr std::array<std::uint64_t, 5> cost_per_sample{5600, 1800, 800, 35, 45};

// Releasing the GIL and taking it back costs about 500 instructions when no other thread wants
// it, and as much again for every input block that a CallbackResampler's callable supplies
// meanwhile (counted with callgrind). Another thread that waits for the GIL also needs some
// tens of microseconds to wake up and run. So only requests of about 50 microseconds of work
// or more let it go: there the hand-over costs under 1 % and the other thread gets real time.
// Smaller requests keep it: a stereo stream in 64-frame blocks keeps it with every converter
// but sinc_best and sinc_medium, one in 4096-frame blocks lets it go with every converter.
constexpr double release_threshold = 200'000;

// A piece's work: about 60 ms on this kind of machine, so that Ctrl-C is noticed well within
// 0.2 s, while the piece's own overhead (one request, one GIL hand-over) stays negligible.
constexpr double piece_work = 200'000'000;

std::uint64_t per_sample(std::int32_t converter) {
    if (converter < 0 || static_cast<std::size_t>(converter) >= cost_per_sample.size()) {
        return cost_per_sample[SRC_SINC_BEST_QUALITY];
    }
    return cost_per_sample[static_cast<std::size_t>(converter)];
}

} // namespace

bool worth_releasing(std::int32_t converter, std::int64_t input_frames, std::size_t output_frames,
                     std::size_t channels) {
    const double frames =
        std::max(static_cast<double>(input_frames), static_cast<double>(output_frames));
    const double work =
        static_cast<double>(per_sample(converter)) * static_cast<double>(channels) * frames;
    return work >= release_threshold;
}

std::size_t piece_frames(std::int32_t converter, std::size_t channels, double ratio) {
    // Per output frame, the work of max(1, 1 / ratio) frames of the longer side.
    const double per_frame = static_cast<double>(per_sample(converter)) *
                             static_cast<double>(std::max<std::size_t>(channels, 1)) *
                             std::max(1.0, 1.0 / ratio);
    const double frames = piece_work / per_frame;
    return std::max<std::size_t>(1, static_cast<std::size_t>(frames));
}

} // namespace quavix
