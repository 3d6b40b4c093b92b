"""Shared timing helpers for the benchmarks: best-of-N timeit, ratios in one run."""
import timeit


def per_call(stmt, number=None, repeat=7, clock=timeit.default_timer, **namespace):
    """Best time of one call of `stmt` (a callable), in seconds, by `clock` (wall time unless
    told otherwise)."""
    timer = timeit.Timer(stmt, timer=clock, globals=namespace)
    if number is None:
        number, _ = timer.autorange()
        number = max(number, 1)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def interleaved(calls, rounds=5):
    """Best time per call of each callable, measured in alternating rounds so that
    load from other processes falls on every case alike."""
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(rounds):
        for name, call in calls.items():
            best[name] = min(best[name], per_call(call, repeat=3))
    return best


def report(rows, title):
    """Print rows of (case, ours_seconds, peer_seconds, peer_name, target) as a table of ratios."""
    print(f"\n{title}")
    print(f"{'case':44} {'ours':>10} {'peer':>10} {'ratio':>7}  target   peer")
    for case, ours, peer, peer_name, target in rows:
        ratio = ours / peer
        flag = "" if target is None or ratio <= target else "  MISSED"
        target_text = "" if target is None else f"<= {target:g}"
        print(f"{case:44} {ours * 1e9:8.0f}ns {peer * 1e9:8.0f}ns {ratio:7.3f}  {target_text:8} {peer_name}{flag}")
    return rows
