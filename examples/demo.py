"""Weld a generated triangle soup with kedo and compare with numpy.unique.

A triangle soup stores every triangle's three corners on their own, so a
vertex shared by six triangles appears six times, each copy with its own tiny
float noise. Welding finds the distinct vertices and, for every corner, the
vertex it became.
"""

import time

import numpy as np

import kedo


def triangle_soup(grid: int, noise: float, seed: int = 0) -> np.ndarray:
    """Corners of a grid x grid wavy surface, two triangles per cell, with noise."""
    rng = np.random.default_rng(seed)
    u, v = np.meshgrid(np.arange(grid + 1.0), np.arange(grid + 1.0), indexing="ij")
    points = np.stack([u, v, np.sin(u / 7.0) * np.cos(v / 5.0)], axis=-1)
    a = points[:-1, :-1].reshape(-1, 3)
    b = points[1:, :-1].reshape(-1, 3)
    c = points[1:, 1:].reshape(-1, 3)
    d = points[:-1, 1:].reshape(-1, 3)
    corners = np.concatenate([np.stack([a, b, c], 1), np.stack([a, c, d], 1)]).reshape(-1, 3)
    return corners + rng.normal(scale=noise, size=corners.shape)


def best_of(runs: int, call):
    best, result = float("inf"), None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    grid, noise, tolerance = 400, 1e-9, 1e-6
    soup = triangle_soup(grid, noise)
    expected = (grid + 1) ** 2

    t_sort, (unique, index, inverse) = best_of(
        3, lambda: kedo.unique_rows(soup, tolerance, False, "sort")
    )
    t_uff, (unique_a, _, _) = best_of(3, lambda: kedo.unique_rows(soup, tolerance, False, "a"))
    t_numpy, numpy_unique = best_of(
        3, lambda: np.unique(soup, axis=0, return_index=True, return_inverse=True)
    )

    print(f"kedo {kedo.__version__}: welding a triangle soup of {soup.shape[0] // 3:,} triangles")
    print(f"  rows in:                         {soup.shape[0]:>10,}")
    print(f"  grid vertices:                   {expected:>10,}")
    print(f"  unique rows, kedo sort method:   {unique.shape[0]:>10,}   {t_sort * 1e3:8.1f} ms")
    print(f"  unique rows, kedo Uff method:    {unique_a.shape[0]:>10,}   {t_uff * 1e3:8.1f} ms")
    exact_count = numpy_unique[0].shape[0]
    print(f"  unique rows, numpy.unique exact: {exact_count:>10,}   {t_numpy * 1e3:8.1f} ms")
    print(f"  largest weld distance:           {np.abs(soup - unique[inverse]).max():10.2e}")
    print(
        f"  kedo sort is {t_numpy / t_sort:.1f}x the speed of numpy.unique "
        "(which cannot see through the noise)"
    )
    assert np.array_equal(unique, soup[index])


if __name__ == "__main__":
    main()
