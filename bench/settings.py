"""What a full run and a quick run measure."""

from dataclasses import dataclass, replace


@dataclass(frozen=True)
class Settings:
    quick: bool
    reps: int  # alternating repetitions per measurement
    oneshot_seconds: float
    stream_seconds: float
    sizes: tuple
    channel_counts: tuple
    channel_frames: int
    target_seconds: float  # minimum duration of one timed repetition
    rss_calls: int
    peer_reps: int
    count_seconds: float  # signal length of the callgrind instruction counts (0: none)
    thread_seconds: float  # signal length of each thread's conversion
    interrupt_seconds: float  # signal length of the conversion that SIGINT stops
    interrupt_runs: int
    other_pythons: tuple = ()  # interpreters whose small-block thread figures stand beside ours


FULL = Settings(
    quick=False,
    reps=9,
    oneshot_seconds=10.0,
    stream_seconds=10.0,
    sizes=(10**3, 10**4, 10**5, 10**6, 10**7),
    channel_counts=(1, 2, 8, 32),
    channel_frames=10**5,
    target_seconds=0.05,
    rss_calls=10**5,
    peer_reps=5,
    count_seconds=1.0,
    thread_seconds=10.0,
    interrupt_seconds=60.0,
    interrupt_runs=3,
)
# The quick run changes only what takes long.
QUICK = replace(
    FULL,
    quick=True,
    reps=3,
    stream_seconds=2.0,
    sizes=(10**3, 10**4, 10**5, 10**6),
    channel_frames=2 * 10**4,
    target_seconds=0.01,
    peer_reps=2,
    count_seconds=0.0,
    interrupt_seconds=40.0,
    interrupt_runs=1,
)
