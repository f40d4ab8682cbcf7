"""Runs every benchmark of bench/ and prints the ratio velmor/floor per operation.

    python bench/run.py [--quick] [name ...]    (names such as aes, quantum, memory)
"""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
import common  # noqa: E402

wanted = [a for a in sys.argv[1:] if not a.startswith("-")]
for script in sorted(here.glob("bench_*.py")):
    if wanted and script.stem.removeprefix("bench_") not in wanted:
        continue
    runpy.run_path(str(script), run_name="__main__")
common.summary()
