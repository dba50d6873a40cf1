"""Fields, densities and Kagan matrices on Dask clusters: the same bytes as one call here.

Two clusters: a `LocalCluster` of two worker processes, and one started as users start one
(`dask scheduler` and two `dask worker` processes on loopback), whose workers are given
kernel pools of 1 and 3 threads through RAYON_NUM_THREADS.
"""

import os
import subprocess
import sys
import time

import numpy as np
import pytest

import velkor
from _velkor import kernels
from scale_data import COARSE, counting_slabs, located_faults
from velkor import _cluster, scale

distributed = pytest.importorskip("distributed")
pytestmark = pytest.mark.no_sanitizer  # worker processes would not load the sanitizer runtimes

FAULTS = located_faults(31, 60, [0.0, 0.0], [8.0, 8.0])
OPTIONS = {"min_support": 3.0, **COARSE}


@pytest.fixture(scope="module")
def reference():
    return velkor.stress_field(FAULTS, 0.5, 2.0, progress=False, **OPTIONS)


@pytest.fixture(scope="module")
def local_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


def _pool_threads():
    """What the first parallel kernel call of a worker adds to its threads, and the worker's setting."""
    before = len(os.listdir("/proc/self/task"))
    kernels.density_field(np.zeros((1, 2)), [0.0, 0.0], [1.0, 1.0], [4, 4], [1.0, 1.0])
    return os.environ.get("RAYON_NUM_THREADS"), len(os.listdir("/proc/self/task")) - before


@pytest.fixture(scope="module")
def real_client(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cluster")
    scheduler_file = str(folder / "scheduler.json")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("RAYON_RS_NUM_CPUS", None)
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "cwd": str(folder)}
    processes = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                   "--port", "0", "--no-dashboard", "--scheduler-file", scheduler_file], env=env,
                                  **quiet)]
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(scheduler_file):
            assert time.monotonic() < deadline and processes[0].poll() is None, "the scheduler did not start"
            time.sleep(0.1)
        for threads in ("1", "3"):
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", scheduler_file,
                 "--nthreads", "1", "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"],
                env=dict(env, RAYON_NUM_THREADS=threads), **quiet))
        # Not the default client: velkor must use the client it is given, not look for one.
        with distributed.Client(scheduler_file=scheduler_file, timeout="60s", set_as_default=False) as client:
            client.wait_for_workers(2, timeout=60)
            yield client
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts threads in /proc")
def test_each_worker_sizes_its_kernel_pool_from_its_own_environment(real_client):
    assert sorted(real_client.run(_pool_threads).values()) == [("1", 0), ("3", 2)]


@pytest.mark.parametrize("cluster", ["local_client", "real_client"])
def test_a_field_on_a_cluster_is_the_same_bytes_as_here(request, cluster, reference, tmp_path, monkeypatch):
    client = request.getfixturevalue(cluster)
    for _ in range(2):  # runs one after another on one client share nothing but the client
        assert velkor.stress_field(FAULTS, 0.5, 2.0, progress=False, client=client, **OPTIONS).identical(reference)
    # Begun here, stopped, finished on the cluster: the store does not care where its slabs came from.
    store = tmp_path / "f.zarr"
    counting_slabs(monkeypatch, stop_at=6)
    with pytest.raises(KeyboardInterrupt):
        velkor.stress_field(FAULTS, 0.5, 2.0, progress=False, store=store, **OPTIONS)
    counting_slabs(monkeypatch)
    resumed = velkor.stress_field(FAULTS, 0.5, 2.0, progress=False, client=client, store=store, **OPTIONS)
    assert resumed.identical(reference)
    points = np.random.default_rng(4).normal(0.0, 3.0, (500, 3))
    spread = velkor.density(points, [0.4, 0.5, 1.0], [1.0, 1.5, 2.0], client=client)
    assert spread.identical(velkor.density(points, [0.4, 0.5, 1.0], [1.0, 1.5, 2.0]))


def test_the_command_line_runs_on_a_scheduler_given_by_address(real_client, tmp_path, capsys):
    from velkor import cli

    table = velkor.sample_data("faults_fieldbook.csv")
    arguments = ["field", str(table), "--spacing", "2", "--bandwidth", "6", "--angle-step", "30", "--phi-step", "0.5",
                 "--no-progress"]
    assert cli.main([*arguments, "--out", str(tmp_path / "here.zarr")]) == 0
    address = real_client.scheduler.address
    assert cli.main([*arguments, "--scheduler", address, "--out", str(tmp_path / "there.zarr")]) == 0
    assert velkor.open_field(tmp_path / "there.zarr").identical(velkor.open_field(tmp_path / "here.zarr"))
    assert real_client.status == "running"  # the command closed its own client, not the cluster


def test_ctrl_c_cancels_what_the_cluster_has_not_delivered(local_client, monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(scale._MemorySink, "write_slab", interrupted)
    with pytest.raises(KeyboardInterrupt):
        velkor.stress_field(FAULTS, 0.5, 2.0, progress=False, client=local_client, **OPTIONS)
    deadline = time.monotonic() + 10
    while local_client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        assert time.monotonic() < deadline, "tasks were left on the cluster"
        time.sleep(0.05)


def test_slabs_are_grouped_in_order_into_tasks_of_about_equal_work():
    assert _cluster.plan_groups([], [], 2) == []
    assert _cluster.plan_groups(list(range(5)), [1.0] * 5, 4) == [[0], [1], [2], [3], [4]]
    groups = _cluster.plan_groups(list(range(3, 40)), [10.0 if k < 10 else 1.0 for k in range(3, 40)], 2)
    assert [k for group in groups for k in group] == list(range(3, 40)) and 6 <= len(groups) <= 8
    assert groups[:5] == [[3], [4], [5, 6], [7], [8]] and max(len(g) for g in groups) > 10  # heavy slabs alone
    # A job's predicted time: light slabs share tasks of about a quarter of a second; heavier ones go alone.
    light = _cluster.plan_groups(list(range(100)), [1.0] * 100, 1, seconds=2.0)
    assert [len(g) for g in light] == [12, 13, 12, 13, 12, 13, 12, 13]
    assert _cluster.plan_groups(list(range(100)), [1.0] * 100, 1, seconds=600.0) == [[k] for k in range(100)]
    assert _cluster.plan_groups(list(range(12)), [1.0] * 12, 2) == [[0], [1, 2], [3], [4, 5], [6], [7, 8], [9],
                                                                   [10, 11]]


@pytest.mark.parametrize("chunks", [29, 64, 300, 1000, (100, 150, 50)])
def test_the_kagan_matrix_in_blocks_is_the_matrix_kernels_entries_bit_for_bit(chunks, local_client):
    rng = np.random.default_rng(8)
    mechanisms = velkor.mechanisms_from_sdr(rng.uniform(0, 360, 300), rng.uniform(5, 85, 300),
                                            rng.uniform(-180, 180, 300))
    matrix = kernels.kagan_angle_matrix(mechanisms)
    assert velkor.kagan_matrix(mechanisms).tobytes() == matrix.tobytes()
    # The row-first rule matters: the reversed pairs differ in the last bits.
    upper = np.triu_indices(300, 1)
    assert (kernels.kagan_angles(mechanisms[upper[1]], mechanisms[upper[0]]) != matrix[upper]).any()
    here = velkor.kagan_matrix(mechanisms, chunks=chunks)
    assert here.chunks[0] == here.chunks[1] and here.compute(scheduler="threads").tobytes() == matrix.tobytes()
    there = velkor.kagan_matrix(mechanisms, client=local_client, chunks=chunks).compute()
    assert there.tobytes() == matrix.tobytes()


def test_kagan_matrix_refusals_and_small_catalogues():
    import dask.array as da

    assert velkor.kagan_matrix(np.zeros((0, 4)), chunks=4).compute().shape == (0, 0)
    assert velkor.kagan_matrix([[0.0, 0.0, 90.0, 0.0]], chunks=4).compute().tolist() == [[0.0]]
    assert isinstance(velkor.kagan_matrix([[0.0, 0.0, 90.0, 0.0]], chunks=4), da.Array)
    bad = [[0.0, 0.0, 90.0, 0.0], [30.0, 20.0, 150.0, 50.0]]
    with pytest.raises(ValueError) as eager:
        kernels.kagan_angle_matrix(np.array(bad))
    with pytest.raises(ValueError) as lazy:
        velkor.kagan_matrix(bad, chunks=1)
    assert str(lazy.value) == str(eager.value) and str(eager.value).startswith("mechanism 1: ")
    for chunks, error, message in ((0, ValueError, "chunks must be a block size of at least 1, got 0"),
                                   ((1, 2), ValueError, "chunks [1, 2] must be sizes of at least 1 that add up to "
                                                        "the 2 mechanisms"),
                                   ("2", TypeError, "chunks must be a block size or a sequence of block sizes")):
        with pytest.raises(error) as raised:
            velkor.kagan_matrix(bad[:1] * 2, chunks=chunks)
        assert str(raised.value).startswith(message)
    with pytest.raises(TypeError, match=r"^client must be a dask.distributed.Client, got str$"):
        velkor.kagan_matrix(bad[:1], client="tcp://127.0.0.1:8786")
