"""examples/batch_resample.py on a two-worker cluster: every output equals a serial run of the
same conversion sample for sample, and a broken file is reported without stopping the others."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf

import quavix

REPO = Path(__file__).resolve().parent.parent
SCRIPT = REPO / "examples" / "batch_resample.py"
RATE = 16000
CONVERTER = "sinc_fastest"
BLOCK = 1000

# name: (sample rate, channels, frames); the longer ones span many blocks.
SIGNALS = {
    "speech.wav": (44100, 1, 7350),
    "stereo.wav": (48000, 2, 4321),
    "three.flac": (22050, 3, 2500),
    "short.wav": (32000, 2, 300),
    "exact.wav": (16000, 1, 2000),
}

if not hasattr(quavix, "Resampler"):
    pytest.skip("Resampler is not part of this build", allow_module_level=True)


def load_example():
    spec = importlib.util.spec_from_file_location("batch_resample", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


batch = load_example()


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A folder with the generated signals, a file that is no audio, and one that is broken."""
    root = tmp_path_factory.mktemp("audio")
    rng = np.random.default_rng(8)
    for name, (rate, channels, frames) in SIGNALS.items():
        t = np.arange(frames)[:, None] / rate
        tone = 0.5 * np.sin(2 * np.pi * 440 * (1 + np.arange(channels)) * t)
        noise = 0.1 * rng.standard_normal((frames, channels))
        subtype = "PCM_24" if name.endswith(".flac") else "FLOAT"
        sf.write(root / name, (tone + noise).astype(np.float32), rate, subtype=subtype)
    (root / "broken.wav").write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunk" + rng.bytes(64))
    (root / "notes.txt").write_text("not audio, not picked up")
    return root


@pytest.fixture(scope="module")
def serial(folder, tmp_path_factory):
    """The same conversion of every good file, one after another in this process."""
    out = tmp_path_factory.mktemp("serial")
    for name in SIGNALS:
        batch.convert_file(str(folder / name), str(out / name), RATE, CONVERTER, BLOCK)
    return out


def run_script(folder, out, *extra):
    return subprocess.run(
        [sys.executable, str(SCRIPT), str(folder), str(out), "--rate", str(RATE),
         "--converter", CONVERTER, "--block-frames", str(BLOCK), *extra],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip


def as_stored(signal, like, tmp):
    """`signal` as it reads back from a file of the same kind as `like`."""
    info = sf.info(like)
    path = tmp / f"stored{Path(like).suffix}"
    sf.write(path, signal, RATE, subtype=info.subtype, format=info.format)
    return sf.read(path, dtype="float32", always_2d=True)[0]


def check_outputs(out, serial, folder):
    assert sorted(p.name for p in out.iterdir()) == sorted(SIGNALS)
    for name, (rate, channels, _) in SIGNALS.items():
        got, got_rate = sf.read(out / name, dtype="float32", always_2d=True)
        want, _ = sf.read(serial / name, dtype="float32", always_2d=True)
        assert got_rate == RATE
        assert got.shape[1] == channels
        assert sf.info(out / name).subtype == sf.info(folder / name).subtype
        np.testing.assert_array_equal(got, want, err_msg=name)
        # Streaming in blocks loses nothing: the whole signal converted at once gives the same.
        source, _ = sf.read(folder / name, dtype="float32", always_2d=True)
        whole = quavix.resample(source, RATE / rate, CONVERTER)
        np.testing.assert_array_equal(got, as_stored(whole, folder / name, out.parent), name)


def check_report(done, converted):
    assert done.returncode == 1, done.stderr
    assert f"converted {converted} of {converted + 1} files to {RATE} Hz" in done.stdout
    failed = done.stdout.split("failed (1):\n", 1)[1].strip()
    assert failed.startswith("broken.wav: "), done.stdout
    assert "Traceback" not in done.stdout + done.stderr


def test_local_cluster_matches_a_serial_run(folder, serial, tmp_path):
    done = run_script(folder, tmp_path / "out", "--workers", "2")
    check_report(done, len(SIGNALS))
    check_outputs(tmp_path / "out", serial, folder)
    assert "resampling" in done.stderr  # the progress bar


def test_given_scheduler_runs_the_tasks(folder, serial, tmp_path):
    from distributed import LocalCluster

    # Worker threads in this process, reached over loopback TCP like a remote scheduler.
    with LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=False,
        protocol="tcp",
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster:
        done = run_script(folder, tmp_path / "out", "--scheduler", cluster.scheduler_address)
    check_report(done, len(SIGNALS))
    check_outputs(tmp_path / "out", serial, folder)


def test_failed_conversion_leaves_no_output(folder, tmp_path):
    with pytest.raises(sf.LibsndfileError):
        batch.convert_file(str(folder / "broken.wav"), str(tmp_path / "broken.wav"), RATE)
    with pytest.raises(quavix.ResamplingError):  # a ratio of 300: refused
        batch.convert_file(str(folder / "speech.wav"), str(tmp_path / "speech.wav"), 44100 * 300)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("frames", [0, 1, 999, 1000, 1001, 3000])
def test_blocks_are_bounded_and_the_last_is_marked(tmp_path, frames):
    path = tmp_path / "x.wav"
    sf.write(path, np.zeros((frames, 2), np.float32), 8000, subtype="FLOAT")
    with sf.SoundFile(path) as source:
        blocks = list(batch.read_blocks(source, BLOCK))
    assert sum(len(b) for b, _ in blocks) == frames
    assert all(0 < len(b) <= BLOCK and b.shape[1] == 2 for b, _ in blocks)
    assert [last for _, last in blocks] == [False] * (len(blocks) - 1) + [True] * bool(blocks)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--rate", "0"], "--rate must be a positive"),
        (["--rate", "8000", "--workers", "0"], "must be at least 1"),
        (["--rate", "8000", "--converter", "cubic"], "invalid choice"),
    ],
)
def test_unusable_arguments_exit_with_a_message(folder, tmp_path, args, message):
    done = subprocess.run(
        [sys.executable, str(SCRIPT), str(folder), str(tmp_path / "o"), *args],
        capture_output=True, text=True, timeout=60,
    )  # fmt: skip
    assert done.returncode == 2
    assert message in done.stderr
    assert "Traceback" not in done.stderr


def test_folder_without_audio_converts_nothing(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "readme.txt").write_text("no audio here")
    done = run_script(tmp_path / "in", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert "no audio files in" in done.stderr
    assert not (tmp_path / "out").exists()


def test_missing_or_same_folder_is_refused(folder, tmp_path):
    for src, dst, message in [
        (tmp_path / "nothing", tmp_path / "o", "is not a folder"),
        (folder, folder, "must differ from the input folder"),
    ]:
        done = subprocess.run(
            [sys.executable, str(SCRIPT), str(src), str(dst), "--rate", "8000"],
            capture_output=True, text=True, timeout=60,
        )  # fmt: skip
        assert done.returncode == 2 and message in done.stderr, done.stderr
