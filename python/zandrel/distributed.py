"""Field evaluation and the solver's field operator on a Dask cluster.

Needs the optional extra: ``pip install zandrel[distributed]``.

The field of a set of sources at a target depends on that target alone, so
the targets are cut into chunks and every chunk is evaluated by the same
native call as :mod:`zandrel.fields` on some worker: the results are the
bits of the local call for every chunking and every number of workers. The
sources are checked on the client, with the messages of the local functions,
and shipped to the workers once (scattered to every worker); each task then
carries only its chunk of targets.

- NumPy targets: the chunks are submitted at once, progress goes to the
  ``zandrel.distributed`` logger (a line per tenth at INFO, per chunk at
  DEBUG), the result comes back as one NumPy array. Ctrl-C (or any error)
  cancels the chunks still queued.
- ``dask.array`` targets (possibly larger than memory): the result is a lazy
  ``dask.array`` with the chunks of the targets; nothing runs until it is
  computed, stored or persisted, and Dask's own tools show its progress
  (``distributed.progress``, the dashboard) and cancel it
  (``client.cancel``).

``client``: a :class:`distributed.Client`, or a scheduler address
(``"tcp://host:8786"``) to connect to. Without one, NumPy targets start an
embedded local cluster of single-threaded worker processes (one per
processor) for the call and close it afterwards; ``dask.array`` targets use
the current default client if there is one, and otherwise embed the sources
once in the graph, to be computed by whichever scheduler computes the result.

:class:`DistributedOperator` spreads the rows of the solver's field operator
over the workers of a cluster; ``zandrel.solve(..., operator=...)`` takes it.
"""
import contextlib
import functools
import logging
import math
import os
import time
import uuid

import numpy as np

try:
    import dask
    import dask.array as da
    import distributed
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("zandrel.distributed needs Dask: pip install 'zandrel[distributed]' "
                      f"(dask[array,distributed]); {exc}") from None

from zandrel import fields as _fields
from zandrel._convert import as_count, as_points, as_vectors, as_targets, check_target_shape
from zandrel._docs import docstring
from zandrel.mesh import Mesh
from zandrel.solution import body_field, field_block, field_in_blocks

__all__ = ["h_mag_tet4", "b_mag_tet4", "h_mag_point", "b_mag_point", "h_current_tet4", "b_current_tet4",
           "h_current_point", "b_current_point", "solution_field", "DistributedOperator"]

log = logging.getLogger("zandrel.distributed")

# Chunks of NumPy targets without a chunk_size: about four per worker (room
# for load balancing) but no fewer points than keep the per-task overhead of
# a few milliseconds small, and no more than bound a worker's memory.
_MIN_CHUNK, _MAX_CHUNK, _CHUNKS_PER_WORKER = 16384, 1 << 20, 4
# Largest magnetisation (bytes) that an operator application sends inside its
# tasks rather than scattering it first (a scatter costs extra round trips).
_EMBEDDED_BYTES = 1 << 20


# ---- clusters ----------------------------------------------------------------

def _processors():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


@contextlib.contextmanager
def _connected(client):
    """A client for one call: the given one, one connected to an address
    (closed afterwards), or an embedded local cluster (closed afterwards)."""
    if isinstance(client, distributed.Client):
        yield client
    elif isinstance(client, str):
        with distributed.Client(client) as connected:
            log.info("zandrel.distributed: connected to %s", client)
            yield connected
    elif client is None:
        with distributed.LocalCluster(n_workers=_processors(), threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as cluster, distributed.Client(cluster) as local:
            log.info("zandrel.distributed: local cluster of %d worker processes", len(cluster.workers))
            yield local
    else:
        raise TypeError("client must be a distributed.Client, a scheduler address such as 'tcp://host:8786', or "
                        f"None (a local cluster for the call), got {type(client).__name__}")


def _lazy_client(client):
    """The client that lazy results use: the given one, a new one for an
    address (it stays open with the result), the default one, or None."""
    if client is None:
        try:
            return distributed.default_client()
        except ValueError:
            return None
    if isinstance(client, str):
        return distributed.Client(client)
    if isinstance(client, distributed.Client):
        return client
    raise TypeError("client must be a distributed.Client, a scheduler address such as 'tcp://host:8786', or None, "
                    f"got {type(client).__name__}")


def _shipped(client, payload):
    """``payload`` on every worker once: a future of it, or (no client) the
    object itself, which Dask then embeds in the graph as one key."""
    if client is None:
        return dask.delayed(payload, pure=True)
    [future] = client.scatter([payload], broadcast=True, hash=False)
    return future


def _n_workers(client):
    return max(len(client.scheduler_info()["workers"]), 1)


# ---- chunks ------------------------------------------------------------------

def _check_chunk_size(chunk_size):
    return None if chunk_size is None else as_count(chunk_size, "chunk_size", minimum=1)


def _chunk_starts(count, chunk_size, workers, multiple=1):
    """Starts of the chunks of ``count`` targets, every one but the last a
    multiple of ``multiple`` points long."""
    if chunk_size is None:
        chunk_size = min(max(math.ceil(count / (_CHUNKS_PER_WORKER * workers)), _MIN_CHUNK), _MAX_CHUNK)
    chunk_size = max(multiple, chunk_size // multiple * multiple)
    return range(0, count, chunk_size), chunk_size


def _is_dask_array(value):
    return isinstance(value, da.Array)


def _checked_dask_targets(targets, name="targets"):
    """Kind and shape of lazy targets (finiteness is checked per chunk, when
    the values exist)."""
    if targets.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be an array of real numbers, got dtype {targets.dtype}")
    check_target_shape(targets.shape, name)
    return targets


def _rechunked(targets, chunk_size):
    """Targets with x, y, z in one chunk and, with ``chunk_size``, about that
    many points per chunk."""
    chunks = {targets.ndim - 1: 3}
    if chunk_size is None:
        return targets.rechunk(chunks)
    chunks.update({axis: "auto" for axis in range(targets.ndim - 1)})
    return targets.rechunk(chunks, block_size_limit=chunk_size * 3 * targets.dtype.itemsize)


# ---- evaluation --------------------------------------------------------------

def _aligned(arrays):
    """The arrays as the native functions read them: Dask may hand a worker
    arrays that point into a message buffer, not aligned to their dtype."""
    return tuple(np.require(array, requirements=["C", "A"]) for array in arrays)


def _evaluate_chunk(problem, chunk):
    """H (..., 3) at one chunk of targets (..., 3): the local evaluation of
    ``problem = (evaluate, checked sources, options)``."""
    evaluate, sources, options = problem
    flat, leading = as_targets(chunk)
    return evaluate(*_aligned(sources), flat, options).reshape(leading + (3,))


def _gather(client, futures, starts, out, what):
    """Results of the chunk futures into ``out`` as they complete, with
    progress; cancels what is left on any error or interrupt."""
    start, reported = time.perf_counter(), 0
    index = {future.key: k for k, future in enumerate(futures)}
    try:
        for done, (future, result) in enumerate(distributed.as_completed(futures, with_results=True), 1):
            k = index[future.key]
            out[starts[k]:starts[k] + len(result)] = result
            log.debug("zandrel.distributed: %s: chunk %d done (%d of %d)", what, k, done, len(futures))
            if done * 10 // len(futures) > reported:
                reported = done * 10 // len(futures)
                log.info("zandrel.distributed: %s: %d of %d chunks (%.0f %%), %.1f s", what, done, len(futures),
                         100.0 * done / len(futures), time.perf_counter() - start)
    except BaseException:
        client.cancel(futures)
        raise
    return out


def _lazy(task, problem, targets, client, what):
    """``task(problem, chunk)`` over the chunks of dask.array targets, lazily."""
    return da.map_blocks(task, _shipped(_lazy_client(client), problem), targets, dtype=np.float64,
                         meta=np.empty((0,) * targets.ndim), name=f"zandrel-{what}-{uuid.uuid4().hex[:8]}")


def _now(task, problem, points, client, chunk_size, what, multiple=1):
    """``task(problem, chunk)`` over chunks of NumPy ``points`` (P, 3) on the
    cluster, the problem shipped once: H (P, 3)."""
    out = np.empty((len(points), 3))
    if len(points) == 0:
        return out
    with _connected(client) as connected:
        workers = _n_workers(connected)
        starts, size = _chunk_starts(len(points), chunk_size, workers, multiple)
        shipped = _shipped(connected, problem)
        token = uuid.uuid4().hex[:8]
        futures = [connected.submit(task, shipped, points[s:s + size], pure=False, key=f"zandrel-{what}-{token}-{k}")
                   for k, s in enumerate(starts)]
        log.info("zandrel.distributed: %s: %d targets in %d chunks of %d on %d workers (dashboard %s)", what,
                 len(points), len(futures), size, workers, connected.dashboard_link)
        return _gather(connected, futures, starts, out, what)


def _distribute(check, evaluate, sources, targets, client, chunk_size, **options):
    """The field of checked sources at NumPy or dask.array targets."""
    what = evaluate.__name__.replace("_evaluate_", "")
    chunk_size = _check_chunk_size(chunk_size)
    if _is_dask_array(targets):
        sources, _, _, options = check(*sources, np.zeros((0, 3)), threads=1, **options)
        targets = _rechunked(_checked_dask_targets(targets), chunk_size)
        return _lazy(_evaluate_chunk, (evaluate, sources, options), targets, client, what)
    sources, flat, leading, options = check(*sources, targets, threads=1, **options)
    return _now(_evaluate_chunk, (evaluate, sources, options), flat, client, chunk_size, what).reshape(
        leading + (3,))


_SOURCES = dict(
    mag_tet4="""{tet4}
    mvectors : array_like, shape (E, 3) or (3,)
        Magnetisation of each element in A/m.""",
    current_tet4="""{tet4}
    jdensity : array_like, shape (E, 3) or (3,)
        Current density of each element in A/m².""",
    mag_point="""centroids : array_like, shape (N, 3) or (3,)
        Source positions in m.
    {volumes}
    mvectors : array_like, shape (N, 3) or (3,)
        Magnetisation of each source in A/m.""",
    current_point="""src_pts : array_like, shape (N, 3) or (3,)
        Source positions in m.
    {volumes}
    jdensity : array_like, shape (N, 3) or (3,)
        Current density of each source in A/m².""",
)

_PARAMETERS = """:func:`zandrel.{name}` chunk by chunk on the workers.

    Parameters
    ----------
    {sources}
    targets : array_like or dask.array, shape (3,), (T, 3) or (..., 3)
        Points in m.
    {options}
        As in :func:`zandrel.{name}` (each task runs one thread).
    client : distributed.Client or str, optional
        The cluster (a Client or a scheduler address). Default: a local
        cluster of single-threaded worker processes for NumPy targets (started
        and closed by the call); for ``dask.array`` targets the default
        client, if any, else whichever scheduler computes the result.
    chunk_size : int, optional
        Target points per task. Default for NumPy targets: about four chunks
        per worker, at least 16384 points; ``dask.array`` targets keep their
        own chunks unless it is given.

    Returns
    -------
    {symbol} : ndarray or dask.array, shape of ``targets``
        {quantity}, float64: a NumPy array for NumPy targets, a lazy dask.array
        (chunked like the targets) for a dask.array. The same bits as the
        local :func:`zandrel.{name}`.

    {{errors}}"""


def _distributed_doc(function):
    """Fills the parameters of a distributed field function into its docstring."""
    name = function.__name__
    symbol, quantity = ("H", "Magnetic field strength in A/m") if name[0] == "h" else ("B", "Flux density in T")
    options = "use_octree, theta, leaf_threshold" + (", edge" if name.endswith("tet4") else "")
    function.__doc__ = function.__doc__.replace("{parameters}", _PARAMETERS.format(
        name=name, sources=_SOURCES[name[2:]], options=options, symbol=symbol, quantity=quantity))
    return docstring(function)


@_distributed_doc
def h_mag_tet4(nodes, connectivity, mvectors, targets, *, use_octree=False, edge=False, theta=0.5, leaf_threshold=8,
               client=None, chunk_size=None):
    """H of uniformly magnetised tetrahedra, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_mag_tet4_args, _fields._evaluate_h_mag_tet4,
                       (nodes, connectivity, mvectors), targets, client, chunk_size, use_octree=use_octree,
                       edge=edge, theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def b_mag_tet4(nodes, connectivity, mvectors, targets, *, use_octree=False, edge=False, theta=0.5, leaf_threshold=8,
               client=None, chunk_size=None):
    """B of uniformly magnetised tetrahedra, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_mag_tet4_args, _fields._evaluate_b_mag_tet4,
                       (nodes, connectivity, mvectors), targets, client, chunk_size, use_octree=use_octree,
                       edge=edge, theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def h_mag_point(centroids, volumes, mvectors, targets, *, use_octree=False, theta=0.5, leaf_threshold=8, client=None,
                chunk_size=None):
    """H of point dipoles, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_mag_point_args, _fields._evaluate_h_mag_point,
                       (centroids, volumes, mvectors), targets, client, chunk_size, use_octree=use_octree,
                       theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def b_mag_point(centroids, volumes, mvectors, targets, *, use_octree=False, theta=0.5, leaf_threshold=8, client=None,
                chunk_size=None):
    """B of point dipoles, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_mag_point_args, _fields._evaluate_b_mag_point,
                       (centroids, volumes, mvectors), targets, client, chunk_size, use_octree=use_octree,
                       theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def h_current_tet4(nodes, connectivity, jdensity, targets, *, use_octree=False, edge=False, theta=0.5,
                   leaf_threshold=8, client=None, chunk_size=None):
    """H of current-carrying tetrahedra, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_current_tet4_args, _fields._evaluate_h_current_tet4,
                       (nodes, connectivity, jdensity), targets, client, chunk_size, use_octree=use_octree,
                       edge=edge, theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def b_current_tet4(nodes, connectivity, jdensity, targets, *, use_octree=False, edge=False, theta=0.5,
                   leaf_threshold=8, client=None, chunk_size=None):
    """B of current-carrying tetrahedra, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_current_tet4_args, _fields._evaluate_b_current_tet4,
                       (nodes, connectivity, jdensity), targets, client, chunk_size, use_octree=use_octree,
                       edge=edge, theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def h_current_point(src_pts, volumes, jdensity, targets, *, use_octree=False, theta=0.5, leaf_threshold=8,
                    client=None, chunk_size=None):
    """H of point current elements, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_current_point_args, _fields._evaluate_h_current_point,
                       (src_pts, volumes, jdensity), targets, client, chunk_size, use_octree=use_octree,
                       theta=theta, leaf_threshold=leaf_threshold)


@_distributed_doc
def b_current_point(src_pts, volumes, jdensity, targets, *, use_octree=False, theta=0.5, leaf_threshold=8,
                    client=None, chunk_size=None):
    """B of point current elements, evaluated on a Dask cluster.

    {parameters}
    """
    return _distribute(_fields._check_h_current_point_args, _fields._evaluate_b_current_point,
                       (src_pts, volumes, jdensity), targets, client, chunk_size, use_octree=use_octree,
                       theta=theta, leaf_threshold=leaf_threshold)


# ---- a solved model --------------------------------------------------------

def _itself(value):
    return value


def _portable_operator(solution):
    """A picklable callable that gives the solution's operator on a worker:
    the field operator rebuilt there (it holds native memory), any other
    operator (such as a direct sum) shipped as it is."""
    operator = solution.operator
    if isinstance(operator, DistributedOperator):
        return operator.portable()
    import zandrel

    field_operator = getattr(zandrel, "FieldOperator", None)
    if field_operator is not None and isinstance(operator, field_operator):
        return functools.partial(field_operator, solution.mesh, operator.accuracy, threads=1,
                                 rows=np.zeros(0, dtype=np.int64))
    return functools.partial(_itself, operator)


def _solution_chunk(model, chunk):
    make_operator, M, applied = model
    return field_in_blocks(make_operator(), *_aligned((M,)), applied, as_points(chunk, "targets"))


def solution_field(solution, targets, *, client=None, chunk_size=None):
    """H in A/m of a solved model (its body plus the applied field) at
    ``targets`` (T, 3) or (3,) in m, evaluated on a Dask cluster: what
    ``solution.field(targets, client=...)`` calls.

    The targets are cut in chunks of whole evaluation blocks of the local
    :meth:`zandrel.Solution.field` (max(65536, E) targets; a dask.array is
    rechunked to them), so the result has its bits. M, the applied field
    and the operator are shipped to every worker once; a
    ``zandrel.FieldOperator`` travels as its recipe and each task builds its
    source side anew (native memory does not travel), which the blocks of at
    least E targets amortise.
    """
    chunk_size = _check_chunk_size(chunk_size)
    block = field_block(solution.mesh.n_elements)
    model = (_portable_operator(solution), solution.M, solution.applied)
    if _is_dask_array(targets):
        if targets.ndim != 2 or targets.shape[-1] != 3:
            raise ValueError(f"targets must have shape (T, 3) or (3,), got {targets.shape}")
        _checked_dask_targets(targets)
        size = block if chunk_size is None else max(block, chunk_size // block * block)
        aligned = targets.rechunk({0: tuple(_sizes(targets.shape[0], size)), 1: 3})
        return _lazy(_solution_chunk, model, aligned, client, "solution-field")
    points = as_points(targets, "targets", allow_single=True)
    out = _now(_solution_chunk, model, points, client, chunk_size, "solution-field", multiple=block)
    return out[0] if np.ndim(targets) == 1 else out


def _sizes(count, size):
    return [min(size, count - s) for s in range(0, count, size)] or [0]


# ---- the solver's operator -----------------------------------------------------

def _partition(centroids, parts):
    """Element indices in ``parts`` spatially compact groups of about equal
    size: slabs along the longest extent of the centroids (compact groups
    share most of their near-field work)."""
    if len(centroids) == 0:
        return [np.zeros(0, dtype=np.int64)]
    axis = int(np.argmax(np.ptp(centroids, axis=0)))
    order = np.argsort(centroids[:, axis], kind="stable")
    return [np.sort(group) for group in np.array_split(order, min(parts, len(order)))]


def _build_rows(operator_class, mesh, accuracy, rows):
    return operator_class(mesh, accuracy=accuracy, threads=1, rows=rows)


def _apply_rows(operator, m):
    return operator.apply(*_aligned((m,)))


def _self_tensors(operator):
    return np.asarray(operator.self_tensors(), dtype=np.float64)


def _field_chunk(operator, m, chunk):
    return body_field(operator, *_aligned((m, chunk)))


class DistributedOperator:
    """The field operator of a mesh with its rows spread over a Dask cluster.

    The element centroids (the operator's rows) are cut in spatially compact
    groups, one per worker; each worker builds the operator of its rows once
    and keeps it. :meth:`apply` ships M to every worker and gathers H: one
    distributed application per Krylov iteration of :func:`zandrel.solve`,
    which takes it as ``operator=``.

    Parameters
    ----------
    mesh : zandrel.Mesh
        The body, lengths in m.
    accuracy : float, default 1e-3
        Accuracy of every worker's operator (see ``zandrel.FieldOperator``).
    client : distributed.Client or str
        The cluster (a Client or a scheduler address); it must stay open
        while the operator is used.
    partitions : int, optional
        Number of row groups (default: one per worker); groups are assigned
        to the workers in turn.
    operator_class : type, optional
        The operator each worker builds, called as ``operator_class(mesh,
        accuracy=..., threads=1, rows=...)``; default ``zandrel.FieldOperator``.

    Attributes
    ----------
    n_elements : int
    partitions : list of (P,) int64 arrays
        The element indices (rows) of every group.

    Notes
    -----
    Per application each worker receives M (24 bytes per element) and
    returns H of its rows (24 bytes per row). A worker that dies loses its
    rows' operator; the operator cannot be used after that (build a new one).
    """

    distributed = True  # a solution of it evaluates its fields on the same cluster

    def __init__(self, mesh, accuracy=1e-3, *, client, partitions=None, operator_class=None):
        if not isinstance(mesh, Mesh):
            raise TypeError(f"mesh must be a zandrel.Mesh, got {type(mesh).__name__}")
        if operator_class is None:
            import zandrel

            operator_class = getattr(zandrel, "FieldOperator", None)
            if operator_class is None:
                raise RuntimeError("this build of zandrel has no FieldOperator; pass operator_class=...")
        self.client = _lazy_client(client) if client is not None else None
        if self.client is None:
            raise TypeError("client must be a distributed.Client or a scheduler address")
        self.mesh, self.accuracy, self.n_elements = mesh, accuracy, mesh.n_elements
        self._operator_class = operator_class
        workers = sorted(self.client.scheduler_info()["workers"])
        count = len(workers) if partitions is None else as_count(partitions, "partitions", minimum=1)
        self.partitions = _partition(mesh.centroids, count)
        self._workers = [workers[k % len(workers)] for k in range(len(self.partitions))]
        start = time.perf_counter()
        shipped = _shipped(self.client, mesh)
        self._operators = [self.client.submit(_build_rows, operator_class, shipped, accuracy, rows, workers=[worker],
                                              pure=False)
                           for rows, worker in zip(self.partitions, self._workers)]
        distributed.wait(self._operators)
        for future in self._operators:
            if future.status == "error":  # the operators themselves stay on the workers (native memory)
                raise future.exception()
        log.info("zandrel.distributed: operator of %d elements built in %d row groups on %d workers in %.2f s",
                 self.n_elements, len(self.partitions), len(workers), time.perf_counter() - start)

    def _on_workers(self, function, *args):
        """``function(operator, *args)`` on every group's operator, in group order."""
        futures = [self.client.submit(function, operator, *args, workers=[worker], pure=False)
                   for operator, worker in zip(self._operators, self._workers)]
        return self.client.gather(futures)

    def apply(self, m):
        """H (E, 3) in A/m at the element centroids from magnetisations ``m``
        (E, 3) or (3,) in A/m."""
        m = as_vectors(m, "m", self.n_elements)
        # A small M rides along with the tasks (one message each); a large one
        # goes to the workers directly, without passing the scheduler.
        parts = self._on_workers(_apply_rows, m if m.nbytes < _EMBEDDED_BYTES else _shipped(self.client, m))
        h = np.empty((self.n_elements, 3))
        for rows, part in zip(self.partitions, parts):
            h[rows] = part
        return h

    __call__ = apply

    def self_tensors(self):
        """(E, 3, 3): each element's field at its own centroid per unit
        magnetisation of that element alone, gathered from the groups."""
        tensors = np.empty((self.n_elements, 3, 3))
        for rows, part in zip(self.partitions, self._on_workers(_self_tensors)):
            tensors[rows] = part
        return tensors

    def field(self, m, targets):
        """H (T, 3) in A/m at ``targets`` (T, 3) in m from magnetisations
        ``m`` (E, 3): blocks of targets on the groups' operators in turn."""
        m = _shipped(self.client, as_vectors(m, "m", self.n_elements))
        points = as_points(targets, "targets")
        starts, size = _chunk_starts(len(points), None, len(self._operators), multiple=field_block(self.n_elements))
        futures = [self.client.submit(_field_chunk, self._operators[k % len(self._operators)], m,
                                      points[s:s + size], workers=[self._workers[k % len(self._workers)]],
                                      pure=False)
                   for k, s in enumerate(starts)]
        out = np.empty((len(points), 3))
        for s, part in zip(starts, self.client.gather(futures)):
            out[s:s + len(part)] = part
        return out

    def portable(self):
        """A picklable callable that builds this mesh's operator (no rows) on
        a worker, for evaluating fields elsewhere."""
        return functools.partial(self._operator_class, self.mesh, accuracy=self.accuracy, threads=1,
                                 rows=np.zeros(0, dtype=np.int64))

    def close(self):
        """Release the workers' operators."""
        for future in self._operators:
            future.release()
        self._operators = []

    def __repr__(self):
        return (f"DistributedOperator({self.n_elements} elements, {len(self.partitions)} row groups, "
                f"accuracy={self.accuracy:g})")
