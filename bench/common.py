"""Timing helpers: velmor against the floor, the same primitive calls written in Python."""
import asyncio
import timeit


def best(fn, number, repeat=7):
    """Seconds per call: the best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def calls_for(fn, budget=0.2):
    """How many calls fit in about `budget` seconds."""
    t = best(fn, 1, repeat=3)
    return max(1, int(budget / max(t, 1e-7)))


def compare(label, ours, floor, rows):
    """Times both, interleaved in one process, and records the ratio ours/floor."""
    number = calls_for(floor)
    t_floor = best(floor, number)
    t_ours = best(ours, number)
    t_floor = min(t_floor, best(floor, number))
    rows.append((label, t_ours, t_floor, t_ours / t_floor))


def compare_async(label, ours, floor, rows, concurrency=1):
    """Times awaiting coroutines made by `ours()` and `floor()` under one event loop."""
    async def drive(make, n):
        for _ in range(n):
            await make()

    def timed(make):
        loop = asyncio.new_event_loop()
        try:
            return lambda n: loop.run_until_complete(drive(make, n)), loop
        finally:
            pass

    run_ours, loop_ours = timed(ours)
    run_floor, loop_floor = timed(floor)
    try:
        n = 200
        t_floor = min(timeit.repeat(lambda: run_floor(n), number=1, repeat=7)) / n
        t_ours = min(timeit.repeat(lambda: run_ours(n), number=1, repeat=7)) / n
        t_floor = min(t_floor, min(timeit.repeat(lambda: run_floor(n), number=1, repeat=7)) / n)
    finally:
        loop_ours.close()
        loop_floor.close()
    rows.append((label, t_ours, t_floor, t_ours / t_floor))


def report(title, rows):
    print(f"\n{title}")
    print(f"{'operation':44} {'velmor':>12} {'floor':>12} {'ratio':>7}")
    for label, ours, floor, ratio in rows:
        print(f"{label:44} {ours * 1e6:10.2f}us {floor * 1e6:10.2f}us {ratio:7.3f}")
