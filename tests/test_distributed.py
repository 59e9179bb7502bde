"""Factor libraries across a real local Dask cluster of two worker processes,
compared with a single-process run over the same small generated market."""
import io
import os
import pickle
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

distributed = pytest.importorskip("distributed")

import tessal  # noqa: E402
from alvora.analysis.study_bench import (FactorReturnAnalysis, FactorStudyBench,  # noqa: E402
                                         ICAnalysis, Normalization, QuantileReturnAnalysis,
                                         Winzorization)
from alvora.cross_sectional import CS_RANK  # noqa: E402
from alvora.distributed import (BundleUnavailableError, FactorError,  # noqa: E402
                                FactorFailures, execute_factors, study_factors)
from alvora.distributed.partition import (MIN_CHUNK, balanced_groups,  # noqa: E402
                                          estimated_cost, plan_tasks, tapered_chunks)
from alvora.distributed.results import ResultsFolder  # noqa: E402
from alvora.distributed.transfer import FrameSpool, SpooledFrame, received, spool_frames  # noqa: E402,E501
from alvora import cli  # noqa: E402
from alvora import evaluate as single_process  # noqa: E402
from alvora.engine_v2.eval_core import execute_factor  # noqa: E402
from alvora.fix import FIX  # noqa: E402
from alvora.leaf import Factor, close, high, low, open as open_, volume  # noqa: E402
from alvora.rolling import CORRELATION, MA, STD, TS_RANK  # noqa: E402
from _tessal_helpers import pointed_at, small_bundle  # noqa: E402

START, END = "2020-03-02", "2020-12-31"


def library(fixed_id):
    return {
        "reversal": -(close / MA(close, 5) - 1),
        "corr": CORRELATION(close, volume, 10),
        "range_rank": CS_RANK((close - open_) / (high - low)),
        "rank_vol": TS_RANK(STD(close, 5), 10),
        "vs_first": close / FIX(close, fixed_id),
        "stored": Factor("pe_ratio"),
        "bare": volume,
    }


def steps():
    return [("winsorize", Winzorization("mad")), ("normalize", Normalization()),
            ("ic", ICAnalysis(max_decay=3)), ("quantile", QuantileReturnAnalysis(quantile=3)),
            ("factor_return", FactorReturnAnalysis())]


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = small_bundle(tmp_path_factory, n_instruments=2 * MIN_CHUNK + 20)
    with pointed_at(path):
        ids = list(tessal.all_instruments("CS").order_book_id)
        yield path, ids


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


def _summaries(results):
    return {step: result.summary() for step, result in results.items()}


def test_library_and_its_study_equal_a_single_process_run(client, market):
    path, ids = market
    factors = library(ids[3])
    got = execute_factors(factors, ids, START, END, client=client, bundle=path)
    single = single_process.execute_factors(factors, ids, START, END)
    assert list(got) == list(single)
    for name, want in single.items():
        pd.testing.assert_frame_equal(got[name], want, check_exact=True, obj=name)
        assert got[name].index.names == want.index.names
        assert got[name].columns.names == want.columns.names

    as_list = execute_factors([factors["corr"], factors["range_rank"]], ids[:50], START, END,
                              client=client, bundle=path)
    pd.testing.assert_frame_equal(as_list[1], execute_factor(factors["range_rank"], ids[:50],
                                                             START, END))

    chosen = {k: factors[k] for k in ("reversal", "range_rank")}
    studied = study_factors(chosen, ids, START, END, steps(), periods=(1, 5), client=client,
                            bundle=path)
    want = single_process.study_factors({k: single[k] for k in chosen}, steps=steps(),
                                        periods=(1, 5))
    for name, steps_done in want.items():
        assert list(studied[name]) == list(steps_done)
        for step, table in _summaries(steps_done).items():
            pd.testing.assert_frame_equal(studied[name][step].summary(), table, obj=step)


def test_failing_factor_reports_its_error_and_the_others_complete(client, market, tmp_path):
    path, ids = market
    factors = {"good": MA(close, 5), "typo": MA(Factor("clsoe"), 5), "also_good": volume}
    seen = []
    with pytest.raises(FactorFailures) as caught:
        execute_factors(factors, ids, START, END, client=client, bundle=path,
                        out=tmp_path / "out",
                        progress=lambda done, total, name, outcome: seen.append((done, total)))
    assert set(caught.value.errors) == {"typo"} and "clsoe" in str(caught.value)
    assert set(caught.value.results) == {"good", "also_good"}
    assert sorted(seen) == [(1, 3), (2, 3), (3, 3)]
    assert sorted(os.listdir(tmp_path / "out")) == ["also_good", "good", "typo.error.txt"]
    frame = pd.read_csv(tmp_path / "out" / "good" / "factor.csv", index_col=0, parse_dates=True)
    np.testing.assert_allclose(frame.to_numpy(), execute_factor(factors["good"], ids, START,
                                                                END).to_numpy(), rtol=1e-12)

    returned = execute_factors(factors, ids[:20], START, END, client=client, bundle=path,
                               errors="return")
    assert isinstance(returned["typo"], FactorError) and returned["typo"].kind == "ValueError"


def test_killed_worker_still_completes_and_leaves_no_partial_result(client, market, tmp_path):
    path, ids = market
    factors = {"f{}".format(w): MA(close, w) / STD(close, w + 2) for w in range(2, 14)}
    out = tmp_path / "study"
    pids = client.run(os.getpid)
    killed = []

    def kill_one(done, total, name, outcome):
        if not killed:
            victim = sorted(pids.values())[0]
            os.kill(victim, signal.SIGKILL)
            killed.append(victim)

    paths = study_factors(factors, ids, START, END, steps()[2:3], client=client, bundle=path,
                          out=out, progress=kill_one)
    assert killed and set(paths) == set(factors)
    assert sorted(os.listdir(out)) == sorted(factors)  # no temporary or error entries
    for name in factors:
        assert os.path.isfile(out / name / "ic_summary.csv")
    client.wait_for_workers(2, timeout=60)

    before = {n: os.stat(out / n / "factor.txt").st_mtime_ns for n in factors}
    again = []
    study_factors(factors, ids, START, END, steps()[2:3], client=client, bundle=path, out=out,
                  resume=True, progress=lambda *a: again.append(a[3]))
    assert again == ["skipped"] * len(factors)
    assert before == {n: os.stat(out / n / "factor.txt").st_mtime_ns for n in factors}


def test_bundle_missing_on_a_worker_names_the_worker_and_path(client, market, tmp_path):
    missing = str(tmp_path / "no-bundle-here")
    with pytest.raises(BundleUnavailableError) as caught:
        execute_factors({"x": close}, market[1][:5], START, END, client=client, bundle=missing)
    assert missing in str(caught.value) and caught.value.path == missing

    # a third worker, started as on another machine, whose default bundle is missing
    before = set(client.scheduler_info()["workers"])
    odd = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker",
                            client.scheduler.address, "--nthreads", "1", "--no-dashboard"],
                           env=dict(os.environ, TESSAL_BUNDLE=missing),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client.wait_for_workers(3, timeout=120)
        (address,) = set(client.scheduler_info()["workers"]) - before
        with pointed_at(None), pytest.raises(BundleUnavailableError) as caught:
            execute_factors({"x": close}, market[1][:5], START, END, client=client)
        assert address in str(caught.value) and missing in str(caught.value)
        assert caught.value.worker == address
        assert not any(w in str(caught.value) for w in before)
    finally:
        client.retire_workers([w for w in client.scheduler_info()["workers"] if w not in before])
        odd.terminate()
        odd.wait(60)


def test_plan_groups_whole_factors_and_queues_slices_of_the_others_behind():
    ids = ["{:06d}.XSHE".format(i) for i in range(4 * MIN_CHUNK)]
    many = {"f{}".format(i): CS_RANK(MA(close, 3 + i)) for i in range(20)}
    tasks = plan_tasks(many, ids, n_workers=2)
    assert len(tasks) == 4  # nothing to slice: two groups per worker
    assert sorted(n for t in tasks for n in t.names) == sorted(many)
    assert all(t.ids == ids and t.n_chunks == 1 for t in tasks)

    few = {"sliced": MA(close, 3), "ranked": CS_RANK(close), "fixed": FIX(close, ids[0])}
    tasks = plan_tasks(few, ids, n_workers=2)
    sliced = [t for t in tasks if "sliced" in t.names]
    assert len(sliced) == 4 and [i for t in sliced for i in t.ids] == ids
    assert tasks[-4:] == sliced  # behind the groups, for whichever worker frees up first
    assert [t.ids for t in tasks if "ranked" in t.names or "fixed" in t.names] == [ids, ids]
    assert all(t.n_chunks == 1 for t in plan_tasks(few, ids, n_workers=2, universe="000300.XSHG"))
    group, *slices = plan_tasks(few, ids, n_workers=1)  # one worker: one group, then slices
    assert group.names == ["ranked", "fixed"] and len(slices) == 4
    # slices a study would move between workers: only when there are too few factors
    assert all(t.n_chunks == 1 for t in plan_tasks(dict(many, **few), ids, 2, slices_travel=True))
    assert len(plan_tasks(few, ids, n_workers=2, slices_travel=True)) == 6


def test_tasks_whose_results_would_pass_the_memory_bound_are_cut_into_runs_of_factors():
    ids = ["{:06d}.XSHE".format(i) for i in range(4 * MIN_CHUNK)]
    factors = {"r{}".format(i): CS_RANK(MA(close, 3 + i)) for i in range(7)}
    factors.update({"m{}".format(i): MA(close, 3 + i) for i in range(5)})
    rows, per_factor = 100, 8 * 100 * len(ids)
    unbounded = plan_tasks(factors, ids, n_workers=2, result_rows=rows)
    tasks = plan_tasks(factors, ids, n_workers=2, result_rows=rows,
                       max_result_bytes=2.5 * per_factor)
    assert all(len(t.names) * len(t.ids) * 8 * rows <= 2.5 * per_factor for t in tasks)
    # every factor still in exactly one task per slice, slices in instrument order
    for name in factors:
        mine = [t for t in tasks if name in t.names]
        want = [t for t in unbounded if name in t.names]
        assert [(t.chunk, t.n_chunks, t.ids) for t in mine] == \
            [(t.chunk, t.n_chunks, t.ids) for t in want]
    assert [n for t in tasks for n in t.names if t.n_chunks == 1] == \
        [n for t in unbounded for n in t.names if t.n_chunks == 1]
    lone = plan_tasks(factors, ids, n_workers=1, result_rows=rows, max_result_bytes=1)
    assert all(len(t.names) == 1 for t in lone)  # one factor a task at the least


def test_groups_balance_estimated_cost_and_keep_shared_subtrees_together():
    shared = CS_RANK(CORRELATION(close, volume, 10))
    factors = {"a": shared + 1, "light1": MA(close, 5), "b": shared * 2,
               "light2": STD(high, 5), "heavy": CS_RANK(CS_RANK(low) - CS_RANK(open_)),
               "light3": TS_RANK(close, 5)}
    groups = balanced_groups(factors, 2)
    assert sorted(n for g in groups for n in g) == sorted(factors)
    assert any({"a", "b"} <= set(g) for g in groups)
    costs = [estimated_cost(factors, g) for g in groups]
    assert costs[0] >= costs[1] and costs[0] < 1.2 * costs[1]


def test_groups_gather_a_shared_costly_subtree_as_far_as_the_queued_work_evens_them_out():
    shared = CS_RANK(CS_RANK(CORRELATION(close, volume, 10)) - CS_RANK(STD(high, 7)))
    factors = {"s{}".format(i): shared * (i + 1) for i in range(4)}
    factors.update({"o{}".format(i): CS_RANK(MA(low, 3 + i)) - CS_RANK(open_ / (3 + i))
                    for i in range(8)})

    def spread(groups):
        return sum(any(n.startswith("s") for n in g) for g in groups)

    tight = balanced_groups(factors, 2)  # no queued work: balance first
    assert spread(tight) == 2
    spare = estimated_cost(factors, list(factors)) / 2
    groups = balanced_groups(factors, 2, spare=spare)
    assert sorted(n for g in groups for n in g) == sorted(factors)
    assert spread(groups) == 1  # the shared sub-tree computed once
    costs = [estimated_cost(factors, g) for g in groups]
    assert costs[0] >= costs[1] and costs[0] <= (sum(costs) + spare) / 2 + 1e-9
    assert sum(costs) < sum(estimated_cost(factors, g) for g in tight)
    assert all(g == sorted(g, key=list(factors).index) for g in groups)


@pytest.mark.parametrize("n_ids, n_chunks, tapered", [
    (5000, 8, True), (2 * MIN_CHUNK * 8, 8, True), (2 * MIN_CHUNK * 8 - 1, 8, False), (3, 8, False),
])
def test_slices_cover_the_instruments_in_order_and_shorten_towards_the_end(n_ids, n_chunks,
                                                                            tapered):
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    chunks = tapered_chunks(ids, n_chunks)
    lengths = [len(c) for c in chunks]
    assert [i for c in chunks for i in c] == ids and min(lengths) >= 1
    assert len(chunks) == min(n_chunks, n_ids)
    if tapered:
        assert lengths == sorted(lengths, reverse=True) and lengths[-1] * 2 < lengths[0]
        assert lengths[-1] >= MIN_CHUNK
    else:
        assert max(lengths) - min(lengths) <= 1


@pytest.mark.parametrize("make", [
    lambda: library("000001.XSHE"),
    lambda: FactorError("x", "ValueError", "bad", "trace", "tcp://w:1"),
], ids=["trees", "error"])
def test_trees_and_errors_pickle(make):
    value = make()
    assert pickle.loads(pickle.dumps(value)) == value


def test_steps_and_analysis_results_pickle(market):
    path, ids = market

    def study(pipeline):
        bench = FactorStudyBench()
        for step in pipeline:
            bench.append(step)
        return bench.analysis(frame, "daily", periods=(1, 5))

    with pointed_at(path):
        frame = execute_factor(-(close / MA(close, 5) - 1), ids, START, END)
        results = study(steps())
        travelled = study(pickle.loads(pickle.dumps(steps())))
    for name, result in results.items():
        back = pickle.loads(pickle.dumps(result))
        pd.testing.assert_frame_equal(back.summary(), result.summary(), obj=name)
        pd.testing.assert_frame_equal(travelled[name].summary(), result.summary(), obj=name)


def test_results_folder_writes_atomically_and_resumes_only_the_same_factor(tmp_path):
    folder = ResultsFolder(tmp_path, ["a", "b"])

    def broken(tmp):
        open(os.path.join(tmp, "half.csv"), "w").close()
        raise OSError("disk full")

    with pytest.raises(OSError):
        folder.write("a", "factor: x", broken)
    assert os.listdir(tmp_path) == [] and not folder.is_complete("a", "factor: x")
    folder.write("a", "factor: x", lambda tmp: None)
    assert folder.is_complete("a", "factor: x") and not folder.is_complete("a", "factor: y")
    stale = tmp_path / ".b.tmp-999999999-{}".format("0" * 32)
    stale.mkdir()
    ResultsFolder(tmp_path, ["a", "b"])
    assert sorted(os.listdir(tmp_path)) == ["a"]
    with pytest.raises(ValueError, match="share"):
        ResultsFolder(tmp_path, ["x y", "x_y"])


def test_command_line_studies_a_library_on_the_cluster_and_resumes(client, market, tmp_path):
    path, _ = market
    library_file = tmp_path / "library.txt"
    library_file.write_text("reversal = -(close / MA(close, 5) - 1)\n"
                            "broken = MA(Factor(\"clsoe\"), 5)\n"
                            "ranked = CS_RANK(close / MA(close, 10))\n")
    argv = ["study", "--factors", str(library_file), "--scheduler", client.scheduler.address,
            "--bundle", path, "--instruments", "40", "--days", "60", "--periods", "1,5",
            "--no-neutralize", "--out", str(tmp_path / "out")]
    first, second = io.StringIO(), io.StringIO()
    assert cli.main(argv, stdout=first, stderr=io.StringIO()) == 1
    assert "[3/3]" in first.getvalue() and "broken: FAILED" in first.getvalue()
    assert sorted(os.listdir(tmp_path / "out")) == ["broken.error.txt", "ranked", "reversal"]
    for table in ("quantile_summary.csv", "index.html"):
        assert os.path.isfile(tmp_path / "out" / "ranked" / table)

    library_file.write_text(library_file.read_text().replace('Factor("clsoe")', "close"))
    assert cli.main(argv + ["--resume"], stdout=second, stderr=io.StringIO()) == 0
    lines = second.getvalue().splitlines()
    assert {"[1/3] reversal: skipped", "[2/3] ranked: skipped", "[3/3] broken: done"} <= set(lines)
    assert sorted(os.listdir(tmp_path / "out")) == ["broken", "ranked", "reversal"]


def test_spooled_frames_come_back_identical_and_leave_no_files(tmp_path):
    dates = pd.DatetimeIndex(pd.date_range("2021-01-01", periods=30), name="date")
    grid = np.asfortranarray(np.arange(30 * 7, dtype=float).reshape(30, 7))
    grid[[2, 5], [1, 6]] = np.nan
    ids = pd.Index(["{:06d}.XSHE".format(i) for i in range(7)], name="order_book_id")
    whole = pd.DataFrame(grid, index=dates, columns=ids)
    frames = {"later_rows": whole.iloc[4:], "c_order": pd.DataFrame(grid.copy(order="C")),
              "ints": pd.DataFrame(np.arange(6).reshape(2, 3)),
              "mixed": pd.DataFrame({"a": [1.0], "b": ["x"]}), "error": FactorError("e", "E", "m")}
    with FrameSpool(tmp_path) as spool:
        sent = spool_frames(frames, spool.address)
        assert sorted(k for k, v in sent.items() if isinstance(v, SpooledFrame)) == [
            "c_order", "ints", "later_rows"]
        for name, frame in frames.items():
            back = received(sent[name], unlink=True)
            if isinstance(frame, pd.DataFrame):
                pd.testing.assert_frame_equal(back, frame, check_exact=True)
                assert back.index.names == frame.index.names
                back.iloc[0, 0] = -1  # writable, as a computed frame is
        assert os.listdir(spool.path) == ["token"]
        elsewhere = (spool.path, "another run's token")
        assert spool_frames(frames, elsewhere) is frames
    assert os.listdir(tmp_path) == []


def _faults_of_a_second_block():
    """Page faults of writing a 64 MB block from the C allocator after one
    like it was freed."""
    import ctypes
    import resource
    libc = ctypes.CDLL("libc.so.6")
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    faults = []
    for _ in range(2):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        block = libc.malloc(64 << 20)
        ctypes.memset(block, 1, 64 << 20)
        libc.free(block)
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
    return faults


def test_workers_of_a_started_cluster_reuse_freed_memory_without_faults():
    from alvora.distributed import cluster_session
    with cluster_session(workers=1) as session:
        ((first, second),) = session.run(_faults_of_a_second_block).values()
    assert first > 10000 and second < 1000  # 16384 pages when the block is mapped afresh


@pytest.mark.parametrize("limit, rss, trimmed", [
    (None, 10 << 30, False), (8 << 30, 3 << 30, False), (8 << 30, 5 << 30, True)])
def test_worker_hands_back_free_heap_only_above_its_share_of_the_limit(limit, rss, trimmed):
    from alvora.distributed.worker_memory import release_unused_memory
    calls = []
    assert release_unused_memory(limit, rss=rss, trim=calls.append) is trimmed
    assert calls == ([0] if trimmed else [])



def test_grids_handed_over_through_their_files_equal_a_single_process_run(tmp_path_factory):
    from alvora.distributed import identify, transfer
    from alvora.distributed.tasks import evaluate_task
    path = small_bundle(tmp_path_factory, n_instruments=700)  # grids the worker would keep
    with pointed_at(path):
        ids = list(tessal.all_instruments("CS").order_book_id)
        factors = library(ids[3])
        single = single_process.execute_factors(factors, ids, "2020-01-02", END)
        expected = identify(path)

        def on_worker(nodes):
            return evaluate_task(list(nodes), list(nodes.values()), ids, "2020-01-02", END,
                                 None, path, expected, spool.address)

        with FrameSpool() as spool:
            if transfer._file_system(spool.path) not in transfer._MEMORY_FILE_SYSTEMS:
                pytest.skip("no shared memory folder")
            sent = on_worker(factors)
            named = {n for n, v in sent.items() if isinstance(v, SpooledFrame) and v.grid}
            assert {"reversal", "corr", "range_rank", "rank_vol"} <= named
            got = {name: received(value, unlink=True) for name, value in sent.items()}
            # the next task's grids must not land in the memory handed over
            again = on_worker({"other_" + n: -f for n, f in factors.items() if n in named})
            for name, want in single.items():
                pd.testing.assert_frame_equal(got[name], want, check_exact=True, obj=name)
                assert got[name].columns.names == want.columns.names
            for name, value in again.items():
                pd.testing.assert_frame_equal(received(value, unlink=True), -single[name[6:]],
                                              check_exact=True, obj=name)
            got["reversal"].iloc[0, 0] = -1.0  # writable, as a computed frame is
            assert os.listdir(spool.path) == ["token"]


def test_freed_frames_files_serve_the_next_run_and_held_frames_stay_intact(tmp_path_factory,
                                                                           monkeypatch):
    from alvora.distributed import identify, transfer
    from alvora.distributed.tasks import evaluate_task
    # grids larger than any an earlier test left in this process's kept memory
    path = small_bundle(tmp_path_factory, n_instruments=900)
    with pointed_at(path):
        ids = list(tessal.all_instruments("CS").order_book_id)
        factors = {n: f for n, f in library(ids[3]).items()
                   if n in ("reversal", "corr", "rank_vol")}
        single = single_process.execute_factors(factors, ids, "2020-01-02", END)
        expected = identify(path)

        def run(spool, sign=1):  # values of the other sign would show in a frame still held
            sent = evaluate_task(list(factors), [sign * f for f in factors.values()], ids,
                                 "2020-01-02", END, None, path, expected, spool.address)
            return {n: received(v, unlink=True, recycle=spool.recycle) for n, v in sent.items()}

        def inodes(folder, prefix):
            return {os.stat(os.path.join(folder, f)).st_ino for f in os.listdir(folder)
                    if f.startswith(prefix)}

        with FrameSpool() as spool:
            if spool.recycle is None:
                pytest.skip("no shared memory folder")
            first = run(spool)
            held, view = first.pop("reversal"), first.pop("corr").to_numpy()[5:]
            del first  # rank_vol's file is free now; corr's stays lent to the view
            free = inodes(spool.recycle, "free-")
            assert len(free) == 1
            second = run(spool, -1)
            assert free <= inodes(spool.recycle, "lent-")  # taken for a grid of this run
            for name, want in single.items():
                pd.testing.assert_frame_equal(second[name], -want, check_exact=True, obj=name)
            pd.testing.assert_frame_equal(held, single["reversal"], check_exact=True)
            np.testing.assert_array_equal(view, single["corr"].to_numpy()[5:])
            del held, view, second
            assert len(inodes(spool.recycle, "free-")) == 5
            monkeypatch.setattr(transfer, "RECYCLE_BYTES", 1)
            run(spool)  # takes free files; its frames, freed with no room, remove them
            assert len(inodes(spool.recycle, "free-")) < 5
            assert not inodes(spool.recycle, "lent-")


def test_groups_on_one_machine_share_their_fields_and_equal_a_single_process_run(client, market):
    path, ids = market
    factors = {"spread": CS_RANK(close - open_), "range": CS_RANK(high - low),
               "turn": CS_RANK(volume * close), "vs_open": CS_RANK(close / open_)}
    single = single_process.execute_factors(factors, ids, START, END)
    got = execute_factors(factors, ids, START, END, client=client, bundle=path, group_size=1)
    for name, want in single.items():
        pd.testing.assert_frame_equal(got[name], want, check_exact=True, obj=name)
        assert got[name].columns.names == want.columns.names


@pytest.mark.parametrize("claimer", [None, "gone", "publishes later", "no room"])
def test_a_field_is_read_once_and_one_another_process_claimed_is_mapped_or_left(
        market, tmp_path, monkeypatch, claimer):
    import threading
    from alvora.distributed import shared_fields
    from alvora.distributed.shared_fields import SharedFields, _field_name
    from alvora.leaf import _Factor
    _, ids = market
    dates = tessal.get_trading_dates(START, END)
    leaves = [_Factor("close"), _Factor("volume")]
    name = _field_name(leaves[1], ids, dates)
    if claimer == "gone":
        finished = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                                  capture_output=True, text=True, check=True)
        (tmp_path / (name + ".claim")).write_text(finished.stdout.strip())
    elif claimer == "publishes later":
        (tmp_path / (name + ".claim")).write_text(str(os.getpid()))
        other = SharedFields(str(tmp_path))
        timer = threading.Timer(0.2, other._read, (leaves[1], ids, START, END,
                                                   (len(dates), len(ids)), name))
        timer.start()
    elif claimer == "no room":
        monkeypatch.setattr(shared_fields, "MAX_MEMORY_SHARE", 0.0)
    began = time.monotonic()
    served = SharedFields(str(tmp_path), wait_seconds=60)(leaves, ids, START, END, dates)
    if claimer == "gone":  # left to the context, which reads it itself, without waiting
        assert list(served) == leaves[:1] and time.monotonic() - began < 30
    elif claimer == "no room":
        assert served == {} and os.listdir(tmp_path) == []
    else:
        assert list(served) == leaves
        files = sorted(os.listdir(tmp_path))
        assert len(files) == 2 and all(f.endswith(".field") for f in files)
        again = SharedFields(str(tmp_path))(leaves, ids, START, END, dates)  # mapped, not read
        assert sorted(os.listdir(tmp_path)) == files and list(again) == leaves
    for leaf, values in served.items():
        assert not values.flags.writeable and values.flags.f_contiguous
        np.testing.assert_array_equal(values, tessal.get_panel_values(leaf.name, ids, START,
                                                                      END))
