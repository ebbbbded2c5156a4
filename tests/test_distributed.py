"""Field evaluation and the solver's operator on a real local Dask cluster of
two single-threaded worker processes (shared by the module: it takes seconds
to start)."""
import logging
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
cloudpickle = pytest.importorskip("cloudpickle")

import operator_reference  # noqa: E402
import zandrel  # noqa: E402
import zandrel.distributed as zd  # noqa: E402
from operator_reference import DirectOperator  # noqa: E402

# The workers do not see the tests directory: ship the stand-in operator by value.
cloudpickle.register_pickle_by_value(operator_reference)

MESH = zandrel.box_mesh((0.02, 0.01, 0.01), 3)
KINDS = {"mag_tet4": lambda m: (*MESH, m), "current_tet4": lambda j: (*MESH, j),
         "mag_point": lambda m: (MESH.centroids, MESH.volumes, m),
         "current_point": lambda j: (MESH.centroids, MESH.volumes, j)}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as connected:
        yield connected


@pytest.fixture
def vectors(rng):
    return rng.normal(size=(MESH.n_elements, 3)) * 1e5


def points(rng, count):
    """Targets around and inside the box, some on its nodes."""
    return np.concatenate([rng.uniform(-0.02, 0.03, size=(count - 20, 3)), MESH.nodes[:20]])


def scheduler_transitions(client):
    return client.run_on_scheduler(lambda dask_scheduler: dask_scheduler.transition_counter)


def wait_until_idle(client):
    for _ in range(200):
        if client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) == 0:
            return True
        time.sleep(0.05)
    return False


def test_importing_zandrel_does_not_import_dask():
    code = "import sys, zandrel; print(sorted({m.split('.')[0] for m in sys.modules} & {'dask', 'distributed'}))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "[]"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("field", ["h", "b"])
@pytest.mark.parametrize("octree, chunk_size", [(False, 97), (True, 1000)])
def test_numpy_targets_give_the_bits_of_the_local_call(client, rng, vectors, kind, field, octree, chunk_size):
    targets = points(rng, 1500)
    name = f"{field}_{kind}"
    options = dict(use_octree=octree, theta=0.6, leaf_threshold=4)
    local = getattr(zandrel, name)(*KINDS[kind](vectors), targets, **options)
    remote = getattr(zd, name)(*KINDS[kind](vectors), targets, client=client, chunk_size=chunk_size, **options)
    assert type(remote) is np.ndarray and np.array_equal(remote, local)


def test_embedded_cluster_and_address(client, rng, vectors):
    targets = points(rng, 300).reshape(10, 30, 3)
    local = zandrel.h_mag_tet4(*MESH, vectors, targets)
    assert np.array_equal(zd.h_mag_tet4(*MESH, vectors, targets, chunk_size=64), local)
    assert np.array_equal(zd.h_mag_tet4(*MESH, vectors, targets, client=client.scheduler.address), local)
    assert np.array_equal(zd.h_mag_tet4(*MESH, vectors, targets[3, 4], client=client), local[3, 4])


def test_lazy_targets_larger_than_one_chunk_stay_lazy(client, vectors):
    # Targets generated on the workers, chunk by chunk: never whole on the client.
    targets = da.random.default_rng(7).uniform(-0.02, 0.03, size=(60_000, 3), chunks=(4_000, 3))
    field = zd.h_current_point(MESH.centroids, MESH.volumes, vectors, targets, use_octree=True, client=client)
    assert isinstance(field, da.Array) and field.chunks == targets.chunks
    window = slice(21_000, 26_000)  # across a chunk boundary
    part = zandrel.h_current_point(MESH.centroids, MESH.volumes, vectors, targets[window].compute(), use_octree=True)
    assert np.array_equal(field[window].compute(), part)
    assert float(da.isfinite(field).all().compute())


@pytest.mark.parametrize("shape, chunks", [((12, 50, 3), (5, 17, 2)), ((400, 3), 37)])
def test_lazy_targets_of_any_chunking(client, rng, vectors, shape, chunks):
    targets = points(rng, int(np.prod(shape[:-1]))).reshape(shape)
    field = zd.h_mag_point(MESH.centroids, MESH.volumes, vectors, da.from_array(targets, chunks=chunks), client=client)
    assert np.array_equal(field.compute(), zandrel.h_mag_point(MESH.centroids, MESH.volumes, vectors, targets))


@pytest.mark.parametrize("change, error", [
    (dict(vectors=np.ones((5, 3))), ValueError), (dict(targets=np.ones((3, 7))), ValueError),
    (dict(targets=np.array([[0.0, np.nan, 0.0]])), ValueError), (dict(theta=-1.0), ValueError),
    (dict(leaf_threshold=0), ValueError), (dict(use_octree="yes"), TypeError),
    (dict(targets=np.array([["a", "b", "c"]])), TypeError)])
def test_bad_input_fails_on_the_client_with_the_local_message(client, rng, vectors, change, error):
    arguments = dict(vectors=vectors, targets=points(rng, 50), use_octree=False, theta=0.5, leaf_threshold=8)
    arguments.update(change)
    call = lambda f, **extra: f(*KINDS["mag_tet4"](arguments["vectors"]), arguments["targets"],  # noqa: E731
                                use_octree=arguments["use_octree"], theta=arguments["theta"],
                                leaf_threshold=arguments["leaf_threshold"], **extra)
    with pytest.raises(error) as local:
        call(zandrel.h_mag_tet4)
    assert wait_until_idle(client)
    before = scheduler_transitions(client)
    with pytest.raises(error, match=re.escape(str(local.value))):
        call(zd.h_mag_tet4, client=client)
    assert scheduler_transitions(client) == before  # nothing was shipped


@pytest.mark.parametrize("targets, options, error, message", [
    (np.zeros((4, 3)), dict(client=3), TypeError, "client must be"),
    (np.zeros((4, 3)), dict(chunk_size=0), ValueError, "chunk_size"),
    (da.zeros((3, 40)), {}, ValueError, "transposed"),
    (da.zeros((4, 3), dtype=complex), {}, TypeError, "real numbers"),
    (da.zeros((4, 3)), dict(client=3), TypeError, "client must be")])
def test_bad_options_and_lazy_targets(client, targets, options, error, message):
    options.setdefault("client", client)
    with pytest.raises(error, match=message):
        zd.h_mag_point(MESH.centroids, MESH.volumes, (0.0, 0.0, 1.0), targets, **options)


class _OnFirstChunk(logging.Handler):
    def __init__(self, action):
        super().__init__(logging.DEBUG)
        self.action, self.fired = action, False

    def emit(self, record):
        if not self.fired and "chunk" in record.getMessage() and "done" in record.getMessage():
            self.fired = True
            self.action()


@pytest.fixture
def on_first_chunk():
    logger = logging.getLogger("zandrel.distributed")
    handlers, level = [], logger.level

    def install(action):
        handler = _OnFirstChunk(action)
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG)
        handlers.append(handler)
        return handler

    yield install
    for handler in handlers:
        logger.removeHandler(handler)
    logger.setLevel(level)


def test_interrupt_cancels_the_remaining_chunks(client, rng, vectors, on_first_chunk):
    def interrupt():
        raise KeyboardInterrupt

    on_first_chunk(interrupt)
    with pytest.raises(KeyboardInterrupt):
        zd.h_mag_tet4(*MESH, vectors, points(rng, 40_000), edge=True, client=client, chunk_size=1000)
    assert wait_until_idle(client)


def test_a_killed_worker_loses_and_duplicates_nothing(client, rng, vectors, on_first_chunk):
    targets = points(rng, 30_000)
    local = zandrel.h_mag_tet4(*MESH, vectors, targets, edge=True)
    victim = next(iter(client.run(os.getpid).values()))
    handler = on_first_chunk(lambda: os.kill(victim, signal.SIGKILL))
    remote = zd.h_mag_tet4(*MESH, vectors, targets, edge=True, client=client, chunk_size=1000)
    assert handler.fired and victim not in client.run(os.getpid).values()
    assert np.array_equal(remote, local)
    client.wait_for_workers(2, timeout=60)  # the nanny restarts it for the next tests


def solve_case(operator):
    mesh = zandrel.sphere_mesh(0.01, 3)
    return zandrel.solve(mesh, zandrel.LinearMaterial(chi=50.0), applied=(0.0, 1e3, 2e3),
                         operator=operator(mesh), tol=1e-8)


def test_distributed_solve_matches_the_local_one(client, rng):
    local = solve_case(DirectOperator)
    remote = solve_case(lambda mesh: zd.DistributedOperator(mesh, client=client, operator_class=DirectOperator,
                                                            partitions=3))
    assert remote.converged and remote.operator.partitions[0].size > 0
    assert sorted(np.concatenate(remote.operator.partitions).tolist()) == list(range(remote.mesh.n_elements))
    np.testing.assert_allclose(remote.M, local.M, rtol=0, atol=1e-7 * np.abs(local.M).max())
    targets = rng.uniform(-0.02, 0.02, size=(500, 3))
    # A solution of the distributed operator evaluates on its cluster, like the local one does when asked.
    np.testing.assert_allclose(remote.field(targets), local.field(targets), rtol=1e-6, atol=1e-6)
    assert np.array_equal(local.field(targets, client=client, chunk_size=100), local.field(targets))
    lazy = local.field(da.from_array(targets, chunks=77), client=client)
    assert isinstance(lazy, da.Array) and np.array_equal(lazy.compute(), local.field(targets))
    exact = DirectOperator(remote.mesh)
    assert np.array_equal(remote.operator.field(remote.M, targets), exact.field(remote.M, targets))
    assert np.array_equal(remote.operator.self_tensors(), exact.self_tensors())
    remote.operator.close()


@pytest.mark.skipif(not hasattr(zandrel, "FieldOperator"), reason="zandrel.FieldOperator not in this build")
def test_distributed_field_operator(client, rng):
    local = solve_case(zandrel.FieldOperator)
    remote = solve_case(lambda mesh: zd.DistributedOperator(mesh, client=client))
    assert remote.converged
    # Each worker plans only its partition's rows, so its conversions and
    # direct ranges differ from the whole mesh's: the two agree to the
    # operator's accuracy, not to rounding.
    np.testing.assert_allclose(remote.M, local.M, rtol=0, atol=1e-3 * np.abs(local.M).max())
    # The operator travels as its recipe and is rebuilt on the workers: the same bits.
    targets = rng.uniform(-0.02, 0.02, size=(500, 3))
    assert np.array_equal(local.field(targets, client=client), local.field(targets))
    remote.operator.close()
