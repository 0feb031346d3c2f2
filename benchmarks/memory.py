"""What a recording costs in memory: bytes per buffered record, and the peak
while the trace is saved, as a multiple of the buffered records.

    python benchmarks/memory.py [--records N] [--db PATH]

Prints one line of figures.  RSS is read from /proc/self/statm (Linux) and
the peak from getrusage, so each run is a fresh process.
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import tempfile


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def small(i):
    return i


def workload(calls: int) -> None:
    for i in range(calls):
        small(i)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=2_000_000, help="records to buffer (two per call)")
    parser.add_argument("--db", default=None, help="database to save into (default: a temporary file)")
    args = parser.parse_args()

    from nefa.profiler import Profiler

    with tempfile.TemporaryDirectory() as scratch:
        db_path = args.db or os.path.join(scratch, "db.sqlite3")
        profiler = Profiler(db_path=db_path, config={"threading": False, "plugins": []})
        # Warm every cache the recording uses before the baseline.
        profiler.start()
        workload(10)
        profiler.stop()
        profiler.build_trace()
        before = rss()
        profiler.start()
        workload(args.records // 2)
        profiler.stop()
        recorded = rss()
        records = recorded - before
        profiler.save()
        peak = peak_rss()
        saved = peak - before
        stats = profiler.rust_profiler.stats() if hasattr(profiler.rust_profiler, "stats") else {}
        from nefa import db

        document = sum(len(part) for part in db.read_trace_parts(db_path, profiler.trace_id))
        print(
            f"records={args.records} python={sys.version.split()[0]} "
            f"in_memory={records / 1e6:.1f}MB bytes_per_record={records / args.records:.1f} "
            f"save_peak={saved / 1e6:.1f}MB save_peak_ratio={saved / max(records, 1):.2f} "
            f"document={document / 1e6:.1f}MB ({document / args.records:.1f} bytes/record) cut={stats.get('cut', False)}"
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
