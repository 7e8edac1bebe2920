"""Draws the bench's ratios as a PNG: one bar per comparison, the target as a mark, for any
interpreter on the machine that has matplotlib (bench/bench.py picks one).

    plot.py ROWS_JSON OUTPUT_PNG
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")  # no display on a build machine
import matplotlib.pyplot as plt  # noqa: E402


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1]) as f:
        rows = json.load(f)
    labels, ratios, colours, targets = [], [], [], []
    for r in rows:
        better = "lower is better" if r["clock"] == "rss" else "higher is better"
        labels.append(f"[{r['section']}] {r['label']}  vs  {r['anchor_label']}  "
                      f"({r['clock']}, {better})")
        ratios.append(r["ratio"])
        colours.append({True: "tab:green", False: "tab:red"}.get(r["met"], "tab:gray"))
        targets.append(r["minimum"] if r["minimum"] is not None else r["maximum"])
    floor = 0.1  # a zero ratio (no growth at all) still gets a bar, without squashing the axis
    fig, ax = plt.subplots(figsize=(10, 0.3 * len(rows) + 1.2))
    y = list(range(len(rows)))[::-1]
    # Bars grow from parity (1x) so above and below the anchor read at a glance.
    shown = [max(v, floor) for v in ratios]
    ax.barh(y, [v - 1 for v in shown], left=1, color=colours)
    ax.scatter(shown, y, color=colours, s=12, zorder=3)  # a ratio of about 1x has no bar to see
    for yi, t in zip(y, targets):
        if t is not None:
            ax.plot([t, t], [yi - 0.45, yi + 0.45], color="black", linewidth=2)
    for yi, v, s in zip(y, ratios, shown):
        ax.text(s if s >= 1 else 1, yi, f" {v:.2f}x", va="center", fontsize=7)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_yticks(y)
    ax.set_yticklabels(labels, fontsize=7)
    ax.set_xscale("log")
    ax.set_ylim(-0.7, len(rows) - 0.3)
    ax.set_xlabel("ratio from best samples (time: speed / anchor's speed; rss: growth / anchor's "
                  "bytes)\nblack mark = target; green met, red missed, gray no target", fontsize=8)
    ax.set_title("_core_fips bench: ratios against the anchors, one run")
    fig.savefig(argv[2], dpi=110, bbox_inches="tight")
    shrink(argv[2])
    return 0


def shrink(path: str) -> None:
    """A few flat colours need no 24-bit pixels: a palette PNG is a quarter of the size, which
    matters for the copy committed for docs/development.md."""
    from PIL import Image  # matplotlib's own dependency

    with Image.open(path) as img:
        small = img.convert("RGB").quantize(colors=64)
    small.save(path, optimize=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
