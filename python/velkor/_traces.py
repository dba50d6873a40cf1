"""Joining intersection crossings into polylines.

The plane kernel returns chords between shared vertices: a chord lies in one
DEM cell and each vertex sits on one cell edge, which at most two cells share,
so a vertex ends at most two chords and the chords form simple paths and rings.

The mesh kernel returns loose crossings: for each mesh triangle, the points
where the DEM's triangulated surface crosses that triangle's plane on a DEM
triangle side, kept when they fall inside the mesh triangle. Two crossings of
one mesh triangle on two sides of one DEM triangle bound a piece of the trace
that lies in both. Where the trace leaves the mesh triangle inside a DEM
triangle the crossing is a loose end, and the trace goes on through one or
more neighbouring mesh triangles to a loose end of another one in the same DEM
triangle; a short walk across the mesh finds it. Crossings of several mesh
triangles at one place (a mesh edge meeting a DEM side) are one site.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

Float64Array = NDArray[np.float64]
Int64Array = NDArray[np.int64]

# Where crossings are matched to the DEM's nodes and sides, in units of one
# pixel: far above the rounding of a map coordinate, far below any real gap.
INDEX_TOLERANCE = 1e-6
# The kernels count a node lying exactly on a plane as above it.
_TINY = 2.2250738585072014e-308
_NODE, _ROW_SIDE, _COLUMN_SIDE, _DIAGONAL, _UNPLACED = 0, 1, 2, 3, 4


def chain(segments: Int64Array) -> list[list[int]]:
    """Vertex sequences of the maximal paths and rings through `segments`.

    Paths run through vertices that end exactly two segments and stop at any
    other (an end, or a branch a clean trace never has). The paths come in the
    order of their lowest segment, each walked so that its lowest segment runs
    from its first vertex to its second; a ring starts at that first vertex
    and repeats it at the end.
    """
    pairs = np.asarray(segments, dtype=np.int64).reshape(-1, 2)
    count = pairs.shape[0]
    if count == 0:
        return []
    ends = pairs.ravel()
    order = np.argsort(ends, kind="stable")
    sorted_ends = ends[order]
    starts = np.searchsorted(sorted_ends, sorted_ends, side="left")
    stops = np.searchsorted(sorted_ends, sorted_ends, side="right")
    through = (stops - starts) == 2
    # next_slot[s]: the other segment end at the vertex of end slot s, when
    # exactly two ends meet there; -1 where the path must stop.
    next_slot = np.full(ends.shape[0], -1, dtype=np.int64)
    first = np.flatnonzero(through & (starts == np.arange(ends.shape[0])))
    next_slot[order[first]] = order[first + 1]
    next_slot[order[first + 1]] = order[first]
    links = next_slot.tolist()
    vertex = ends.tolist()
    visited = bytearray(count)
    paths: list[list[int]] = []
    for seed in range(count):
        if visited[seed]:
            continue
        visited[seed] = 1
        forward = [vertex[2 * seed], vertex[2 * seed + 1]]
        slot, closed = 2 * seed + 1, False
        while (step := links[slot]) >= 0:
            if visited[step >> 1]:
                closed = True
                break
            visited[step >> 1] = 1
            slot = step ^ 1
            forward.append(vertex[slot])
        if not closed:
            backward: list[int] = []
            slot = 2 * seed
            while (step := links[slot]) >= 0 and not visited[step >> 1]:
                visited[step >> 1] = 1
                slot = step ^ 1
                backward.append(vertex[slot])
            forward = backward[::-1] + forward
        paths.append(forward)
    return paths


@dataclass(frozen=True)
class Raster:
    """What the mesh chaining needs to know of a DEM."""

    elevation: Float64Array
    geotransform: tuple[float, float, float, float, float, float]
    nodata: float | None

    def fractional_index(self, x: Float64Array, y: Float64Array) -> tuple[Float64Array, Float64Array]:
        """(row, column) of map positions, node (r, c) at exactly (r, c)."""
        gt = self.geotransform
        det = gt[1] * gt[5] - gt[2] * gt[4]
        dx, dy = x - gt[0], y - gt[3]
        return (gt[1] * dy - gt[4] * dx) / det - 0.5, (gt[5] * dx - gt[2] * dy) / det - 0.5

    def node(self, row: int, column: int) -> tuple[float, float, float]:
        gt = self.geotransform
        x = gt[0] + (column + 0.5) * gt[1] + (row + 0.5) * gt[2]
        y = gt[3] + (column + 0.5) * gt[4] + (row + 0.5) * gt[5]
        return x, y, float(self.elevation[row, column])

    def valid_cells(self) -> NDArray[np.bool_]:
        """Cells whose four nodes hold an elevation: the only ones the kernels cut."""
        valid = np.isfinite(self.elevation)
        if self.nodata is not None:
            valid &= self.elevation != self.nodata
        return valid[:-1, :-1] & valid[:-1, 1:] & valid[1:, :-1] & valid[1:, 1:]

    def triangle_nodes(self, triangle: int) -> list[tuple[float, float, float]]:
        """Corner positions of DEM triangle 2 * cell + (0 for T1, 1 for T2), cells row-major."""
        cell, second = divmod(triangle, 2)
        row, column = divmod(cell, self.elevation.shape[1] - 1)
        if second:
            nodes = ((row + 1, column), (row, column + 1), (row + 1, column + 1))
        else:
            nodes = ((row, column), (row, column + 1), (row + 1, column))
        return [self.node(r, c) for r, c in nodes]


def place(raster: Raster, points: Float64Array) -> tuple[Int64Array, Int64Array, Int64Array, Float64Array]:
    """Kind, row, column and position along the side of each crossing.

    A crossing within `INDEX_TOLERANCE` of a node is placed on the node; else
    on the row-wise side (r, c)-(r, c+1), the column-wise side (r, c)-(r+1, c)
    or the diagonal (r, c+1)-(r+1, c) of cell (r, c) that it lies on.
    """
    rows, columns = raster.elevation.shape
    row_f, col_f = raster.fractional_index(points[:, 0], points[:, 1])
    near_row = np.abs(row_f - np.rint(row_f)) <= INDEX_TOLERANCE
    near_col = np.abs(col_f - np.rint(col_f)) <= INDEX_TOLERANCE
    total = row_f + col_f
    near_diagonal = np.abs(total - np.rint(total)) <= INDEX_TOLERANCE
    kind = np.full(points.shape[0], _UNPLACED, dtype=np.int64)
    kind[near_diagonal] = _DIAGONAL
    kind[near_col] = _COLUMN_SIDE
    kind[near_row] = _ROW_SIDE
    kind[near_row & near_col] = _NODE
    with np.errstate(invalid="ignore"):
        floor_row = np.clip(np.floor(row_f), 0, max(rows - 2, 0))
        floor_col = np.clip(np.floor(col_f), 0, max(columns - 2, 0))
        row = np.where((kind == _NODE) | (kind == _ROW_SIDE), np.rint(row_f), floor_row)
        col = np.where((kind == _NODE) | (kind == _COLUMN_SIDE), np.rint(col_f), floor_col)
        col = np.where(kind == _DIAGONAL, np.rint(total) - 1.0 - row, col)
    position = np.where(kind == _ROW_SIDE, col_f, row_f)
    position[kind == _NODE] = 0.0
    unplaced = kind == _UNPLACED
    row[unplaced] = -1
    col[unplaced] = np.arange(int(unplaced.sum()))  # each an own site
    return kind, row.astype(np.int64), col.astype(np.int64), position


# The six sides that leave node (r, c), as (kind, row, column) of the side and
# the neighbour's offset, and the cells that hold the side.
_SIDES_AT_NODE = (
    (_ROW_SIDE, 0, 0, (0, 1), ((-1, 0), (0, 0))),
    (_ROW_SIDE, 0, -1, (0, -1), ((-1, -1), (0, -1))),
    (_COLUMN_SIDE, 0, 0, (1, 0), ((0, -1), (0, 0))),
    (_COLUMN_SIDE, -1, 0, (-1, 0), ((-1, -1), (-1, 0))),
    (_DIAGONAL, -1, 0, (-1, 1), ((-1, 0),)),
    (_DIAGONAL, 0, -1, (1, -1), ((0, -1),)),
)


def split_nodes(raster: Raster, kind: Int64Array, row: Int64Array, col: Int64Array, position: Float64Array,
                mesh_triangles: Int64Array, vertices: Float64Array, faces: Int64Array) -> None:
    """Give each crossing at a DEM node the side it was found on.

    A node lying on a mesh triangle's plane counts as on its normal's side,
    and every side from it to a node on the other side yields a crossing at
    the node itself. Each is the end of its own piece of trace, as a node on
    the plane is a vertex on each of its edges in the plane trace; merged
    into one, they would make false branch points. The sides are those whose
    far node lies below the plane (above, if that is the count the kernel
    found); where neither count matches, the crossings stay one site.
    """
    at_node = np.flatnonzero(kind == _NODE)
    if at_node.shape[0] == 0:
        return
    rows, columns = raster.elevation.shape
    valid = raster.valid_cells()
    order = at_node[np.lexsort((at_node, col[at_node], row[at_node], mesh_triangles[at_node]))]
    key = np.column_stack([mesh_triangles[order], row[order], col[order]])
    bounds = np.flatnonzero(np.r_[True, (key[1:] != key[:-1]).any(axis=1), True])
    for begin, end in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
        face, r, c = key[begin].tolist()
        a, b, cc = (vertices[i] for i in faces[face])
        normal = np.cross(b - a, cc - a)
        length = math.sqrt(float(normal @ normal))
        if not length > 0.0:
            continue
        nx, ny, nz = (normal / length).tolist()
        ax, ay, az = a.tolist()
        below: list[tuple[int, int, int]] = []
        rest: list[tuple[int, int, int]] = []
        for side_kind, dr, dc, (nr, nc), cells in _SIDES_AT_NODE:
            far_r, far_c = r + nr, c + nc
            if not (0 <= far_r < rows and 0 <= far_c < columns):
                continue
            if not any(0 <= r + cr < rows - 1 and 0 <= c + ccol < columns - 1 and valid[r + cr, c + ccol]
                       for cr, ccol in cells):
                continue
            x, y, z = raster.node(far_r, far_c)
            distance = (x - ax) * nx + (y - ay) * ny + (z - az) * nz
            side = (side_kind, r + dr, c + dc)
            (below if distance < 0.0 else rest).append(side)
        members = order[begin:end]
        chosen = below if len(below) == members.shape[0] else rest if len(rest) == members.shape[0] else None
        if chosen is None:
            continue
        for member, (side_kind, side_r, side_c) in zip(members.tolist(), sorted(chosen)):
            kind[member], row[member], col[member] = side_kind, side_r, side_c
            position[member] = float(c if side_kind == _ROW_SIDE else r)


def sites(kind: Int64Array, row: Int64Array, col: Int64Array, position: Float64Array) -> Int64Array:
    """Site of each crossing: one per node, one per distinct place on a side.

    Sites are numbered in the order of their first crossing.
    """
    count = kind.shape[0]
    if count == 0:
        return np.zeros(0, dtype=np.int64)
    order = np.lexsort((np.arange(count), position, col, row, kind))
    k, r, c, p = kind[order], row[order], col[order], position[order]
    new = np.ones(count, dtype=bool)
    new[1:] = (k[1:] != k[:-1]) | (r[1:] != r[:-1]) | (c[1:] != c[:-1]) | ~(np.abs(p[1:] - p[:-1])
                                                                             <= INDEX_TOLERANCE)
    group = np.cumsum(new) - 1
    first_row = np.full(int(group[-1]) + 1, count, dtype=np.int64)
    np.minimum.at(first_row, group, order)
    rank = np.empty_like(first_row)
    rank[np.argsort(first_row, kind="stable")] = np.arange(first_row.shape[0])
    site = np.empty(count, dtype=np.int64)
    site[order] = rank[group]
    return site


def _incidence(kind: Int64Array, row: Int64Array, col: Int64Array,
               shape: tuple[int, int]) -> tuple[Int64Array, Int64Array]:
    """(crossing, DEM triangle) pairs: the triangles whose boundary holds each crossing."""
    rows, columns = shape
    cells_across = columns - 1
    crossing_parts, triangle_parts = [], []
    index = np.arange(kind.shape[0], dtype=np.int64)

    def add(mask: NDArray[np.bool_], cell_row: Int64Array, cell_col: Int64Array, second: int) -> None:
        inside = mask & (cell_row >= 0) & (cell_row <= rows - 2) & (cell_col >= 0) & (cell_col <= columns - 2)
        crossing_parts.append(index[inside])
        triangle_parts.append((cell_row[inside] * cells_across + cell_col[inside]) * 2 + second)

    node, along_row, along_col, diagonal = (kind == _NODE, kind == _ROW_SIDE, kind == _COLUMN_SIDE,
                                            kind == _DIAGONAL)
    add(along_row, row - 1, col, 1)
    add(along_row, row, col, 0)
    add(along_col, row, col - 1, 1)
    add(along_col, row, col, 0)
    add(diagonal, row, col, 0)
    add(diagonal, row, col, 1)
    add(node, row, col, 0)
    add(node, row, col - 1, 0)
    add(node, row, col - 1, 1)
    add(node, row - 1, col, 0)
    add(node, row - 1, col, 1)
    add(node, row - 1, col - 1, 1)
    return np.concatenate(crossing_parts), np.concatenate(triangle_parts)


class _Mesh:
    """Mesh triangles with their neighbours across each edge, vertices welded by position."""

    def __init__(self, vertices: Float64Array, faces: Int64Array) -> None:
        self.vertices = vertices
        self.faces = faces
        _, welded = np.unique(vertices, axis=0, return_inverse=True)
        corners = welded.reshape(-1)[faces]
        face_count = faces.shape[0]
        # Edge k of a face is the one opposite its corner k.
        low = np.minimum(corners[:, [1, 2, 0]], corners[:, [2, 0, 1]]).ravel()
        high = np.maximum(corners[:, [1, 2, 0]], corners[:, [2, 0, 1]]).ravel()
        slot = np.arange(3 * face_count, dtype=np.int64)
        order = np.lexsort((slot, high, low))
        low, high, slot = low[order], high[order], slot[order]
        same = (low[1:] == low[:-1]) & (high[1:] == high[:-1]) & (low[1:] != high[1:])
        start = np.ones(low.shape[0], dtype=bool)
        start[1:] = ~same
        run = np.cumsum(start) - 1
        run_length = np.bincount(run)
        # Only an edge shared by exactly two faces leads anywhere; three or more is a seam.
        pair = np.flatnonzero(start[:-1] & same & (run_length[run[:-1]] == 2))
        self.neighbour = np.full(3 * face_count, -1, dtype=np.int64)
        self.neighbour[slot[pair]] = slot[pair + 1]
        self.neighbour[slot[pair + 1]] = slot[pair]
        self.neighbour_list = self.neighbour.tolist()
        self._corners = vertices.tolist()
        self._faces = faces.tolist()
        self._planes: dict[int, _Plane | None] = {}

    def plane(self, face: int) -> _Plane | None:
        """Corner, edges, unit normal and Gram terms of a face; None when degenerate."""
        if face not in self._planes:
            a, b, c = (self._corners[i] for i in self._faces[face])
            e1 = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
            e2 = (c[0] - a[0], c[1] - a[1], c[2] - a[2])
            normal = _cross(e1, e2)
            length = math.sqrt(_dot(normal, normal))
            d00, d01, d11 = _dot(e1, e1), _dot(e1, e2), _dot(e2, e2)
            denominator = d00 * d11 - d01 * d01
            if length > 1e-12 * max(d00, d11) and denominator > 0.0:
                unit = (normal[0] / length, normal[1] / length, normal[2] / length)
                self._planes[face] = _Plane(tuple(a), e1, e2, unit, d00, d01, d11, denominator)
            else:
                self._planes[face] = None
        return self._planes[face]


def _dot(u: Sequence[float], v: Sequence[float]) -> float:
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]


def _cross(u: Sequence[float], v: Sequence[float]) -> tuple[float, float, float]:
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


@dataclass(frozen=True)
class _Plane:
    origin: tuple[float, ...]
    e1: tuple[float, float, float]
    e2: tuple[float, float, float]
    normal: tuple[float, float, float]
    d00: float
    d01: float
    d11: float
    denominator: float

    def barycentric(self, point: Sequence[float]) -> tuple[float, float, float]:
        v = (point[0] - self.origin[0], point[1] - self.origin[1], point[2] - self.origin[2])
        d20, d21 = _dot(v, self.e1), _dot(v, self.e2)
        beta = (self.d11 * d20 - self.d01 * d21) / self.denominator
        gamma = (self.d00 * d21 - self.d01 * d20) / self.denominator
        return 1.0 - beta - gamma, beta, gamma

    def cut(self, corners: Sequence[Sequence[float]]) -> list[tuple[float, float, float]] | None:
        """The segment where the plane cuts a DEM triangle, found as the kernel finds crossings."""
        signed = []
        for corner in corners:
            distance = _dot((corner[0] - self.origin[0], corner[1] - self.origin[1], corner[2] - self.origin[2]),
                            self.normal)
            signed.append(_TINY if distance == 0.0 else distance)
        ends = []
        for first, second in ((0, 1), (1, 2), (2, 0)):
            if (signed[first] > 0.0) != (signed[second] > 0.0):
                t = signed[first] / (signed[first] - signed[second])
                p, q = corners[first], corners[second]
                ends.append((p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1]), p[2] + t * (q[2] - p[2])))
        return ends if len(ends) == 2 else None


def _distance(p: Sequence[float], q: Sequence[float]) -> float:
    return math.sqrt((p[0] - q[0]) ** 2 + (p[1] - q[1]) ** 2 + (p[2] - q[2]) ** 2)


def _walk(mesh: _Mesh, face: int, start: Sequence[float], corners: Sequence[Sequence[float]],
          loose: dict[int, int], crossed: set[int], limit: int) -> int | None:
    """Follow the trace inside one DEM triangle from a loose end of `face`.

    Returns the site of the loose end where it comes back to the DEM
    triangle's boundary, or None where it stops at the mesh's boundary, at a
    seam, or where rounding leaves the route unclear.
    """
    point, entry = tuple(start), -1
    for _ in range(limit):
        plane = mesh.plane(face)
        segment = None if plane is None else plane.cut(corners)
        if plane is None or segment is None:
            return None
        if entry < 0:  # leave the loose end towards the far end of the cut
            target = max(segment, key=lambda end: _distance(end, point))
        else:  # go into the face: towards the corner opposite the edge crossed
            target = max(segment, key=lambda end: plane.barycentric(end)[entry])
        here, there = plane.barycentric(point), plane.barycentric(target)
        leave, leave_at = -1, math.inf
        for corner in range(3):
            if corner != entry and there[corner] < -1e-12:
                at = here[corner] / (here[corner] - there[corner])
                if at < leave_at:
                    leave, leave_at = corner, at
        if leave < 0:
            return None
        at = max(leave_at, 0.0)
        point = tuple(p + at * (q - p) for p, q in zip(point, target))
        across = mesh.neighbour_list[3 * face + leave]
        if across < 0:
            return None
        face, entry = divmod(across, 3)
        if face in loose:
            return loose[face]
        if face in crossed:
            return None
    return None


def mesh_links(raster: Raster, points: Float64Array, mesh_triangles: Int64Array, vertices: Float64Array,
               faces: Int64Array) -> tuple[Int64Array, Int64Array]:
    """Site of every crossing and the links between sites, (L, 2) with the lower site first."""
    kind, row, col, position = place(raster, points)
    split_nodes(raster, kind, row, col, position, mesh_triangles, vertices, faces)
    site = sites(kind, row, col, position)
    if site.shape[0] == 0:
        return site, np.zeros((0, 2), dtype=np.int64)
    crossing, triangle = _incidence(kind, row, col, raster.elevation.shape)
    valid = raster.valid_cells().ravel()
    keep = valid[triangle // 2]
    crossing, triangle = crossing[keep], triangle[keep]
    face = mesh_triangles[crossing]
    order = np.lexsort((site[crossing], triangle, face))
    crossing, triangle, face = crossing[order], triangle[order], face[order]
    here = site[crossing]
    count = here.shape[0]
    new_group = np.ones(count, dtype=bool)
    new_group[1:] = (face[1:] != face[:-1]) | (triangle[1:] != triangle[:-1])
    new_site = new_group.copy()
    new_site[1:] |= here[1:] != here[:-1]
    group = np.cumsum(new_group) - 1
    distinct = np.bincount(group, weights=new_site).astype(np.int64)
    first = np.flatnonzero(new_group)
    last = np.r_[first[1:], count] - 1
    # One mesh triangle with two sites in a DEM triangle: the piece of trace between them.
    pair = distinct == 2
    pieces = [np.column_stack([here[first[pair]], here[last[pair]], triangle[first[pair]]])]
    for index in np.flatnonzero(distinct > 2).tolist():
        # Near-coincident sites from rounding: joined in order along their spread.
        members = np.unique(here[first[index]:last[index] + 1])
        rows_of = np.array([crossing[first[index] + int(np.argmax(here[first[index]:last[index] + 1] == m))]
                            for m in members])
        spread = points[rows_of]
        along = members[np.argsort(spread[:, int(np.argmax(np.ptp(spread, axis=0)))], kind="stable")]
        pieces.append(np.column_stack([along[:-1], along[1:], np.full(along.shape[0] - 1, triangle[first[index]])]))
    piece = np.concatenate(pieces)
    triangle_count = 2 * max(raster.elevation.shape[0] - 1, 1) * max(raster.elevation.shape[1] - 1, 1)
    linked = np.concatenate([piece[:, 0] * triangle_count + piece[:, 2], piece[:, 1] * triangle_count + piece[:, 2]])
    # One site alone: a loose end, unless another mesh triangle carries the trace on from
    # it in that DEM triangle. A node alone is the plane touching the DEM there.
    single = first[(distinct == 1) & (kind[crossing[first]] != _NODE)]
    single = single[~np.isin(here[single] * triangle_count + triangle[single], linked)]
    links = {(min(a, b), max(a, b)) for a, b in piece[:, :2].tolist()}
    if single.shape[0]:
        loose_ends = list(zip(triangle[single].tolist(), face[single].tolist(), here[single].tolist(),
                              crossing[single].tolist()))
        links |= _bridges(raster, loose_ends, points, vertices, faces, triangle, face)
    ordered = sorted(links)
    return site, np.array(ordered, dtype=np.int64).reshape(-1, 2)


def _bridges(raster: Raster, loose_ends: list[tuple[int, int, int, int]], points: Float64Array,
             vertices: Float64Array, faces: Int64Array, triangle: Int64Array,
             face: Int64Array) -> set[tuple[int, int]]:
    """Links between loose ends of the same DEM triangle that the mesh joins."""
    by_triangle: dict[int, dict[int, int]] = {}
    start_of: dict[tuple[int, int], int] = {}
    for dem_triangle, mesh_face, site, row in loose_ends:
        by_triangle.setdefault(dem_triangle, {}).setdefault(mesh_face, site)
        start_of.setdefault((dem_triangle, mesh_face), row)
    crossed_faces: dict[int, set[int]] = {}
    for dem_triangle, mesh_face in zip(triangle.tolist(), face.tolist()):
        if dem_triangle in by_triangle:
            crossed_faces.setdefault(dem_triangle, set()).add(mesh_face)
    mesh = _Mesh(vertices, faces)
    limit = faces.shape[0] + 1
    found: set[tuple[int, int]] = set()
    for dem_triangle in sorted(by_triangle):
        loose = by_triangle[dem_triangle]
        if len(set(loose.values())) < 2:
            continue  # a single loose end is where the trace ends
        corners = raster.triangle_nodes(dem_triangle)
        done: set[int] = set()
        for mesh_face, site in sorted(loose.items()):
            if site in done:
                continue
            start = points[start_of[(dem_triangle, mesh_face)]].tolist()
            others = {f: s for f, s in loose.items() if s != site}
            other = _walk(mesh, mesh_face, start, corners, others, crossed_faces[dem_triangle], limit)
            if other is not None and other not in done:
                found.add((min(site, other), max(site, other)))
                done.update((site, other))
    return found
