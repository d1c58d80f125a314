import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest


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
