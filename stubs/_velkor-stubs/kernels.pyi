"""Type information for `_velkor.kernels`, the twenty structural-geology kernels.

Angles are in degrees, vectors in (East, North, Up). Array arguments must
already have the dtype and number of dimensions given here: nothing is cast.

The TypedDict classes describe the dicts the functions return, with their keys
in the order the dicts hold them. They exist for type checkers only: import
them inside an `if typing.TYPE_CHECKING:` block.
"""

from collections.abc import Sequence
from typing import Any, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "intersect_plane_grid",
    "intersect_mesh_grid",
    "best_fit_planes",
    "plane_normal",
    "rake_to_slickenline",
    "solve_stress",
    "stress_tensor",
    "score_stress",
    "invert_stress",
    "inversion_candidate_count",
    "covering_grid",
    "kernel_profile",
    "density_field",
    "stress_field",
    "field_cost",
    "ptb_axes",
    "kagan_angles",
    "kagan_angle_matrix",
    "focal_mechanism_rotations",
    "rotate_focal_mechanism",
]

# Short vectors are read element by element, so a list, a tuple or a 1-D
# NumPy array all do.
_FloatVector = Sequence[float] | NDArray[np.floating[Any]] | NDArray[np.integer[Any]]
_CountVector = Sequence[int] | NDArray[np.integer[Any]]

_Float64Array = NDArray[np.float64]
_Int64Array = NDArray[np.int64]
_BoolArray = NDArray[np.bool_]

_Vector = tuple[float, float, float]
_Axis = tuple[float, float]

# ---------------------------------------------------------------------------
# Result layouts
# ---------------------------------------------------------------------------

class MeshIntersectionStats(TypedDict):
    """Counters of one `intersect_mesh_grid` run."""

    mesh_triangles: int
    degenerate_mesh_triangles: int
    mesh_triangles_outside_grid: int
    dem_triangle_pairs: int
    coplanar_sides: int
    duplicate_crossings: int

class BestFitField(TypedDict):
    """Aligned per-cell arrays of `best_fit_planes`, one row per fitted cell."""

    cell_centres: _Float64Array  # (M, 2): x, y
    attitudes: _Float64Array  # (M, 2): dip direction, dip angle
    centroids: _Float64Array  # (M, 3)
    singular_values: _Float64Array  # (M, 3): s1 >= s2 >= s3
    cells: _Int64Array  # (M, 2): row, column
    point_counts: _Int64Array  # (M,)
    collinearity: _Float64Array  # (M,): -log10(s2 / s1)
    rms_distance: _Float64Array  # (M,)

class BestFitStats(TypedDict):
    """What `best_fit_planes` did with the points and cells."""

    input_points: int
    distinct_points: int
    non_empty_cells: int
    cells_fitted: int
    cells_too_few_points: int
    cells_collinear: int
    grid_rows: int
    grid_columns: int
    grid_x_min: float
    grid_y_max: float
    cell_size: float

class SlipPrediction(TypedDict):
    """One forward solution of `solve_stress`; the last four entries are None
    when the shear stress does not clear the threshold."""

    is_valid: bool
    traction: _Vector
    traction_magnitude: float
    normal_stress: _Vector
    normal_stress_magnitude: float
    shear_stress: _Vector
    shear_stress_magnitude: float
    theoretical_rake: float | None
    theoretical_slickenline: _Axis | None
    slip_tendency: float | None
    deformation_index: float | None

class StressScore(TypedDict):
    """The fit of one tensor on a fault set (`score_stress`)."""

    mean_misfit_degrees: float | None
    faults_scored: int
    misfits: _Float64Array  # (N,), NaN where a fault could not be scored

class ScoredTensor(TypedDict):
    """One candidate tensor of `invert_stress`, axes as (trend, plunge)."""

    s1: _Axis
    s2: _Axis
    s3: _Axis
    phi: float
    mean_misfit_degrees: float
    faults_scored: int
    effective_sample_size: float

class StressInversion(TypedDict):
    """The best tensor of `invert_stress`, its runners-up (at most five, in
    rank order) and the candidate counts."""

    best: ScoredTensor
    runners_up: list[ScoredTensor]
    candidates_tried: int
    candidates_scored: int

class CoveringGrid(TypedDict):
    """A grid from `covering_grid`: origin, spacing and counts are the
    arguments the field functions take."""

    origin: list[float]
    spacing: list[float]
    counts: list[int]
    node_count: int

class KernelProfile(TypedDict):
    """What a kernel does (`kernel_profile`); `reach` is None for the plain
    Gaussian, which never stops."""

    reach: list[float] | None
    peak: float
    retained_mass: float

class StressFieldArrays(TypedDict):
    """Per-node arrays of `stress_field`, in the grid's flat order."""

    positions: _Float64Array  # (nodes, D)
    density: _Float64Array  # (nodes,)
    support: _Float64Array  # (nodes,)
    faults_within_reach: _Int64Array  # (nodes,)
    has_solution: _BoolArray  # (nodes,)
    s1: _Float64Array  # (nodes, 2)
    s2: _Float64Array  # (nodes, 2)
    s3: _Float64Array  # (nodes, 2)
    phi: _Float64Array  # (nodes,)
    misfit_degrees: _Float64Array  # (nodes,)
    faults_scored: _Int64Array  # (nodes,)
    effective_sample_size: _Float64Array  # (nodes,)
    runner_up_misfit_degrees: _Float64Array  # (nodes,)
    runner_up_s1_degrees: _Float64Array  # (nodes,)

class StressFieldStats(TypedDict):
    """Node counts of `stress_field` and the grid, for the reshape."""

    nodes: int
    nodes_inverted: int
    nodes_below_threshold: int
    nodes_without_data: int
    grid_origin: list[float]
    grid_spacing: list[float]
    grid_counts: list[int]

class FieldCost(TypedDict):
    """What `stress_field` would cost, in forward solutions (`field_cost`)."""

    nodes: int
    nodes_to_invert: int
    forward_solutions: int

class KinematicAxes(TypedDict):
    """P, T and B axes of `ptb_axes`, each (N, 2) of trend, plunge."""

    p: _Float64Array
    t: _Float64Array
    b: _Float64Array

class MechanismRotations(TypedDict):
    """The four rotations of `focal_mechanism_rotations`, each array (4,),
    smallest angle (the Kagan angle) first."""

    trend: _Float64Array
    plunge: _Float64Array
    angle_degrees: _Float64Array

class RotatedMechanism(TypedDict):
    """The turned mechanism of `rotate_focal_mechanism`, axes as (trend, plunge)."""

    p: _Axis
    t: _Axis
    b: _Axis

# ---------------------------------------------------------------------------
# Surfaces against topography
# ---------------------------------------------------------------------------

def intersect_plane_grid(
    dem: _Float64Array,
    geotransform: _FloatVector,
    src_pt: _FloatVector,
    dip_dir_degr: float,
    dip_angle_degr: float,
    nodata: float | None = ...,
) -> tuple[_Float64Array, _Int64Array]:
    """Intersect an unbounded geological plane with a DEM.

    Returns (points, segments): (N, 3) vertices and (M, 2) chords between them.
    """

def intersect_mesh_grid(
    dem: _Float64Array,
    geotransform: _FloatVector,
    vertices: _Float64Array,
    faces: _Int64Array,
    nodata: float | None = ...,
) -> tuple[_Float64Array, _Float64Array, _Int64Array, MeshIntersectionStats]:
    """Intersect a triangulated surface with a DEM.

    Returns (points, attitudes, mesh_triangles, stats), the arrays (N, 3),
    (N, 2) and (N,) aligned row for row.
    """

def best_fit_planes(
    points: _Float64Array,
    cell_size: float,
    coincidence_distance: float = ...,
    max_collinearity: float = ...,
) -> tuple[BestFitField, BestFitStats] | None:
    """Fit a geological plane in every cell of a regular grid over a set of located points.

    Returns None when `points` has no rows.
    """

# ---------------------------------------------------------------------------
# Planes and slickenlines
# ---------------------------------------------------------------------------

def plane_normal(dip_dir_degr: float, dip_angle_degr: float) -> list[float]:
    """Upward-pointing unit normal of a geological plane, in (East, North, Up)."""

def rake_to_slickenline(strike_rhr_degr: float, dip_angle_degr: float, rake_degr: float) -> _Axis:
    """The trend/plunge of a slickenline of the given rake, on a plane of the given strike (right-hand rule) and dip."""

# ---------------------------------------------------------------------------
# Stress from fault slip
# ---------------------------------------------------------------------------

def solve_stress(
    s1_trend_degr: float,
    s1_plunge_degr: float,
    s3_trend_degr: float,
    s3_plunge_degr: float,
    phi: float,
    strike_rhr_degr: float,
    dip_angle_degr: float,
    sigma1: float = ...,
    sigma3: float = ...,
    shear_threshold: float = ...,
) -> SlipPrediction:
    """The direct (forward) Wallace-Bott problem: resolve a reduced stress tensor onto one fault plane, predicting the slip it drives."""

def stress_tensor(
    s1_trend_degr: float,
    s1_plunge_degr: float,
    s3_trend_degr: float,
    s3_plunge_degr: float,
    phi: float,
    sigma1: float = ...,
    sigma3: float = ...,
) -> _Float64Array:
    """The reduced stress tensor itself, as a 3x3 array in (East, North, Up)."""

def score_stress(
    s1_trend_degr: float,
    s1_plunge_degr: float,
    s3_trend_degr: float,
    s3_plunge_degr: float,
    phi: float,
    faults: _Float64Array,
    senses: _BoolArray | None = ...,
) -> StressScore:
    """Score one given tensor against a set of faults, without searching for it."""

def invert_stress(
    faults: _Float64Array,
    senses: _BoolArray | None = ...,
    weights: _Float64Array | None = ...,
    angle_step_degrees: float = ...,
    phi_step: float = ...,
) -> StressInversion | None:
    """The inverse Wallace-Bott problem: recover the reduced stress tensor that best explains a set of faults and the slip observed on them.

    Returns None when no candidate could be scored (no faults, or no weight).
    """

def inversion_candidate_count(angle_step_degrees: float = ..., phi_step: float = ...) -> int:
    """How many candidate tensors `invert_stress` would visit on a given grid."""

# ---------------------------------------------------------------------------
# Spatial fields
# ---------------------------------------------------------------------------

def covering_grid(points: _Float64Array, spacing: _FloatVector, margin: float = ...) -> CoveringGrid:
    """A grid covering a set of points, with room around them."""

def kernel_profile(bandwidth: _FloatVector, kernel: str = ..., truncation: float = ...) -> KernelProfile:
    """What a kernel does, before any data are put through it."""

def density_field(
    points: _Float64Array,
    origin: _FloatVector,
    spacing: _FloatVector,
    counts: _CountVector,
    bandwidth: _FloatVector,
    kernel: str = ...,
    truncation: float = ...,
) -> _Float64Array:
    """Kernel density over located points, at every node of a grid.

    One value per node in flat order (first axis fastest).
    """

def stress_field(
    positions: _Float64Array,
    faults: _Float64Array,
    origin: _FloatVector,
    spacing: _FloatVector,
    counts: _CountVector,
    bandwidth: _FloatVector,
    senses: _BoolArray | None = ...,
    kernel: str = ...,
    truncation: float = ...,
    min_support: float = ...,
    angle_step_degrees: float = ...,
    phi_step: float = ...,
) -> tuple[StressFieldArrays, StressFieldStats]:
    """A stress tensor at every node of a grid, with the density of the data that produced it."""

def field_cost(
    positions: _Float64Array,
    faults: _Float64Array,
    origin: _FloatVector,
    spacing: _FloatVector,
    counts: _CountVector,
    bandwidth: _FloatVector,
    senses: _BoolArray | None = ...,
    kernel: str = ...,
    truncation: float = ...,
    min_support: float = ...,
    angle_step_degrees: float = ...,
    phi_step: float = ...,
) -> FieldCost:
    """What `stress_field` would cost, measured rather than guessed."""

# ---------------------------------------------------------------------------
# Focal mechanisms
# ---------------------------------------------------------------------------

def ptb_axes(faults: _Float64Array, senses: _BoolArray | None = ...) -> KinematicAxes:
    """The P, T and B kinematic axes of a set of faults."""

def kagan_angles(first: _Float64Array, second: _Float64Array) -> _Float64Array:
    """The Kagan angle between mechanisms, pair by pair."""

def kagan_angle_matrix(mechanisms: _Float64Array) -> _Float64Array:
    """Every Kagan angle in a catalogue, as an (N, N) matrix."""

def focal_mechanism_rotations(
    first_p_trend: float,
    first_p_plunge: float,
    first_t_trend: float,
    first_t_plunge: float,
    second_p_trend: float,
    second_p_plunge: float,
    second_t_trend: float,
    second_t_plunge: float,
) -> MechanismRotations:
    """All four rotations that carry one focal mechanism onto another."""

def rotate_focal_mechanism(
    p_trend: float,
    p_plunge: float,
    t_trend: float,
    t_plunge: float,
    axis_trend: float,
    axis_plunge: float,
    angle_degrees: float,
) -> RotatedMechanism:
    """Turn a focal mechanism about an axis."""
