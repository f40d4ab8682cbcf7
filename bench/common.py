"""Timing helpers: velmor against the floor, the same primitive calls written in Python.

Each figure is the best of several interleaved runs (the minimum is the least disturbed by
other work on the machine); the ratio is velmor / floor, 1.00 meaning no overhead.
`--quick` on the command line makes every run short (a smoke test, not a measurement).
"""
import asyncio
import sys
import timeit

QUICK = "--quick" in sys.argv
BUDGET = 0.02 if QUICK else 0.2   # seconds per timed run
REPEAT = 2 if QUICK else 5        # timed runs per round
ROUNDS = 1 if QUICK else 3        # rounds, each timing the floor, velmor, the floor again

# Every row reported in this process, for the summary of bench/run.py.
SUMMARY = []


def best(fn, number, repeat=REPEAT):
    """Seconds per call: the best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def calls_for(fn, budget=BUDGET):
    """How many calls fit in about `budget` seconds."""
    t = best(fn, 1, repeat=2)
    return max(1, int(budget / max(t, 1e-7)))


def compare(label, ours, floor, rows, number=None, repeat=REPEAT, rounds=ROUNDS):
    """Times both, interleaved in one process, and records the ratio ours/floor."""
    number = number or calls_for(floor)
    t_ours = t_floor = float("inf")
    for _ in range(rounds):
        t_floor = min(t_floor, best(floor, number, repeat))
        t_ours = min(t_ours, best(ours, number, repeat))
    t_floor = min(t_floor, best(floor, number, repeat))
    rows.append((label, t_ours, t_floor, t_ours / t_floor))


def compare_async(label, ours, floor, rows, n=None):
    """Times awaiting coroutines made by `ours()` and `floor()` under one event loop each."""
    async def drive(make, count):
        for _ in range(count):
            await make()

    loops = []

    def runner(make):
        loop = asyncio.new_event_loop()
        loops.append(loop)
        return lambda count: loop.run_until_complete(drive(make, count))

    run_ours, run_floor = runner(ours), runner(floor)
    try:
        if n is None:
            run_floor(3)
            one = min(timeit.repeat(lambda: run_floor(5), number=1, repeat=2)) / 5
            n = max(5, int(BUDGET / max(one, 1e-7)))
        t_ours = t_floor = float("inf")
        for _ in range(ROUNDS):
            t_floor = min(t_floor, min(timeit.repeat(lambda: run_floor(n), number=1, repeat=REPEAT)) / n)
            t_ours = min(t_ours, min(timeit.repeat(lambda: run_ours(n), number=1, repeat=REPEAT)) / n)
        t_floor = min(t_floor, min(timeit.repeat(lambda: run_floor(n), number=1, repeat=REPEAT)) / n)
    finally:
        for loop in loops:
            loop.close()
    rows.append((label, t_ours, t_floor, t_ours / t_floor))


def _unit(seconds):
    return ("ms", 1e3) if seconds >= 1e-3 else ("us", 1e6)


def format_row(label, ours, floor, ratio, width=48):
    unit, scale = _unit(floor)
    return (f"{label:{width}} {ours * scale:10.2f}{unit} {floor * scale:10.2f}{unit} "
            f"{ratio:7.3f}")


def report(title, rows):
    print(f"\n{title}")
    print(f"{'operation':48} {'velmor':>12} {'floor':>12} {'ratio':>7}")
    for row in rows:
        print(format_row(*row))
        SUMMARY.append((title, *row))
    sys.stdout.flush()


def summary(limit=1.05):
    """The whole table once more, with every ratio above `limit` marked."""
    if not SUMMARY:
        return
    print(f"\nSummary (ratio velmor/floor; '*' above {limit})")
    title = None
    for section, label, ours, floor, ratio in SUMMARY:
        if section != title:
            title = section
            print(f"  {section}")
        mark = " *" if ratio > limit else ""
        print("    " + format_row(label, ours, floor, ratio, width=44) + mark)
