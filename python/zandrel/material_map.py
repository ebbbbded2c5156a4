"""Which material each element of a mesh is made of, and the material law
evaluated over the whole mesh at once."""
import numpy as np

from zandrel.materials import Material

__all__ = ["MaterialMap"]


def _describe(indices, limit=10):
    shown = ", ".join(str(int(i)) for i in indices[:limit])
    return shown + (f", ... ({len(indices)} in all)" if len(indices) > limit else "")


class MaterialMap:
    """The material of every element of a mesh.

    Parameters
    ----------
    mesh : zandrel.Mesh
    materials : Material, dict or sequence
        One material for the whole mesh; a dict ``{region name: material}``
        covering every element through the mesh's regions; or a sequence of
        one material per element.

    Attributes
    ----------
    materials : tuple of Material
        The distinct materials, in order of first use.
    index : (E,) int64 ndarray
        Position of each element's material in ``materials``.
    labels : tuple of str
        A name per entry of ``materials``: the region names it was given
        for, or "all" / "elements".
    """

    def __init__(self, mesh, materials):
        count = mesh.n_elements
        if isinstance(materials, Material):
            self._set([materials], np.zeros(count, dtype=np.int64), ["all"])
        elif isinstance(materials, dict):
            self._from_regions(mesh, materials)
        elif isinstance(materials, (list, tuple, np.ndarray)):
            self._from_sequence(materials, count)
        else:
            raise TypeError("materials must be a material (zandrel.LinearMaterial, PermanentMagnet, "
                            "NonlinearMaterial), a dict {region name: material} or one material per element, "
                            f"got {type(materials).__name__}")

    def _set(self, materials, index, labels):
        self.materials = tuple(materials)
        self.index = index
        self.index.flags.writeable = False
        self.labels = tuple(labels)
        self._groups = [np.flatnonzero(index == k) for k in range(len(materials))]

    def _from_regions(self, mesh, materials):
        regions = mesh.regions
        if not regions:
            raise ValueError("materials is a dict of regions, but the mesh has no regions; pass a single "
                             "material, or give the mesh regions (zandrel.Mesh(..., regions={name: indices}))")
        unknown = [name for name in materials if name not in regions]
        if unknown:
            raise ValueError(f"materials names regions {unknown} that the mesh does not have; its regions are "
                             f"{sorted(regions)}")
        index = np.full(mesh.n_elements, -1, dtype=np.int64)
        distinct, labels = [], []
        for name, material in materials.items():
            if not isinstance(material, Material):
                raise TypeError(f"materials[{name!r}] must be a material, got {type(material).__name__}")
            k = next((i for i, known in enumerate(distinct) if known is material), None)
            if k is None:
                distinct.append(material)
                labels.append(name)
                k = len(distinct) - 1
            else:
                labels[k] += f"+{name}"
            index[regions[name]] = k
        missing = np.flatnonzero(index < 0)
        if len(missing):
            without = [name for name, members in regions.items() if name not in materials]
            in_none = np.setdiff1d(missing, np.concatenate([regions[n] for n in without]) if without else [])
            parts = []
            if without:
                parts.append(f"regions {without} have no material")
            if len(in_none):
                parts.append(f"elements {_describe(in_none)} belong to no region")
            raise ValueError("every element needs a material: " + "; ".join(parts))
        self._set(distinct, index, labels)

    def _from_sequence(self, materials, count):
        if len(materials) != count:
            raise ValueError(f"a sequence of materials needs one per element ({count}), got {len(materials)}")
        distinct, index = [], np.empty(count, dtype=np.int64)
        position = {}
        for e, material in enumerate(materials):
            if not isinstance(material, Material):
                raise TypeError(f"materials[{e}] must be a material, got {type(material).__name__}")
            k = position.get(id(material))
            if k is None:
                k = position[id(material)] = len(distinct)
                distinct.append(material)
            index[e] = k
        self._set(distinct, index, ["elements"] * len(distinct))

    @property
    def linear(self):
        """True when every material is affine in H."""
        return all(material.linear for material in self.materials)

    def element_materials(self):
        """(E,) object array: the material of each element."""
        table = np.empty(len(self.materials), dtype=object)
        table[:] = self.materials
        return table[self.index]

    def field_strength(self, B):
        """H (E, 3) in A/m at which each element's material carries ``B`` (E, 3) in T."""
        H = np.empty_like(B)
        for material, group in zip(self.materials, self._groups):
            H[group] = material.field_strength(B[group])
        return H

    def differential_reluctivity(self, B):
        """μ0·dH/dB (E, 3, 3) at the element flux densities ``B`` (E, 3)."""
        nu = np.empty(B.shape + (3,))
        for material, group in zip(self.materials, self._groups):
            nu[group] = material.differential_reluctivity(B[group])
        return nu

    def __repr__(self):
        return "MaterialMap({" + ", ".join(f"{label!r}: {material!r}"
                                           for label, material in zip(self.labels, self.materials)) + "})"
