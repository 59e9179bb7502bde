"""Throughput of a factor library on a Dask cluster against one process.

    python bench/bench_distributed.py [--instruments N] [--days N] [--factors N] [--rounds N]

Evaluates the same library (the first 40 alphas of bench/alphas101.py by
default) over the instruments x trading dates of the large generated market
(5000 x about 2500; built once into the tessal cache, see make_large_market.py)
three ways, each returning every factor's whole frame to the caller:

- anchor: ``alvora.evaluate.execute_factors`` in this process, which from
  round 2 on reuses the pages of the frames the last round freed, as the
  workers reuse the spool files of the frames the client freed (see
  ``alvora.distributed.transfer``); the same call in a fresh process after
  the rounds (warmed on the same small slice as the workers, every page
  fresh) is printed beside it;
- ``alvora.distributed.execute_factors`` on a local cluster of 1 worker process
  (started by ``alvora.distributed.cluster_session`` as a run without a client);
- the same on 2 worker processes.

Both clusters are started, and their workers warmed up on a small slice, before
any timing (a running cluster is the normal case); then each side runs the
whole library once untimed, so that every round finds what a researcher's
next run finds: the workers the files of the last run's freed frames, this
process the pages of its freed frames (without it, the first round would
compare the fresh pages of the side run first with the recycled ones of the
sides after it, which take the files it freed). Then ``--rounds`` rounds
(default 3) each run the three sides once, in turn, alternating the order from
round to round (one process, 1 worker, 2 workers; then the reverse), so that a
slow minute of the machine falls on both sides of a comparison and not on one
side of the whole run. Every round prints: wall seconds, CPU seconds of this
process (client and, for a local cluster, the scheduler) and of the worker
processes, and the busiest process's CPU seconds (what the wall time would be
on otherwise idle cores); every process's user and system CPU seconds and page
faults over the run (first touches of fresh memory show as system time and
minor faults); the round's throughput ratio 2 workers / 1 worker and overhead
of the cluster path with one worker over the anchor, from wall times and from
CPU times. The closing summary lists these figures for every round and their
medians. Other jobs on the machine stretch wall times but hardly CPU times:
quote the load average.

Also printed: the tasks of the 2-worker plan with their estimated costs, each
worker's busy seconds and how long it stood idle before the run ended (the
imbalance), and whether every factor's frame equals the one-process frame of
the first round (compared through a digest of values, NaN positions, dates and
instruments).
"""
import argparse
import gc
import hashlib
import multiprocessing
import os
import resource
import sys
import time
import warnings

import numpy as np
import tessal
from distributed import get_task_stream
from tessal.bundle import build_large_bundle, large_bundle_path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from alphas101 import ALPHAS, AlvoraOps  # noqa: E402
from alvora.distributed import cluster_session  # noqa: E402
from alvora.distributed import execute_factors as execute_on_cluster  # noqa: E402
from alvora.distributed.cluster import worker_threads  # noqa: E402
from alvora.distributed.partition import estimated_cost, plan_tasks  # noqa: E402
from alvora.distributed.transfer import FrameSpool  # noqa: E402
from alvora.evaluate import execute_factors as execute_here  # noqa: E402

DEFAULT_FACTORS = 40


def _library(n):
    """The first ``n`` alphas of the alpha library (bench/alphas101.py) as alvora trees."""
    if n > len(ALPHAS):
        raise SystemExit("the alpha library holds {} factors".format(len(ALPHAS)))
    ops = AlvoraOps()
    return {name: fn(ops) for name, fn in list(ALPHAS.items())[:n]}


def _process_usage():
    """(user CPU s, system CPU s, minor page faults, major page faults) of the
    calling process so far, all its threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return np.array([usage.ru_utime, usage.ru_stime, usage.ru_minflt, usage.ru_majflt])


def _digest(frame):
    """A digest of a frame's values (NaN positions apart), dates and instruments."""
    values = frame.to_numpy()
    missing = np.isnan(values)
    digest = hashlib.blake2b(digest_size=16)
    digest.update(np.ascontiguousarray(missing).tobytes())
    digest.update(np.ascontiguousarray(np.where(missing, 0.0, values)).tobytes())
    digest.update(repr((list(frame.index), list(frame.columns))).encode())
    return digest.hexdigest()


def _timed(run, client=None):
    """(wall s, this process's usage, each worker's usage, cells returned,
    name -> digest, task stream records or None); a usage is what
    ``_process_usage`` gives, over the run."""
    gc.collect()
    workers = client.run(_process_usage) if client is not None else {}
    cpu = _process_usage()
    began = time.perf_counter()
    if client is not None:
        with get_task_stream(client) as stream:
            frames = run()
    else:
        frames = run()
    seconds = time.perf_counter() - began
    cpu = _process_usage() - cpu
    if client is not None:
        after = client.run(_process_usage)
        workers = [after[w] - workers[w] for w in after if w in workers]
    cells = sum(frame.size for frame in frames.values())
    digests = {name: _digest(frame) for name, frame in frames.items()}
    del frames
    gc.collect()
    return seconds, cpu, list(workers), cells, digests, \
        (stream.data if client is not None else None)


def _one_process_run(path, n_factors, ids, start, end):
    """The anchor's run in a fresh process, warmed on the same slice as the
    workers: what ``_timed`` gives for ``evaluate.execute_factors``."""
    warnings.simplefilter("ignore")
    tessal.init(path)
    factors = _library(n_factors)
    execute_here(dict(list(factors.items())[:1]), ids[:50], end, end)
    return _timed(lambda: execute_here(factors, ids, start, end))


def _worker_timeline(records):
    """Per worker: tasks run, seconds computing, seconds idle after its last
    task while another still computed."""
    spans = {}
    for record in records:
        if not str(record.get("key", "")).startswith("alvora-evaluate"):
            continue
        for span in record.get("startstops", ()):
            if span["action"] == "compute":
                spans.setdefault(record["worker"], []).append((span["start"], span["stop"]))
    if not spans:
        return []
    end = max(stop for s in spans.values() for _, stop in s)
    return [(worker, len(s), sum(b - a for a, b in s), end - max(b for _, b in s))
            for worker, s in sorted(spans.items())]


def _print_plan(factors, ids, client):
    tasks = plan_tasks(factors, ids, worker_threads(client), shared_leaves=FrameSpool().in_memory)
    print("plan for {} workers: {} tasks (estimated cost, factors, instruments)".format(
        worker_threads(client), len(tasks)))
    for task in tasks:
        print("  {:6.2f}  {:>3} factors  {:>5} instruments{}".format(
            estimated_cost(factors, task.names) * len(task.ids) / 1000, len(task.names), len(task.ids),
            "  slice {}/{}".format(task.chunk + 1, task.n_chunks) if task.n_chunks > 1 else ""))


SIDES = ("one process", "1 worker", "2 workers")


def _print_round(rows):
    """One round's tables; returns its (overhead wall, overhead busiest CPU,
    overhead all CPU, ratio wall, ratio busiest CPU)."""
    print("{:<40} {:>8} {:>11} {:>11} {:>13} {:>9} {:>13}".format(
        "side", "wall s", "client CPU", "worker CPU", "busiest CPU", "factors/s", "cells"))
    busiest = []
    for label, seconds, usage, workers, cells, _, _ in rows:
        cpus = [u[0] + u[1] for u in [usage] + workers]
        busiest.append(max(cpus))
        print("{:<40} {:>8.1f} {:>11.1f} {:>11} {:>13.1f} {:>9.3f} {:>13,}".format(
            label, seconds, cpus[0], " + ".join("{:.1f}".format(w) for w in cpus[1:]) or "-",
            busiest[-1], len(rows[0][5]) / seconds, cells))
    print("{:<40} {:>8} {:>8} {:>12} {:>10}".format(
        "process (CPU over the run)", "user s", "system s", "minor faults", "major"))
    for side, (_, _, usage, workers, _, _, _) in zip(SIDES, rows):
        named = [(", client" if workers else "", usage)] + [
            (", worker {}".format(i + 1), u) for i, u in enumerate(workers)]
        for who, u in named:
            print("{:<40} {:>8.1f} {:>8.1f} {:>12,.0f} {:>10,.0f}".format(side + who, *u))
    (_, anchor, *_), (_, one, *_), (_, two, *_) = rows
    total = [r[2][:2].sum() + sum(u[:2].sum() for u in r[3]) for r in rows]
    figures = (one / anchor - 1, busiest[1] / busiest[0] - 1, total[1] / total[0] - 1,
               one / two, busiest[1] / busiest[2])
    print("throughput ratio, 2 workers / 1 worker: {3:.2f} (wall), {4:.2f} (busiest-process "
          "CPU)".format(*figures))
    print("overhead of 1 worker over one process: {0:+.1%} (wall), {1:+.1%} (busiest-process "
          "CPU), {2:+.1%} (all CPU)".format(*figures))
    for label, _, _, _, _, _, records in rows[1:]:
        for worker, n_tasks, busy, idle in _worker_timeline(records):
            print("{}: worker {} ran {} tasks, {:.1f} s computing, idle {:.1f} s at the "
                  "end".format(label, worker, n_tasks, busy, idle))
    return figures


def _print_summary(figures):
    def listed(values, fmt):
        return "  ".join(fmt.format(v) for v in values) + "  | median " + fmt.format(
            float(np.median(values)))

    print("summary over {} rounds (every round, none left out):".format(len(figures)))
    names = ("overhead of 1 worker over one process, wall", "overhead, busiest-process CPU",
             "overhead, all CPU", "throughput ratio 2 workers / 1 worker, wall",
             "throughput ratio, busiest-process CPU")
    for k, name in enumerate(names):
        print("  {:<46} {}".format(name, listed([f[k] for f in figures],
                                                 "{:+.1%}" if k < 3 else "{:.2f}")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default=large_bundle_path(), help="market-data bundle")
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--factors", type=int, default=DEFAULT_FACTORS)
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of the three sides, each side once per round")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    path = build_large_bundle(args.path) if args.path == large_bundle_path() else args.path
    tessal.init(path)
    ids = list(tessal.all_instruments("CS").order_book_id)[:args.instruments]
    latest = tessal.get_latest_trading_date()
    dates = tessal.get_trading_dates("1900-01-01", latest)
    start, end = dates[max(0, len(dates) - args.days)], dates[-1]
    factors = _library(args.factors)
    print("bundle {}: {} factors x {} instruments x {} .. {} ({} dates); {} cores; load "
          "average {}".format(path, len(factors), len(ids), start.date(), end.date(),
                              len(tessal.get_trading_dates(start, end)), os.cpu_count(),
                              " ".join("{:.1f}".format(v) for v in os.getloadavg())))
    warnings.simplefilter("ignore")

    with cluster_session(workers=1) as one, cluster_session(workers=2) as two:
        clients = {1: one, 2: two}
        for n, client in clients.items():
            warm = dict(list(factors.items())[:n])
            execute_on_cluster(warm, ids[:50], end, end, client=client, bundle=path)
        _print_plan(factors, ids, two)

        # The anchor runs in this process: like the workers, which write the
        # results of round 2 on into the files of the frames the client freed,
        # it reuses the pages of the frames the last round freed. The same run
        # in a fresh process, all pages fresh, is printed after the rounds.
        spawn = multiprocessing.get_context("spawn")

        def side(k):
            if k == 0:
                return ("one process, evaluate.execute_factors",) + \
                    _timed(lambda: execute_here(factors, ids, start, end))
            client = clients[k]
            return ("distributed, {} worker process{}".format(k, "" if k == 1 else "es"),) + \
                _timed(lambda: execute_on_cluster(factors, ids, start, end, client=client,
                                                  bundle=path), client)

        for k in (0, 1, 2):  # untimed: see the module's docstring
            side(k)
        figures, want = [], None
        for r in range(args.rounds):
            order = (0, 1, 2) if r % 2 == 0 else (2, 1, 0)
            print("round {} of {} (order: {}); load average {}".format(
                r + 1, args.rounds, ", ".join(SIDES[k] for k in order),
                " ".join("{:.1f}".format(v) for v in os.getloadavg())))
            rows = {k: side(k) for k in order}
            rows = [rows[k] for k in range(3)]
            figures.append(_print_round(rows))
            if want is None:
                want = rows[0][5]
            for label, *_, digests, _ in rows:
                differ = [name for name in want if digests.get(name) != want[name]]
                if differ:
                    print("{}: DIFFERS from the first one-process run in {}".format(
                        label, ", ".join(differ)))
                elif label != rows[0][0] or r > 0:
                    print("{}: every frame equals the first one-process run's".format(label))
        # after the rounds: a process freeing the memory of a whole library slows
        # whichever side would run next
        with spawn.Pool(1) as pool:
            fresh = pool.apply(_one_process_run, (path, args.factors, ids, start, end))
        print("one process, in a fresh process: {:.1f} s wall, user {:.1f} s, "
              "system {:.1f} s, {:,.0f} minor faults (not in the ratios)".format(
                  fresh[0], *fresh[1][:3]))
    _print_summary(figures)
    print("load average after: {}".format(" ".join("{:.1f}".format(v)
                                                     for v in os.getloadavg())))


if __name__ == "__main__":
    main()
