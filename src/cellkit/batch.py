"""Many cells: one after another in this process, in a pool of local processes, or as
tasks on a Dask cluster. Each cell runs as ``cellfit run`` runs it, and one cell's
failure never stops the others.

A worker imports numpy, scipy, pandas and the pipeline once, then runs cell after cell in
fresh namespaces: for small cells the imports cost more than the fits.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
from collections.abc import Iterator
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path

from cellkit.run import CellResult, run_cell

DASK_ADVICE = (
    "running on a Dask cluster needs dask.distributed: "
    "pip install 'cellfit[dask]' (or pip install 'dask[distributed]')"
)


# The maths libraries' thread pools, read once when each library loads. Workers run a
# cell each in parallel, so a pool per worker would only oversubscribe the cores (as
# Dask's own workers, we give each one thread).
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


@contextlib.contextmanager
def single_threaded_workers():
    """The environment that worker processes started inside the block inherit: one
    thread for each maths library, set before the worker imports numpy. This process's
    own environment is put back afterwards."""
    saved = {name: os.environ.get(name) for name in THREAD_VARIABLES}
    os.environ.update(dict.fromkeys(THREAD_VARIABLES, "1"))
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def _one_thread_here():
    """A limit to one thread in this process's already loaded maths libraries (a worker
    of a running Dask cluster), where threadpoolctl is installed; else nothing."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(1)


def require_dask() -> None:
    """RuntimeError with the install advice where dask.distributed is missing."""
    import importlib.util

    if importlib.util.find_spec("distributed") is None:
        raise RuntimeError(DASK_ADVICE)


def warm_up() -> None:
    """Imports what every run needs, once per worker process."""
    import cellgen
    import numpy
    import pandas
    import scipy.integrate
    import scipy.interpolate
    import scipy.optimize

    from cellkit import _pipeline


def run_one(folder: str, overrides: dict | None) -> CellResult:
    """One cell in a worker: the task that pools and clusters run. The first call in a
    worker pays the imports."""
    with _one_thread_here():
        warm_up()
        return run_cell(folder, overrides)


def _crashed(folder: str, exc: BaseException) -> CellResult:
    return CellResult(folder, ok=False, error=f"the worker running it died ({exc!r})")


def run_serial(folders: list[str], overrides: dict | None) -> Iterator[CellResult]:
    """Cells one after another in this process, as they finish."""
    for folder in folders:
        yield run_cell(folder, overrides)


def run_pool(
    folders: list[str], overrides: dict | None, workers: int, task=run_one
) -> Iterator[CellResult]:
    """Cells in `workers` spawned processes, task(folder, overrides) each, yielded as
    they finish.

    At most `workers` cells are in flight, so a worker that dies (a crash in native code)
    takes only those with it; they are run again one at a time, and only the cell that
    kills its worker alone is reported as failed.
    """
    queue = list(reversed(folders))
    suspects: list[str] = []
    with single_threaded_workers():
        while queue or suspects:
            if suspects:  # one at a time, to find the cell that kills its worker
                folder = suspects.pop()
                broken = yield from _pool_pass([folder], overrides, 1, task)
                if broken:
                    yield _crashed(folder, broken[0][1])
                continue
            broken = yield from _pool_pass(queue, overrides, workers, task)
            suspects = [folder for folder, _ in broken]


def _pool_pass(queue: list[str], overrides, workers: int, task):
    """Runs cells from the end of queue until it is empty or the pool breaks; yields
    results and returns the (folder, error) pairs in flight when it broke."""
    ctx = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(workers, mp_context=ctx) as pool:
        flight = {}
        while queue or flight:
            while queue and len(flight) < workers:
                folder = queue.pop()
                flight[pool.submit(task, folder, overrides)] = folder
            done, _ = wait(flight, return_when=FIRST_COMPLETED)
            broken = []
            for future in done:
                folder = flight.pop(future)
                try:
                    yield future.result()
                except BrokenProcessPool as exc:
                    broken.append((folder, exc))
                except Exception as exc:  # the task itself failed to come back
                    yield _crashed(folder, exc)
            if broken:  # the pool is gone: what was in flight is suspect
                return broken + [(f, BrokenProcessPool()) for f in flight.values()]
    return []


def run_dask(
    folders: list[str], overrides: dict | None, scheduler: str, workers: int | None
) -> Iterator[CellResult]:
    """Cells as tasks on a Dask cluster: `scheduler` is "local" (a LocalCluster of
    `workers` single-threaded processes) or a scheduler address such as
    tcp://host:port. The folders must be at the same paths on the workers."""
    require_dask()
    from distributed import Client, LocalCluster, as_completed

    if scheduler == "local":
        # one thread per worker: a run changes its process's current directory
        with single_threaded_workers():
            cluster = LocalCluster(
                n_workers=workers, threads_per_worker=1, dashboard_address=":0"
            )
        client = Client(cluster)
    else:
        cluster, client = None, Client(scheduler)
    try:
        futures = {
            client.submit(run_one, folder, overrides, pure=False): folder
            for folder in folders
        }
        for future in as_completed(futures):
            try:
                yield future.result()
            except Exception as exc:  # e.g. KilledWorker after repeated crashes
                yield _crashed(futures[future], exc)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def run_batch(
    folders: list[str | Path],
    overrides: dict | None = None,
    *,
    workers: int | None = None,
    scheduler: str | None = None,
) -> Iterator[CellResult]:
    """Runs every cell folder; yields each cell's result as it finishes. Without
    scheduler, `workers` local processes (None or 1: one after another, here)."""
    paths = [str(Path(f).absolute()) for f in folders]
    if scheduler:
        return run_dask(paths, overrides, scheduler, workers)
    if workers and workers > 1:
        return run_pool(paths, overrides, workers)
    return run_serial(paths, overrides)
