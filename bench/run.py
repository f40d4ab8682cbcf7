"""Runs every benchmark of bench/ and prints the ratio velmor/floor per operation."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
for script in sorted(here.glob("bench_*.py")):
    runpy.run_path(str(script), run_name="__main__")
