"""Benchmarks of quavix against libsamplerate called from C, and against its peers.

    tools/dev.sh bench            full run (a few minutes): prints the tables, writes
                                  docs/performance.md and docs/peers.png and the README's
                                  Performance section
    tools/dev.sh bench --quick    reduced run, under a minute; prints only
    tools/dev.sh bench --selftest checks that the C reference computes what quavix computes,
                                  and that the thread section's runs convert what serial runs do
    tools/dev.sh bench --only S   runs section S only (repeatable: one of the modules named
                                  in SECTIONS); prints only

Every binding figure is a ratio to a reference measured in the same run (libsamplerate from C,
or for threads the serial run): the two sides' repetitions alternate, and each ratio is taken
pair by pair, so that the drift of a shared machine cancels. Tables give the median and the
interquartile range of the pairs. The sections are the modules of this package (__init__.py
lists them); this driver only picks and runs them.
"""

import argparse
import sys
import time
from dataclasses import replace
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import (  # noqa: E402
    instructions,
    memory,
    oneshot,
    peers,
    report,
    scaling,
    selftest,
    streaming,
    threads,
)
from bench.reference import Reference  # noqa: E402
from bench.settings import FULL, QUICK  # noqa: E402

SECTIONS = {
    "oneshot": oneshot,
    "streaming": streaming,
    "instructions": instructions,
    "scaling": scaling,
    "memory": memory,
    "peers": peers,
    "threads": threads,
}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="reduced run, under a minute")
    parser.add_argument(
        "--selftest",
        action="store_true",
        help="check that the C reference computes what quavix computes, and the thread runs",
    )
    parser.add_argument(
        "--only",
        action="append",
        choices=tuple(SECTIONS),
        help="run only these sections (repeatable); writes nothing",
    )
    parser.add_argument(
        "--also-python",
        action="append",
        default=[],
        metavar="PATH",
        help="another interpreter, with quavix installed, whose small-block thread figures "
        "stand beside this one's (repeatable)",
    )
    parser.add_argument(
        "--no-write", action="store_true", help="full run without writing docs/ and README.md"
    )
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_arguments(argv)
    with Reference() as ref:
        if args.selftest:
            return selftest.run(ref)

        settings = replace(QUICK if args.quick else FULL, other_pythons=tuple(args.also_python))
        head = report.header(ref.version)
        print(head + "\n", flush=True)
        started = time.perf_counter()
        tables = report.Report()
        wanted = args.only or [s for s in SECTIONS if s != "instructions" or settings.count_seconds]
        chosen = [name for name in SECTIONS if name in wanted]
        found = {name: SECTIONS[name].run(ref, settings, tables) for name in chosen}
        rows = [row for name in SECTIONS for row in SECTIONS[name].targets(found)]
        summary = report.table(["target", "reached", ""], rows) if rows else ""
        if summary:
            tables.add("Targets", summary, first=True)
        print(f"benchmarks took {time.perf_counter() - started:.0f} s")
        if not (settings.quick or args.only or args.no_write):
            if found.get("peers"):
                peers.plot(found["peers"], report.PEERS_PICTURE)
            report.write_documents(head, tables.markdown(), summary)
            print(f"wrote {report.PERFORMANCE}, {report.PEERS_PICTURE} and {report.README}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
