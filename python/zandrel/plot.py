"""Plots of a solved model with matplotlib (``pip install zandrel[plot]``).

- :func:`field_slice`: |B| on a plane as a colour map, with arrows along the
  in-plane flux direction and the bodies' outlines;
- :func:`field_line`: the components of B and |B| along a line;
- :func:`residuals`: the solve's residual history.

Each draws into ``ax`` when given (its figure is returned), else into a new
figure made without pyplot (so it works without a display and leaves
pyplot's state alone); ``path`` saves the figure (PNG, PDF, SVG, ... by the
suffix). In a notebook, display the returned figure.
"""
import numpy as np

from zandrel import grid as _grid
from zandrel._convert import as_count, as_vector

__all__ = ["field_slice", "field_line", "residuals"]


def _figure(ax, size):
    try:
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(f"zandrel.plot needs matplotlib: pip install zandrel[plot] ({exc})") from None
    if ax is not None:
        return ax.figure, ax
    figure = Figure(figsize=size, layout="constrained")
    return figure, figure.add_subplot()


def _finish(figure, path, dpi=150):
    if path is not None:
        figure.savefig(path, dpi=dpi)
    return figure


def _length_unit(extent):
    """(scale, label) for axis coordinates: mm below a metre, m above."""
    return (1e3, "mm") if extent < 1.0 else (1.0, "m")


def _outlines(mesh, origin, u, v, normal):
    """Segments (K, 2, 2) in plane coordinates where the boundary of each
    region (or of the whole mesh without regions) cuts the plane."""
    segments = []
    for members in (mesh.regions.values() or [None]):
        faces = mesh.boundary_faces(members).astype(np.int64)
        corners = mesh.nodes[faces]
        d = (corners - origin) @ normal
        d = np.where(d == 0.0, 1e-300, d)  # a node on the plane counts as above it
        crossing = (np.sign(d) != np.sign(np.roll(d, -1, axis=1)))
        cut = crossing.sum(axis=1) == 2
        if not cut.any():
            continue
        c, dd, x = corners[cut], d[cut], crossing[cut]
        nxt = np.roll(c, -1, axis=1)
        with np.errstate(divide="ignore", invalid="ignore"):  # edges along the plane never cross it
            t = dd / (dd - np.roll(dd, -1, axis=1))
            points = c + (nxt - c) * t[..., None]  # (K, 3 edges, 3)
        pairs = points[x].reshape(-1, 2, 3)
        segments.append(np.stack([(pairs - origin) @ u, (pairs - origin) @ v], axis=-1))
    return np.concatenate(segments) if segments else np.zeros((0, 2, 2))


def _default_plane(mesh, center, normal, size, u):
    lo, hi = mesh.bounds
    center = 0.5 * (lo + hi) if center is None else as_vector(center, "center")
    normal = as_vector(normal, "normal")
    if size is None:
        probe = _grid.plane(1.0, 2, center, normal, u=u)  # its in-plane axes
        axes = probe.axes / np.linalg.norm(probe.axes, axis=1)[:, None]
        extent = np.abs(axes @ np.diag(hi - lo)).max(axis=1)
        size = 1.6 * np.maximum(extent, 1e-3 * max(float((hi - lo).max()), 1e-300))
    return center, normal, size


def field_slice(solution, *, center=None, normal=(0.0, -1.0, 0.0), u=(1.0, 0.0, 0.0), size=None, shape=(161, 161),
                arrows=25, exact=False, vmax=None, cmap="viridis", ax=None, path=None, title=None):
    """|B| on a plane through the model, with flux arrows and body outlines.

    Parameters
    ----------
    solution : zandrel.Solution
    center : array_like (3,), optional
        Centre of the plane in m (default: the middle of the mesh's
        bounding box).
    normal : array_like (3,), default (0, -1, 0)
        Normal of the plane (default: the x-z plane seen from -y, x to the
        right and z up).
    u : array_like (3,) or None, default (1, 0, 0)
        Direction of the horizontal axis (projected into the plane; None:
        that of :func:`zandrel.grid.plane`); the vertical one is normal x u.
    size : float or (2,), optional
        Side lengths in m (default: 1.6 times the model's extent in the
        plane).
    shape : int or (2,), default (161, 161)
        Points of the colour map along the two axes.
    arrows : int, default 25
        Arrows along the longer axis (0: none). They show the direction of
        the in-plane component of B, with a length that does not depend on
        |B|.
    exact : bool, default False
        Fields by the direct sum instead of the operator.
    vmax : float, optional
        Upper end of the colour scale in T (default: 1.05 times the 99.5th
        percentile of |B| on the plane; points that fall exactly on an
        element edge, where the field of a uniformly magnetised element is
        logarithmically singular, would otherwise set it).
    cmap : str, default "viridis"
    ax : matplotlib Axes, optional
        Draw here instead of a new figure.
    path : str or path-like, optional
        Save the figure there.
    title : str, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    if u is not None:
        direction = as_vector(u, "u")
        if np.linalg.norm(np.cross(direction, as_vector(normal, "normal"))) < 1e-9 * np.linalg.norm(direction):
            u = None  # along the normal: let the plane choose
    center, normal, size = _default_plane(solution.mesh, center, normal, size, u)
    plane = _grid.plane(size, shape, center, normal, u=u)
    figure, ax = _figure(ax, (7.0, 5.5))
    axes = plane.axes / np.linalg.norm(plane.axes, axis=1)[:, None]
    u, v = axes[0], axes[1]
    # Meshes from lattices put element faces on round coordinates, where a
    # regular grid would sample exactly on faces (the closed form counts
    # such a point as inside every element it touches): sample a small,
    # irrational fraction of a step off the grid.
    offset = 0.0137 * plane.axes[0] + 0.0241 * plane.axes[1]
    B = solution.flux_density(np.asarray(plane) + offset, exact=exact)
    normal = np.cross(u, v)
    nu, nv = plane.shape
    # Plane coordinates: the centre's own along u and v, so that a plane
    # along coordinate axes shows the model's coordinates.
    su = center @ u + (np.arange(nu) - (nu - 1) / 2) * np.linalg.norm(plane.axes[0])
    sv = center @ v + (np.arange(nv) - (nv - 1) / 2) * np.linalg.norm(plane.axes[1])
    scale, unit = _length_unit(max(np.ptp(su), np.ptp(sv)))
    magnitude = np.linalg.norm(B, axis=-1)
    if vmax is None:
        # Points that fall on an element edge carry its logarithmic
        # singularity: a few far-off values must not set the scale.
        vmax = 1.05 * float(np.percentile(magnitude, 99.5))
    image = ax.pcolormesh(su * scale, sv * scale, magnitude.T, shading="auto", cmap=cmap, vmin=0.0,
                          vmax=vmax if vmax > 0.0 else None)
    figure.colorbar(image, ax=ax, label="|B| (T)")
    arrows = as_count(arrows, "arrows")
    if arrows:
        step = max(1, int(np.ceil(max(nu, nv) / arrows)))
        sub = B[step // 2::step, step // 2::step]
        bu, bv = sub @ u, sub @ v
        length = np.hypot(bu, bv)
        with np.errstate(invalid="ignore", divide="ignore"):
            bu, bv = np.where(length > 0, bu / length, 0.0), np.where(length > 0, bv / length, 0.0)
        gu, gv = np.meshgrid(su[step // 2::step] * scale, sv[step // 2::step] * scale, indexing="ij")
        ax.quiver(gu, gv, bu, bv, color="white", alpha=0.8, pivot="mid", scale=1.2 * arrows, width=0.003)
    from matplotlib.collections import LineCollection
    segments = (_outlines(solution.mesh, center, u, v, normal) + [center @ u, center @ v]) * scale
    ax.add_collection(LineCollection(segments, colors="black", linewidths=1.0))
    ax.set_aspect("equal")
    ax.set_xlim(su[0] * scale, su[-1] * scale)
    ax.set_ylim(sv[0] * scale, sv[-1] * scale)
    ax.set_xlabel(f"{_axis_name(u)} ({unit})")
    ax.set_ylabel(f"{_axis_name(v)} ({unit})")
    ax.set_title(title if title is not None else "|B| and flux direction")
    return _finish(figure, path)


def _axis_name(direction):
    """'x', '-y', ... for coordinate axes, else the direction vector."""
    k = int(np.abs(direction).argmax())
    if abs(direction[k]) > 1.0 - 1e-12:
        return ("-" if direction[k] < 0 else "") + "xyz"[k]
    return "(" + ", ".join(f"{c:.2f}" for c in direction) + ")"


def field_line(solution, start, end, n=201, *, exact=False, ax=None, path=None, title=None):
    """The components of B and |B| (T) along the line from ``start`` to
    ``end`` (m), at ``n`` points, against the distance from ``start``.

    Returns
    -------
    matplotlib.figure.Figure
    """
    line = _grid.line(start, end, n)
    B = solution.flux_density(line, exact=exact)
    distance = np.linalg.norm(line.points - line.points[0], axis=1)
    scale, unit = _length_unit(distance[-1])
    figure, ax = _figure(ax, (7.0, 4.0))
    for k, name in enumerate("xyz"):
        ax.plot(distance * scale, B[:, k], label=f"B{name}")
    ax.plot(distance * scale, np.linalg.norm(B, axis=1), color="black", label="|B|")
    ax.axhline(0.0, color="grey", linewidth=0.5)
    origin = ", ".join(f"{c:g}" for c in np.round(line.points[0] * scale, 4))
    ax.set_xlabel(f"distance from ({origin}) {unit} toward the end point ({unit})")
    ax.set_ylabel("B (T)")
    ax.legend()
    ax.set_title(title if title is not None else "Flux density along a line")
    return _finish(figure, path)


def residuals(solution, *, ax=None, path=None, title=None):
    """The relative residual history of the solve (log scale).

    Returns
    -------
    matplotlib.figure.Figure
    """
    history = np.asarray(solution.residuals)
    figure, ax = _figure(ax, (6.0, 4.0))
    ax.semilogy(np.arange(len(history)), np.maximum(history, 1e-300), marker="o", markersize=3)
    ax.set_xlabel("Newton step" if solution.newton_steps > 1 or not solution.materials.linear
                  else "GMRES iteration")
    ax.set_ylabel("relative residual")
    ax.grid(True, which="both", alpha=0.3)
    ax.set_title(title if title is not None else f"Convergence ({solution.iterations} operator applications)")
    return _finish(figure, path)
