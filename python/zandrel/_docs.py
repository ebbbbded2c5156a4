"""Paragraphs shared by the docstrings of the field and force functions."""

__all__ = ["docstring"]

_PARAGRAPHS = dict(
    tet4="""nodes : array_like, shape (N, 3)
        Node coordinates in m.
    connectivity : array_like of int, shape (E, 4)
        0-based node indices of each tetrahedron, any integer dtype.
        Elements should be positively oriented (a reversed element
        contributes the opposite field; :class:`zandrel.Mesh` repairs
        them).""",
    volumes="""volumes : array_like, shape (N,) or scalar
        Source volumes in m³ (>= 0; e.g. ``mesh.volumes``).""",
    targets="""targets : array_like, shape (3,), (T, 3) or (..., 3)
        Points where the field is evaluated, in m (a
        :class:`zandrel.grid.Grid` too).""",
    octree="""use_octree : bool, default False
        Approximate the sum by a Barnes-Hut octree over the sources (a
        branch far enough away acts as one point source of its summed
        moment) instead of the exact direct sum. Worth it for large
        problems (10^5 sources and more); see the README for its accuracy.
    theta : float, default 0.5
        Opening parameter of the octree (>= 0; 0 is exact, the error falls
        about like theta^3 and the cost grows like theta^-3). Ignored by
        the direct sum.
    leaf_threshold : int, default 8
        Most sources in one octree leaf (>= 1). Ignored by the direct sum.
    threads : int, default 0
        Worker threads; 0 uses every available processor. Results are the
        same bits for every value.""",
    edge="""edge : bool, default False
        Use the edge-integral closed form instead of the face formulation
        (about ten times slower and less accurate far away; the octree's
        leaves always use it). Ignored with ``use_octree``.""",
    h_returns="""Returns
    -------
    H : ndarray, shape of ``targets``
        Magnetic field strength in A/m, float64.""",
    b_returns="""Returns
    -------
    B : ndarray, shape of ``targets``
        Magnetic flux density in T, float64.""",
    errors="""Raises
    ------
    TypeError, ValueError
        For arrays of the wrong kind, shape or range, naming the argument.""",
    mu0="mu0 = :data:`zandrel.constants.MU0` = 1.25663706212e-6 N/A² (CODATA 2018)",
)


def docstring(function):
    """Fills the shared paragraphs into a function's docstring."""
    function.__doc__ = function.__doc__.format(**_PARAGRAPHS)
    return function
