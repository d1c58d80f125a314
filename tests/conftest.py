import os
import subprocess
import sys
import sysconfig
import textwrap

import numpy as np
import pytest

# The sanitizer build runs several times slower, so its run has longer time limits: tools/dev.sh
# gives it a longer default, and the tests that set their own limit get this many times theirs.
SANITIZED_TIME_FACTOR = 3


# The example programs read and write sound files with soundfile, whose CFFI builds for no
# free-threaded CPython before 3.14: on the free-threaded 3.13 their tests are left out.
WITHOUT_SOUNDFILE = sys.version_info[:2] == (3, 13) and bool(
    sysconfig.get_config_var("Py_GIL_DISABLED")
)
if WITHOUT_SOUNDFILE:
    collect_ignore = ["test_batch.py", "test_cli.py", "test_convert_file.py", "test_demo.py"]


def pytest_report_header():
    if WITHOUT_SOUNDFILE:
        return "example programs not tested: soundfile cannot be installed on free-threaded 3.13"
    return None


# Fixtures that make a test unfit for pytest-run-parallel's several threads at once, with the
# reason; their tests carry its thread_unsafe marker and run on one thread.
THREAD_UNSAFE_FIXTURES = {
    "ref": "drives one C reference process over one pipe, with files of its own",
}


def pytest_collection_modifyitems(config, items):
    for item in items:
        for name in THREAD_UNSAFE_FIXTURES.keys() & set(item.fixturenames):
            item.add_marker(pytest.mark.thread_unsafe(reason=THREAD_UNSAFE_FIXTURES[name]))
    if not os.environ.get("QUAVIX_SANITIZED"):
        return
    for item in items:
        mark = item.get_closest_marker("timeout")
        if mark is not None and mark.args:
            item.add_marker(pytest.mark.timeout(mark.args[0] * SANITIZED_TIME_FACTOR), append=False)


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter, so that a crash cannot take the test run down."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, "PYTHONFAULTHANDLER": "1"},
    )


@pytest.fixture
def isolated():
    return run_isolated
