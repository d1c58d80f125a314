"""libsamplerate itself, called through ctypes: the reference every converter is checked against.

Everything here hands libsamplerate the very float32 buffers the tests give it and returns what
libsamplerate wrote, with its counts, so that tests compare the module with the library sample
for sample.
"""

import ctypes
import ctypes.util
import math

import numpy as np

_path = ctypes.util.find_library("samplerate") or "libsamplerate.so.0"
lib = ctypes.CDLL(_path)

_float_p = ctypes.POINTER(ctypes.c_float)


class SRC_DATA(ctypes.Structure):
    _fields_ = [
        ("data_in", _float_p),
        ("data_out", _float_p),
        ("input_frames", ctypes.c_long),
        ("output_frames", ctypes.c_long),
        ("input_frames_used", ctypes.c_long),
        ("output_frames_gen", ctypes.c_long),
        ("end_of_input", ctypes.c_int),
        ("src_ratio", ctypes.c_double),
    ]


CALLBACK = ctypes.CFUNCTYPE(ctypes.c_long, ctypes.c_void_p, ctypes.POINTER(_float_p))

lib.src_strerror.restype = ctypes.c_char_p
lib.src_strerror.argtypes = [ctypes.c_int]
lib.src_simple.restype = ctypes.c_int
lib.src_simple.argtypes = [ctypes.POINTER(SRC_DATA), ctypes.c_int, ctypes.c_int]
lib.src_new.restype = ctypes.c_void_p
lib.src_new.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
lib.src_delete.restype = ctypes.c_void_p
lib.src_delete.argtypes = [ctypes.c_void_p]
lib.src_process.restype = ctypes.c_int
lib.src_process.argtypes = [ctypes.c_void_p, ctypes.POINTER(SRC_DATA)]
lib.src_clone.restype = ctypes.c_void_p
lib.src_clone.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
lib.src_reset.restype = ctypes.c_int
lib.src_reset.argtypes = [ctypes.c_void_p]
lib.src_set_ratio.restype = ctypes.c_int
lib.src_set_ratio.argtypes = [ctypes.c_void_p, ctypes.c_double]
lib.src_callback_new.restype = ctypes.c_void_p
lib.src_callback_new.argtypes = [
    CALLBACK,
    ctypes.c_int,
    ctypes.c_int,
    ctypes.POINTER(ctypes.c_int),
    ctypes.c_void_p,
]
lib.src_callback_read.restype = ctypes.c_long
lib.src_callback_read.argtypes = [ctypes.c_void_p, ctypes.c_double, ctypes.c_long, _float_p]
lib.src_error.restype = ctypes.c_int
lib.src_error.argtypes = [ctypes.c_void_p]

CONVERTERS = ("sinc_best", "sinc_medium", "sinc_fastest", "zero_order_hold", "linear")
LINEAR = CONVERTERS.index("linear")
BAD_SRC_RATIO = 6
BAD_CHANNEL_COUNT = 11
# Spare output room of the first follow-up request of a streaming block; doubles after each.
PUSH_FIRST_SPARE = 256
# The lowest ratio at which a sinc converter's zero padding after the signal surely fits beside
# the last data in its buffer, for a request's ratio and libsamplerate's last ratio alike.
PADDING_FITS_FROM = 1 / 191
# Where libsamplerate's converter state keeps its last ratio: the double right after the
# pointer to its table of operations (checked against src_set_ratio and src_reset on first use).
_LAST_RATIO_OFFSET = ctypes.sizeof(ctypes.c_void_p)


def strerror(code):
    """libsamplerate's text for an error code."""
    text = lib.src_strerror(code)
    return None if text is None else text.decode()


def _ptr(array):
    return array.ctypes.data_as(_float_p)


def frames_of(array):
    """The float32 C-order buffer libsamplerate is handed for `array`, and its channel count."""
    data = np.ascontiguousarray(array, dtype=np.float32)
    channels = 1 if data.ndim == 1 else data.shape[1]
    return data, channels


def _input_pointer(data, previous, converter):
    """Where libsamplerate reads `data` from.

    The linear converter reads the frame before a lone input frame (meaning the previous
    input frame, or the frame itself on a fresh state); that frame is placed there so that
    the reference never reads outside its own buffers either.
    """
    if converter != LINEAR or data.shape[0] != 1:
        return _ptr(data), data
    before = data if previous is None else np.asarray(previous, dtype=np.float32)
    pair = np.concatenate([before.reshape(1, -1), data.reshape(1, -1)]).astype(np.float32)
    return ctypes.cast(_ptr(pair[1:]), _float_p), pair


def simple(data, ratio, converter, capacity):
    """src_simple on `data` with `capacity` output frames; returns (output, used, generated)."""
    data, channels = frames_of(data)
    frames = data.shape[0]
    out = np.empty((capacity,) + data.shape[1:], dtype=np.float32)
    data_in, _keep = _input_pointer(data, None, converter)
    request = SRC_DATA(data_in, _ptr(out), frames, capacity, 0, 0, 0, ratio)
    code = lib.src_simple(ctypes.byref(request), converter, channels)
    if code:
        raise RuntimeError(strerror(code))
    return out[: request.output_frames_gen], request.input_frames_used, request.output_frames_gen


def whole_tail(data, ratio, converter, capacity):
    """`data` on a fresh state, the end mark alone after it, at most `capacity` frames kept.

    What src_simple gives wherever its padding fits, and the whole tail where it does not.
    Returns (output, used, generated) like simple.
    """
    data, channels = frames_of(data)
    out, used, _ = State(converter, channels).push_then_end(data, ratio)
    out = out[:capacity].reshape((-1,) + data.shape[1:])
    return out, used, out.shape[0]


class State:
    """A libsamplerate converter state driven with src_process."""

    def __init__(self, converter, channels):
        error = ctypes.c_int(0)
        self.channels = channels
        self.converter = converter
        self._no_input = ctypes.c_float(0.0)
        self._previous = None  # the last input frame handed over, for the linear converter
        self.handle = lib.src_new(converter, channels, ctypes.byref(error))
        if not self.handle:
            raise RuntimeError(strerror(error.value))

    def process(self, data, capacity, ratio, end_of_input=False):
        """One src_process request; returns (output, used, generated)."""
        data = np.ascontiguousarray(data, dtype=np.float32)
        frames = data.shape[0] if data.ndim else 0
        out = np.empty((capacity, self.channels), dtype=np.float32)
        request = SRC_DATA(_ptr(data), _ptr(out), frames, capacity, 0, 0, int(end_of_input), ratio)
        code = lib.src_process(self.handle, ctypes.byref(request))
        if code:
            raise RuntimeError(strerror(code))
        return (
            out[: request.output_frames_gen],
            request.input_frames_used,
            request.output_frames_gen,
        )

    def _request(self, data, offset, out, capacity, ratio, end_of_input):
        """src_process on the frames of `data` from `offset` on, writing into `out`."""
        frames = data.shape[0] - offset
        keep = None
        if offset == 0 and frames:
            start, keep = _input_pointer(data, self._previous, self.converter)
        elif frames:
            start = ctypes.cast(data.ctypes.data + offset * self.channels * data.itemsize, _float_p)
        else:
            # Nothing left: a pointer of its own, never one past the caller's array.
            start = ctypes.pointer(self._no_input)
        request = SRC_DATA(
            start,
            _ptr(out),
            frames,
            capacity,
            0,
            0,
            int(end_of_input),
            ratio,
        )
        code = lib.src_process(self.handle, ctypes.byref(request))
        del keep
        if code:
            raise RuntimeError(strerror(code))
        return request.input_frames_used, request.output_frames_gen

    def push(self, data, ratio, end_of_input=False):
        """One block the way a lossless streaming converter hands it to libsamplerate.

        First the plain request: room for ceil(frames * ratio) output frames. Then, while input
        is left, or while the end of input is marked and the last request filled its room,
        requests for the rest with room for it plus a spare of PUSH_FIRST_SPARE frames that
        doubles each time; a request that uses and makes nothing ends it. Returns the output
        of shape (n, channels), the input frames used and the (used, generated, room) of every
        request.
        """
        data = np.ascontiguousarray(data, dtype=np.float32)
        frames = data.shape[0] if data.ndim else 0
        room = math.ceil(frames * ratio)
        used = 0
        spare = PUSH_FIRST_SPARE
        pieces, requests = [], []
        while True:
            out = np.empty((room, self.channels), dtype=np.float32)
            took, made = self._request(data, used, out, room, ratio, end_of_input)
            requests.append((took, made, room))
            pieces.append(out[:made])
            used += took
            if len(requests) > 1 and took == 0 and made == 0:
                break
            if used == frames and not (end_of_input and made == room):
                break
            room = math.ceil((frames - used) * ratio) + spare
            spare *= 2
        if frames:
            self._previous = data.reshape(frames, -1)[-1].copy()
        return np.concatenate(pieces), used, requests

    def push_then_end(self, data, ratio):
        """A last block's data without the end mark, then the end mark alone (no input).

        The sinc converters pad the end of the signal with zeros only as far as their buffer
        has room when the end mark comes with data; alone, it always has room, so this gives
        the whole tail: the samples of the signal followed by explicit zeros. Returns what
        push returns.
        """
        out, used, requests = self.push(data, ratio)
        tail, _, more = self.push(data[:0], ratio, True)
        return np.concatenate([out, tail]), used, requests + more

    def push_stream(self, data, ratio, end_of_input=False):
        """One block of a lossless stream that keeps a sinc converter's whole tail.

        The end mark comes with the data where the padding fits, that is where the block's ratio
        and the ratio libsamplerate glides from (its last ratio as it holds it, or the block's
        own on a fresh state) are both at PADDING_FITS_FROM or above, and alone after all the
        data elsewhere. Returns what push returns.
        """
        glides_from = self.last_ratio() or ratio
        sinc = CONVERTERS[self.converter].startswith("sinc")
        if end_of_input and sinc and min(glides_from, ratio) < PADDING_FITS_FROM:
            return self.push_then_end(data, ratio)
        return self.push(data, ratio, end_of_input)

    def last_ratio(self):
        """The ratio libsamplerate's next request glides from, read from its state; 0.0 on a
        fresh or reset state, whose first request takes its own ratio."""
        _check_last_ratio_offset()
        return ctypes.c_double.from_address(self.handle + _LAST_RATIO_OFFSET).value

    def reset(self):
        lib.src_reset(self.handle)
        self._previous = None

    def clone(self):
        """An independent copy through src_clone, carrying the remembered frame."""
        twin = object.__new__(State)
        error = ctypes.c_int(0)
        twin.__dict__.update(self.__dict__)
        twin._no_input = ctypes.c_float(0.0)
        twin.handle = lib.src_clone(self.handle, ctypes.byref(error))
        if not twin.handle:
            raise RuntimeError(strerror(error.value))
        return twin

    def set_ratio(self, ratio):
        return lib.src_set_ratio(self.handle, ratio)

    def __del__(self):
        if getattr(self, "handle", None):
            lib.src_delete(self.handle)
            self.handle = None


_last_ratio_offset_checked = []


def _check_last_ratio_offset():
    """Fails loudly if this libsamplerate keeps its last ratio elsewhere than read here."""
    if _last_ratio_offset_checked:
        return
    state = State(0, 1)
    seen = []
    for ratio in (0.3, 2.5):
        lib.src_set_ratio(state.handle, ratio)
        seen.append(ctypes.c_double.from_address(state.handle + _LAST_RATIO_OFFSET).value)
    lib.src_reset(state.handle)
    seen.append(ctypes.c_double.from_address(state.handle + _LAST_RATIO_OFFSET).value)
    if seen != [0.3, 2.5, 0.0]:
        raise RuntimeError(f"libsamplerate's last ratio is not where it was read: {seen}")
    _last_ratio_offset_checked.append(True)


class CallbackState:
    """A libsamplerate callback-mode state fed by a sequence of float32 blocks."""

    def __init__(self, converter, channels, blocks):
        self.channels = channels
        self._blocks = [np.ascontiguousarray(b, dtype=np.float32) for b in blocks]
        self._held = None
        self._pulls = 0
        self._callback = CALLBACK(self._pull)
        error = ctypes.c_int(0)
        self.handle = lib.src_callback_new(
            self._callback, converter, channels, ctypes.byref(error), None
        )
        if not self.handle:
            raise RuntimeError(strerror(error.value))

    def _pull(self, _data, slot):
        if self._pulls >= len(self._blocks):
            return 0
        self._held = self._blocks[self._pulls]
        self._pulls += 1
        slot[0] = _ptr(self._held)
        return self._held.shape[0]

    def read(self, frames, ratio):
        """One src_callback_read of `frames` frames; returns the output of shape (n, channels)."""
        out = np.empty((frames, self.channels), dtype=np.float32)
        got = lib.src_callback_read(self.handle, ratio, frames, _ptr(out))
        if got == 0:
            code = lib.src_error(self.handle)
            if code:
                raise RuntimeError(strerror(code))
        return out[:got]

    def __del__(self):
        if getattr(self, "handle", None):
            lib.src_delete(self.handle)
            self.handle = None
