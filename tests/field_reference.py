"""A plain-Python re-derivation of the neighbour search that every field uses:
the same cells, visiting order, kernel operations and float rounding, so that
fields can be checked bit for bit. math.exp is the platform's exp."""

import math

import numpy as np

QUARTIC = [0.9374999999999998, 0.9549296585513721, 1.0444543140405638]
GAUSS = [0.3989422804014327, 0.15915494309189535, 0.06349363593424097]


class Kernel:
    def __init__(self, bandwidth, kind="quartic", truncation=4.0):
        self.bandwidth = [float(h) for h in bandwidth]
        self.kind = kind
        self.truncation = truncation
        d = len(self.bandwidth)
        volume = self.bandwidth[0]
        for h in self.bandwidth[1:]:
            volume = volume * h
        self.norm = (QUARTIC if kind == "quartic" else GAUSS)[d - 1] / volume
        radius = 1.0 if kind == "quartic" else truncation
        self.reach = None if kind == "gaussian" else [h * radius for h in self.bandwidth]

    def weight(self, x, p):
        total = None
        for k, h in enumerate(self.bandwidth):
            u = (x[k] - p[k]) / h
            total = u * u if total is None else total + u * u
        r = math.sqrt(total)
        if self.kind == "quartic":
            return 0.0 if r > 1.0 else ((1.0 - r * r) * (1.0 - r * r)) * self.norm
        if self.kind == "truncated_gaussian" and r > self.truncation:
            return 0.0
        return math.exp((r * -0.5) * r) * self.norm


def node_positions(origin, spacing, counts):
    """Node coordinates in flat order (first axis fastest), double(i) * spacing + origin."""
    out = []
    for f in range(math.prod(counts)):
        g, p = f, []
        for k in range(len(counts)):
            p.append(float(g % counts[k]) * spacing[k] + origin[k])
            g //= counts[k]
        out.append(p)
    return out


def ordered_neighbours(points, p, kernel):
    """(index, weight) of every point reaching p with weight > 0, in visiting order:
    the 3^D cells around p's cell with the first axis offset fastest, points by index."""
    points = np.asarray(points, dtype=float)
    d = points.shape[1]
    if kernel.reach is None:
        order = range(len(points))
    else:
        if not all(math.isfinite(v) for v in p):
            return []
        finite = np.all(np.isfinite(points), axis=1)
        keys = np.floor(points / np.array(kernel.reach))
        key = [math.floor(p[k] / kernel.reach[k]) for k in range(d)]
        order, seen = [], set()
        for off in [(a, b, c) for c in (-1, 0, 1) for b in (-1, 0, 1) for a in (-1, 0, 1)]:
            off = off[:d]
            if off in seen:
                continue
            seen.add(off)
            want = np.array([key[k] + off[k] for k in range(d)], dtype=float)
            order.extend(int(j) for j in np.nonzero(finite & np.all(keys == want, axis=1))[0])
    found = []
    for j in order:
        w = kernel.weight([float(v) for v in points[j]], p)
        if w > 0.0:
            found.append((j, w))
    return found


def density_of(neighbours):
    total = -0.0
    for _, w in neighbours:
        total = total + w
    return total


def kish_of(neighbours):
    s, q = 0.0, 0.0
    for _, w in neighbours:
        s = s + w
        q = q + w * w
    return 0.0 if q <= 0.0 else (s * s) / q
