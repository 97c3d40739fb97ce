"""Draw the groups that kedo's two methods find on a small noisy 2-D point set.

Left, the sort method: a group is a run of the sorted rows that match its head
within the tolerance in every column, so its region is a square of half-side
`tolerance` around the head. Right, the Uff method: a group collects, in
ascending order of the row sum, the rows less than `tolerance` from its anchor
(a circle) whose row sum lies in [anchor's sum, anchor's sum + tolerance), a
diagonal band; the shaded part of each circle is where rows can join.

Each representative is drawn as a star, members joined to it by a line. The
script checks that every member lies inside its representative's region, so a
change in kedo's semantics fails here before the picture goes stale.

    python docs/semantics_picture.py [--out docs/semantics.png]
"""

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Circle, Polygon, Rectangle  # noqa: E402

import kedo  # noqa: E402

TOLERANCE = 1.0


def point_set() -> np.ndarray:
    """Noisy copies of a few sites, and a chain whose links are shorter than the tolerance."""
    rng = np.random.default_rng(3)
    sites = np.array([[1.0, 1.2], [4.2, 1.0], [1.4, 4.4], [5.2, 4.6], [3.0, 3.0]])
    copies = np.repeat(sites, [4, 3, 3, 4, 2], axis=0)
    copies = copies + rng.normal(scale=0.22, size=copies.shape)
    chain = np.stack([np.linspace(0.6, 5.4, 8), np.full(8, 6.6)], axis=1)
    chain = chain + rng.normal(scale=0.05, size=chain.shape)
    return np.concatenate([copies, chain])


def draw_groups(ax, points, index, inverse, region) -> None:
    colors = plt.get_cmap("tab10")
    for group, row in enumerate(index):
        color = colors(group % 10)
        members = points[inverse == group]
        ax.add_patch(region(points[row], color))
        for member in members:
            ax.plot(*np.stack([points[row], member]).T, color=color, lw=0.8, alpha=0.7)
        ax.scatter(*members.T, s=22, color=color, zorder=3)
        ax.scatter(*points[row], s=170, marker="*", color=color, edgecolor="black", zorder=4)
    ax.set_aspect("equal")
    ax.set_xlim(-0.8, 6.8)
    ax.set_ylim(-0.5, 7.8)
    ax.grid(alpha=0.25)


def square(center, color):
    corner = center - TOLERANCE
    return Rectangle(corner, 2 * TOLERANCE, 2 * TOLERANCE, fc=color, ec=color, alpha=0.15)


def uff_region(ax):
    def region(center, color):
        circle = Circle(center, TOLERANCE, fill=False, ec=color, ls="--", lw=1)
        ax.add_patch(circle)
        # Band of row sums [s, s + tolerance) around the anchor, cut by its circle.
        s = center.sum()
        far = 10.0
        band = Polygon(
            [
                (-far, s + far),
                (far, s - far),
                (far, s + TOLERANCE - far),
                (-far, s + TOLERANCE + far),
            ],
            fc=color,
            alpha=0.25,
        )
        ax.add_patch(band)
        band.set_clip_path(circle)
        return Circle(center, 0, fill=False)

    return region


def check(points, index, inverse, inside) -> None:
    """Every row lies in its representative's region; representatives are input rows."""
    for row, group in enumerate(inverse):
        assert inside(points[index[group]], points[row]), (row, group)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--out", type=pathlib.Path, default=pathlib.Path(__file__).with_name("semantics.png")
    )
    args = parser.parse_args()

    points = point_set()
    sort = kedo.unique_rows(points, TOLERANCE, False, "sort")
    uff = kedo.unique_rows(points, TOLERANCE, False, "a")
    check(points, sort[1], sort[2], lambda head, row: np.abs(row - head).max() <= TOLERANCE)
    check(
        points,
        uff[1],
        uff[2],
        lambda anchor, row: (
            np.hypot(*(row - anchor)) < TOLERANCE and 0 <= row.sum() - anchor.sum() < TOLERANCE
        ),
    )

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 6), constrained_layout=True)
    draw_groups(left, points, sort[1], sort[2], square)
    left.set_title(
        f"sort method: {len(sort[1])} groups from {len(points)} rows\n"
        "every column within the tolerance of the head (square)",
        fontsize=10,
    )
    draw_groups(right, points, uff[1], uff[2], uff_region(right))
    right.set_title(
        f"Uff method: {len(uff[1])} groups from {len(points)} rows\n"
        "distance to the anchor < tolerance (circle), row sum in\n"
        "[anchor's sum, anchor's sum + tolerance) (shaded band)",
        fontsize=10,
    )
    fig.suptitle(
        f"kedo.unique_rows(points, tolerance={TOLERANCE:g}, sorted_index=False, method)"
        "   stars: representatives (input rows)",
        fontsize=11,
    )
    fig.savefig(args.out, dpi=90)
    print(f"wrote {args.out}: sort method {len(sort[1])} groups, Uff method {len(uff[1])} groups")


if __name__ == "__main__":
    main()
