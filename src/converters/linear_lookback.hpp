// Works around libsamplerate's linear converter reading outside its input: handed exactly one
// input frame at the start of a buffer, it interpolates from the frame just before the buffer,
// which it means to be the last input frame of the previous request (or, on a fresh or reset
// state, the frame itself). LinearLookback hands such a frame over in a two-frame scratch
// buffer whose first frame is that previous frame, so nothing outside our buffers is read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quavix {

class LinearLookback {
public:
    LinearLookback(std::int32_t converter, std::int32_t channels);
    // The copy shares the scratch that the source handed over last, which a copied
    // libsamplerate state may still read. From then on neither writes into it: each takes a
    // scratch of its own when it next needs one. So the source is marked too, which is why
    // copies are made while their source is claimed.
    LinearLookback(const LinearLookback& other);
    LinearLookback(LinearLookback&& other) noexcept = default;
    LinearLookback& operator=(const LinearLookback&) = delete;
    LinearLookback& operator=(LinearLookback&&) = delete;
    ~LinearLookback() = default;

    // The pointer to hand libsamplerate for a request of `frames` frames at the start of the
    // buffer `input`: `input` itself, except for one-frame requests to the linear converter.
    // The returned scratch stays valid and unchanged until the next call that needs it.
    const float* guard(const float* input, std::int64_t frames);

    // Records `frame` as the last input frame handed over. Only the linear converter needs it,
    // so for every other converter this copies nothing.
    void remember(const float* frame);

    // Forgets the previous frame, as a reset converter does.
    void forget() { has_previous_ = false; }

private:
    bool active_;
    bool has_previous_ = false;
    std::size_t channels_;
    std::vector<float> previous_;
    // Kept alive by the source and its copies alike, because a copied libsamplerate state may
    // still read the scratch that the source handed over.
    std::shared_ptr<std::vector<float>> scratch_;
    // Whether scratch_ has been shared with a copy, so that it is never written again. Not its
    // use count: that drops without ordering the other object's last reads before our writes,
    // and the source and the copy may serve two threads at once.
    mutable bool scratch_shared_ = false;
};

} // namespace quavix
