"""Runs every benchmark in turn; `make bench` calls this."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_adapter  # noqa: E402
import bench_batch  # noqa: E402
import bench_explain  # noqa: E402
import bench_formats  # noqa: E402
import bench_stability  # noqa: E402
import bench_stats  # noqa: E402
import bench_throughput  # noqa: E402

if __name__ == "__main__":
    bench_adapter.run()
    print()
    bench_explain.run()
    print()
    bench_batch.run()
    print()
    bench_throughput.run()
    print()
    bench_formats.run()
    print()
    bench_stats.run()
    print()
    bench_stability.run()
