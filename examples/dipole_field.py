"""Field of a small magnetised sphere treated as a point dipole.

A sphere of radius 1 mm magnetised along z (M = 1e6 A/m): H on its axis and
in its equatorial plane, beside the textbook dipole formula, and inside it
(where the uniform field -M/3 applies).
"""
import numpy as np

import _zandrel

radius = 1e-3
m = 1e6
centroids = np.zeros((1, 3))
volumes = np.array([4.0 / 3.0 * np.pi * radius**3])
mvectors = np.array([[0.0, 0.0, m]])
distances = np.array([0.0, 0.5e-3, 2e-3, 5e-3, 1e-2])
axis = np.column_stack([np.zeros_like(distances), np.zeros_like(distances), distances])
equator = np.column_stack([distances, np.zeros_like(distances), np.zeros_like(distances)])

h_axis = _zandrel.h_mag_point(centroids, volumes, mvectors, axis, 0.0, 1, 0, False)
h_equator = _zandrel.h_mag_point(centroids, volumes, mvectors, equator, 0.0, 1, 0, False)

moment = m * volumes[0]
print(f"{'r [m]':>10} {'Hz axis [A/m]':>16} {'2m/(4 pi r^3)':>16} {'Hz equator':>16} {'-m/(4 pi r^3)':>16}")
for r, ha, he in zip(distances, h_axis[:, 2], h_equator[:, 2]):
    if r <= radius:
        expect_a = expect_e = -m / 3.0
    else:
        expect_a = 2 * moment / (4 * np.pi * r**3)
        expect_e = -moment / (4 * np.pi * r**3)
    print(f"{r:10.1e} {ha:16.6e} {expect_a:16.6e} {he:16.6e} {expect_e:16.6e}")
