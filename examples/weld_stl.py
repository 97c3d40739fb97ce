"""Weld an STL triangle soup into an indexed mesh.

An STL file stores every triangle with its own three corners, as float32, so a
vertex shared by six triangles is stored six times. Exporters that transform
each facet on its own leave the copies a few float32 ulps apart, and exact
deduplication (numpy.unique) then finds nearly every corner distinct. kedo's
sort method welds corners that agree within a tolerance per coordinate and
returns, for every corner, the vertex it became: the triangle index buffer.

    python examples/weld_stl.py [mesh.stl] [--tolerance T] [--out mesh.ply]

Without an STL file it writes a noisy torus soup to a temporary file first.
The indexed mesh is written with meshio (PLY, OBJ, VTK, ... by file name).
"""

import argparse
import pathlib
import tempfile

import meshio
import numpy as np
from stl import mesh as stl_mesh

import kedo


def torus_soup(path: pathlib.Path, rings: int = 48, sides: int = 24, seed: int = 0) -> None:
    """Writes a binary STL torus whose shared corners differ by float noise."""
    u = np.linspace(0.0, 2.0 * np.pi, rings, endpoint=False)
    v = np.linspace(0.0, 2.0 * np.pi, sides, endpoint=False)
    uu, vv = np.meshgrid(u, v, indexing="ij")
    grid = np.stack(
        [
            (1.0 + 0.35 * np.cos(vv)) * np.cos(uu),
            (1.0 + 0.35 * np.cos(vv)) * np.sin(uu),
            0.35 * np.sin(vv),
        ],
        axis=-1,
    )
    i, j = np.meshgrid(np.arange(rings), np.arange(sides), indexing="ij")
    i1, j1 = (i + 1) % rings, (j + 1) % sides
    quads = [grid[i, j], grid[i1, j], grid[i1, j1], grid[i, j1]]
    triangles = np.concatenate(
        [
            np.stack([quads[0], quads[1], quads[2]], axis=-2),
            np.stack([quads[0], quads[2], quads[3]], axis=-2),
        ]
    )
    triangles = triangles.reshape(-1, 3, 3)
    # Each facet's corners carry their own rounding noise, as after a per-facet transform.
    rng = np.random.default_rng(seed)
    triangles = triangles + rng.uniform(-2e-6, 2e-6, size=triangles.shape)
    soup = stl_mesh.Mesh(np.zeros(len(triangles), dtype=stl_mesh.Mesh.dtype))
    soup.vectors[:] = triangles
    soup.save(str(path))


def weld(corners: np.ndarray, tolerance: float) -> tuple[np.ndarray, np.ndarray]:
    """Returns (vertices, triangles) for the corners of a soup, shape (3 n, 3)."""
    vertices, _, inverse = kedo.unique_rows(corners, tolerance, True, "sort")
    # Every vertex is one of the input corners, bit for bit, and every corner
    # lies within the tolerance of its vertex in each coordinate.
    assert np.abs(vertices[inverse] - corners).max() <= tolerance
    return vertices, inverse.reshape(-1, 3)


def edge_uses(triangles: np.ndarray) -> np.ndarray:
    """How many triangles use each undirected edge."""
    edges = np.sort(triangles[:, [0, 1, 1, 2, 2, 0]].reshape(-1, 2), axis=1)
    return np.unique(edges, axis=0, return_counts=True)[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stl", nargs="?", type=pathlib.Path, help="an STL file to weld")
    parser.add_argument(
        "--tolerance",
        type=float,
        default=1e-4,
        help="largest per-coordinate gap between corners of one vertex",
    )
    parser.add_argument("--out", type=pathlib.Path, help="where to write the indexed mesh")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        source = args.stl
        if source is None:
            source = pathlib.Path(scratch) / "torus_soup.stl"
            torus_soup(source)
        soup = stl_mesh.Mesh.from_file(str(source))
        corners = np.ascontiguousarray(soup.vectors.reshape(-1, 3))  # float32, (3 n, 3)

        vertices, triangles = weld(corners, args.tolerance)
        # Triangles smaller than the tolerance collapse; an indexed mesh drops them.
        collapsed = (triangles == np.roll(triangles, 1, axis=1)).any(axis=1)
        triangles = triangles[~collapsed]
        exact = np.unique(corners, axis=0).shape[0]

        out = args.out or pathlib.Path(scratch) / "welded.ply"
        meshio.write_points_cells(out, vertices, [("triangle", triangles)])
        written = meshio.read(out)

        uses = edge_uses(triangles)
        print(f"{source.name}: {len(soup.vectors):,} triangles")
        print(f"  vertices before (corners of the soup): {corners.shape[0]:>8,}")
        print(f"  distinct corners, numpy.unique exact:  {exact:>8,}")
        print(f"  vertices after welding, tolerance {args.tolerance:g}: {vertices.shape[0]:>6,}")
        print(f"  collapsed triangles dropped:           {int(collapsed.sum()):>8,}")
        shared = int((uses == 2).sum())
        print(f"  edges used by exactly two triangles:   {shared:>8,} of {uses.size:,}")
        print(
            f"  wrote {out.name}: {written.points.shape[0]:,} points, "
            f"{written.cells_dict['triangle'].shape[0]:,} triangles"
        )
        assert written.points.shape == vertices.shape
        if args.stl is None:  # the generated torus is closed: V - E + F = 0
            assert vertices.shape[0] == 48 * 24 and (uses == 2).all()
            assert vertices.shape[0] - uses.size + triangles.shape[0] == 0


if __name__ == "__main__":
    main()
