"""Merge overlapping point-cloud scans with kedo's Uff method.

Three scanner positions sample one terrain on a shared 5 cm grid. Where their
fields of view overlap, a ground point is measured two or three times, each
time with its own sensor noise. Merging keeps one point per ground point.

The Uff method groups points by Euclidean distance to the group's first point
(its anchor), which suits a scanner's isotropic noise: a point joins a group
when it lies less than `tolerance` from the anchor. Pick the tolerance well
above the noise (a few sigma) and well below the point spacing.

    python examples/merge_scans.py [--noise SIGMA] [--tolerance T]
"""

import argparse

import numpy as np

import kedo

SPACING = 0.05


def terrain(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return 0.4 * np.sin(x / 1.3) * np.cos(y / 0.9) + 0.05 * x


def scan(center: tuple[float, float], radius: float, noise: float, rng) -> tuple:
    """Grid points within `radius` of the scanner, with noise: (points, grid ids)."""
    i, j = np.meshgrid(np.arange(0, 121), np.arange(0, 81), indexing="ij")
    x, y = i * SPACING, j * SPACING
    seen = np.hypot(x - center[0], y - center[1]) < radius
    ids = np.stack([i[seen], j[seen]], axis=1)
    points = np.stack([x[seen], y[seen], terrain(x[seen], y[seen])], axis=1)
    return points + rng.normal(scale=noise, size=points.shape), ids


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--noise", type=float, default=1e-3, help="sensor noise sigma (m)")
    parser.add_argument("--tolerance", type=float, default=0.015, help="merge distance (m)")
    args = parser.parse_args()
    rng = np.random.default_rng(7)

    scans = [scan(c, 2.6, args.noise, rng) for c in [(1.5, 2.0), (3.5, 2.0), (4.5, 2.5)]]
    cloud = np.concatenate([points for points, _ in scans])
    truth = np.concatenate([ids for _, ids in scans])  # which ground point each came from

    merged, index, inverse = kedo.unique_rows(cloud, args.tolerance, False, "a")

    ground_points = np.unique(truth, axis=0).shape[0]
    # A perfect merge puts two measurements in one group exactly when they
    # sample the same ground point.
    truth_group = np.unique(truth, axis=0, return_inverse=True)[1].ravel()
    pairs = np.unique(np.stack([inverse, truth_group], axis=1), axis=0)
    mixed = pairs.shape[0] - merged.shape[0]  # extra ground points in shared groups
    split = pairs.shape[0] - ground_points  # extra groups of split ground points
    spread = np.linalg.norm(cloud - merged[inverse], axis=1).max()

    print(f"{len(scans)} scans, {', '.join(f'{len(p):,}' for p, _ in scans)} points each")
    print(f"  points in:                 {cloud.shape[0]:>7,}")
    print(f"  ground points seen:        {ground_points:>7,}")
    print(f"  points after merging:      {merged.shape[0]:>7,}")
    print(f"  ground points left split:  {split:>7,}")
    print(f"  groups mixing two points:  {mixed:>7,}")
    print(f"  farthest point from its representative: {spread * 1e3:.2f} mm")
    assert np.array_equal(merged, cloud[index])  # representatives are measured points
    assert spread < args.tolerance
    if args.noise * 6 < args.tolerance < SPACING / 2:
        assert split == 0 and mixed == 0


if __name__ == "__main__":
    main()
