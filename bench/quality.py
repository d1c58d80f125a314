"""Quality figures of a converter from 44.1 kHz to 48 kHz, against exact analytic signals.

- Tone: a 997 Hz sine (a frequency with no simple relation to either rate). The output is
  compared sample by sample with the exact sine at the output rate, so any error counts: noise,
  distortion, images, and a delay too. A second figure fits the best sine (amplitude and phase)
  first, so that a converter's constant delay (one input frame for `linear`) does not count.
- Sweep: a linear sweep from 20 Hz to 21 kHz. Each short-time spectrum of the output is split
  into the band around the sweep's known instantaneous frequency and everything else; the
  energy of everything else (images, aliases, distortion) relative to the sweep's, in dB.
"""

import numpy as np

RATE_IN = 44100
RATE_OUT = 48000
RATIO = RATE_OUT / RATE_IN
AMPLITUDE = 0.5

TONE_HZ = 997.0
TONE_SECONDS = 2.0
EDGE_SECONDS = 0.25  # left out at both ends, where the filters start and stop

SWEEP_FROM_HZ = 20.0
SWEEP_TO_HZ = 21000.0  # below the input's Nyquist, so its images fall outside the sweep's band
SWEEP_SECONDS = 4.0
WINDOW = 2048
HOP = 512
KAISER_BETA = 20.0  # sidelobes far below float32's resolution


def tone_input():
    n = np.arange(int(TONE_SECONDS * RATE_IN))
    return (AMPLITUDE * np.sin(2 * np.pi * TONE_HZ * n / RATE_IN)).astype(np.float32)


def sweep_phase(t):
    rate = (SWEEP_TO_HZ - SWEEP_FROM_HZ) / SWEEP_SECONDS
    return 2 * np.pi * (SWEEP_FROM_HZ * t + 0.5 * rate * t * t)


def sweep_frequency(t):
    return SWEEP_FROM_HZ + (SWEEP_TO_HZ - SWEEP_FROM_HZ) * t / SWEEP_SECONDS


def sweep_input():
    t = np.arange(int(SWEEP_SECONDS * RATE_IN)) / RATE_IN
    return (AMPLITUDE * np.sin(sweep_phase(t))).astype(np.float32)


def _db(signal_energy, error_energy):
    if error_energy <= 0:
        return float("inf")
    return float(10 * np.log10(signal_energy / error_energy))


def tone_snr(output):
    """(SNR against the exact tone, SNR against the best-fitting sine), in dB."""
    y = np.asarray(output, dtype=np.float64).reshape(-1)
    m = np.arange(len(y))
    edge = int(EDGE_SECONDS * RATE_OUT)
    inner = slice(edge, max(edge, len(y) - edge))
    phase = 2 * np.pi * TONE_HZ * m[inner] / RATE_OUT
    exact = AMPLITUDE * np.sin(phase)
    snr_exact = _db(np.sum(exact**2), np.sum((y[inner] - exact) ** 2))
    basis = np.stack([np.sin(phase), np.cos(phase)], axis=1)
    weights, *_ = np.linalg.lstsq(basis, y[inner], rcond=None)
    fitted = basis @ weights
    snr_fit = _db(np.sum(fitted**2), np.sum((y[inner] - fitted) ** 2))
    return snr_exact, snr_fit


def sweep_rejection(output):
    """Energy outside the sweep's band relative to the energy in it, in dB below the sweep."""
    y = np.asarray(output, dtype=np.float64).reshape(-1)
    window = np.kaiser(WINDOW, KAISER_BETA)
    bin_hz = RATE_OUT / WINDOW
    mainlobe_bins = np.sqrt(1 + (KAISER_BETA / np.pi) ** 2) + 1
    drift_hz = (SWEEP_TO_HZ - SWEEP_FROM_HZ) / SWEEP_SECONDS * WINDOW / RATE_OUT / 2
    half_band = mainlobe_bins * bin_hz + drift_hz
    freqs = np.fft.rfftfreq(WINDOW, 1 / RATE_OUT)
    edge = int(EDGE_SECONDS * RATE_OUT)
    inside = outside = 0.0
    for start in range(edge, len(y) - WINDOW - edge, HOP):
        centre = (start + WINDOW / 2) / RATE_OUT
        power = np.abs(np.fft.rfft(y[start : start + WINDOW] * window)) ** 2
        band = np.abs(freqs - sweep_frequency(centre)) <= half_band
        inside += power[band].sum()
        outside += power[~band].sum()
    return _db(inside, outside)


def measure(convert):
    """Quality figures of `convert`, a function from a mono 44.1 kHz float32 signal to its
    48 kHz conversion."""
    snr_exact, snr_fit = tone_snr(convert(tone_input()))
    return {
        "snr_exact": snr_exact,
        "snr_fit": snr_fit,
        "sweep": sweep_rejection(convert(sweep_input())),
    }
