"""Number the nodes that FEM subdomains share, deterministically.

A plate is meshed as 2 x 2 subdomains, each with its own local node list; a
node on an interface between subdomains appears in every subdomain that
touches it, its coordinates computed locally and so off by rounding. Stacking
the local lists and calling kedo's sort method with sorted_index=True gives
each distinct node one global number, and for every local node its global
number (`inverse`). With the copies of a node well within the tolerance of
each other and distinct nodes well beyond it, sorted_index=True numbers the
nodes in order of their first appearance in the stacked lists, so the
numbering depends on the order of the subdomains and their local nodes only,
not on the coordinates: a rotated or shifted copy of the same mesh gets the
same numbers.

    python examples/fem_shared_nodes.py
"""

import numpy as np

import kedo

CELLS = 6  # quadrilaterals per subdomain side
SIZE = 0.7  # subdomain side length


def rotation(degrees: float) -> np.ndarray:
    angle = np.radians(degrees)
    return np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])


PLATE = rotation(20.0)  # the plate's axes in the global frame


def subdomain(a: int, b: int) -> tuple[np.ndarray, np.ndarray]:
    """Node coordinates and quadrilaterals (local node numbers) of subdomain (a, b)."""
    step = SIZE / CELLS
    # Meshed in the subdomain's own frame, then placed: a node on an interface
    # gets coordinates that differ from its neighbour's copy by rounding.
    origin = PLATE @ (a * SIZE, b * SIZE) + (0.1, -0.3)
    i, j = np.meshgrid(np.arange(CELLS + 1), np.arange(CELLS + 1), indexing="ij")
    nodes = origin + np.stack([i.ravel() * step, j.ravel() * step], axis=1) @ PLATE.T
    corner = (i[:-1, :-1] * (CELLS + 1) + j[:-1, :-1]).ravel()
    quads = np.stack([corner, corner + CELLS + 1, corner + CELLS + 2, corner + 1], axis=1)
    return nodes, quads


def global_numbering(parts: list[np.ndarray], tolerance: float) -> tuple[int, list[np.ndarray]]:
    """The number of distinct nodes and, per subdomain, local-to-global node numbers."""
    stacked = np.concatenate(parts)
    _, _, inverse = kedo.unique_rows(stacked, tolerance, True, "sort")
    offsets = np.cumsum([0] + [len(p) for p in parts])
    return int(inverse.max()) + 1, [
        inverse[a:b] for a, b in zip(offsets[:-1], offsets[1:], strict=True)
    ]


def main() -> None:
    meshes = [subdomain(a, b) for a in range(2) for b in range(2)]
    nodes = [n for n, _ in meshes]
    tolerance = 1e-6 * SIZE / CELLS  # far below the node spacing, far above rounding

    count, local_to_global = global_numbering(nodes, tolerance)
    exact = np.unique(np.concatenate(nodes), axis=0).shape[0]
    appearances = np.bincount(np.concatenate(local_to_global), minlength=count)
    quads = np.concatenate([g[q] for g, (_, q) in zip(local_to_global, meshes, strict=True)])

    print(f"{len(meshes)} subdomains, {sum(len(n) for n in nodes)} local nodes")
    print(f"  distinct nodes, numpy.unique exact: {exact}")
    print(f"  global nodes:                 {count}")
    print(f"  nodes shared by 2 subdomains: {int((appearances == 2).sum())}")
    print(f"  nodes shared by 4 subdomains: {int((appearances == 4).sum())}")
    print(f"  first subdomain, local -> global: {local_to_global[0][:8].tolist()} ...")
    print(f"  second subdomain, local -> global: {local_to_global[1][:8].tolist()} ...")

    # A conforming mesh: (2 CELLS + 1)^2 nodes, every interior edge in two quadrilaterals.
    assert count == (2 * CELLS + 1) ** 2
    edges = np.sort(quads[:, [0, 1, 1, 2, 2, 3, 3, 0]].reshape(-1, 2), axis=1)
    uses = np.unique(edges, axis=0, return_counts=True)[1]
    assert set(uses.tolist()) == {1, 2} and (uses == 1).sum() == 4 * 2 * CELLS
    # The first subdomain's nodes come first, numbered in their local order.
    assert local_to_global[0].tolist() == list(range(len(nodes[0])))

    # The same mesh rotated by 30 degrees and shifted: the numbering is unchanged.
    moved = [n @ rotation(30.0).T + (5.0, -2.0) for n in nodes]
    _, moved_local_to_global = global_numbering(moved, tolerance)
    same = all(
        np.array_equal(a, b) for a, b in zip(local_to_global, moved_local_to_global, strict=True)
    )
    print(f"  rotated and shifted copy numbered the same: {same}")
    assert same


if __name__ == "__main__":
    main()
