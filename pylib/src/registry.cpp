// The table of public functions: names, parameters, docstrings and
// wrappers, in registration order. Each docstring starts with the text
// signature that inspect reads, then "\n--\n\n", then what a caller needs to
// know: units, shapes, defaults and what None or NaN mean in the result.
#include "registry.hpp"

#include "frame/guard.hpp"

namespace velkor::py {
namespace {

constexpr const char* k_intersect_plane_grid_parameters[] = {"dem", "geotransform", "src_pt", "dip_dir_degr", "dip_angle_degr", "nodata"};
constexpr const char* k_intersect_mesh_grid_parameters[] = {"dem", "geotransform", "vertices", "faces", "nodata"};
constexpr const char* k_best_fit_planes_parameters[] = {"points", "cell_size", "coincidence_distance", "max_collinearity"};
constexpr const char* k_plane_normal_parameters[] = {"dip_dir_degr", "dip_angle_degr"};
constexpr const char* k_rake_to_slickenline_parameters[] = {"strike_rhr_degr", "dip_angle_degr", "rake_degr"};
constexpr const char* k_solve_stress_parameters[] = {"s1_trend_degr", "s1_plunge_degr", "s3_trend_degr", "s3_plunge_degr", "phi", "strike_rhr_degr", "dip_angle_degr", "sigma1", "sigma3", "shear_threshold"};
constexpr const char* k_stress_tensor_parameters[] = {"s1_trend_degr", "s1_plunge_degr", "s3_trend_degr", "s3_plunge_degr", "phi", "sigma1", "sigma3"};
constexpr const char* k_score_stress_parameters[] = {"s1_trend_degr", "s1_plunge_degr", "s3_trend_degr", "s3_plunge_degr", "phi", "faults", "senses"};
constexpr const char* k_invert_stress_parameters[] = {"faults", "senses", "weights", "angle_step_degrees", "phi_step"};
constexpr const char* k_inversion_candidate_count_parameters[] = {"angle_step_degrees", "phi_step"};
constexpr const char* k_covering_grid_parameters[] = {"points", "spacing", "margin"};
constexpr const char* k_kernel_profile_parameters[] = {"bandwidth", "kernel", "truncation"};
constexpr const char* k_density_field_parameters[] = {"points", "origin", "spacing", "counts", "bandwidth", "kernel", "truncation"};
constexpr const char* k_stress_field_parameters[] = {"positions", "faults", "origin", "spacing", "counts", "bandwidth", "senses", "kernel", "truncation", "min_support", "angle_step_degrees", "phi_step"};
constexpr const char* k_field_cost_parameters[] = {"positions", "faults", "origin", "spacing", "counts", "bandwidth", "senses", "kernel", "truncation", "min_support", "angle_step_degrees", "phi_step"};
constexpr const char* k_ptb_axes_parameters[] = {"faults", "senses"};
constexpr const char* k_kagan_angles_parameters[] = {"first", "second"};
constexpr const char* k_kagan_angle_matrix_parameters[] = {"mechanisms"};
constexpr const char* k_focal_mechanism_rotations_parameters[] = {"first_p_trend", "first_p_plunge", "first_t_trend", "first_t_plunge", "second_p_trend", "second_p_plunge", "second_t_trend", "second_t_plunge"};
constexpr const char* k_rotate_focal_mechanism_parameters[] = {"p_trend", "p_plunge", "t_trend", "t_plunge", "axis_trend", "axis_plunge", "angle_degrees"};

constexpr std::array<FunctionEntry, kFunctionCount> kTable{{
    // intersect_plane_grid
    {{"intersect_plane_grid", k_intersect_plane_grid_parameters, 5},
     "intersect_plane_grid(dem, geotransform, src_pt, dip_dir_degr, dip_angle_degr, nodata=None)\n--\n\n"
     "Intersect an unbounded geological plane with a DEM.\n\n"
     "The DEM is `dem`, a C-contiguous 2-D float64 array of elevations (row 0\nfirst), placed in map coordinates by `geotransform`, the GDAL six-element\naffine transform (x0, x step per column, x step per row, y0, y step per\ncolumn, y step per row); each elevation sits at the centre of its pixel. A\nreversed, transposed or strided view is refused with a ValueError rather\nthan copied: pass numpy.ascontiguousarray(dem). Nodes whose value equals\n`nodata` (None: no nodata value), NaN or infinite nodes are void, and every\ncell that touches one is left out, so the trace stops there.\n\nThe plane passes through `src_pt`, a sequence (x, y, z) in the DEM's map\ncoordinates and elevation units, and is given by its dip direction and dip\nangle in degrees. Marching squares runs over the signed height of every node\nabove the plane; a node exactly on the plane counts as above.\n\nReturns (points, segments): `points` is a float64 (N, 3) array of (x, y, z)\nvertices, one per crossed DEM edge, linearly interpolated along the edge;\n`segments` is an int64 (M, 2) array, one row per marching-squares chord,\nholding the indices into `points` of its two ends. Neighbouring cells share\ntheir vertices, so chords chain into polylines without any tolerance\nmatching. Chords follow the cells in row-major order. When the plane misses\nthe terrain, or the DEM has fewer than two rows or columns, both arrays are\nempty, with shapes (0, 3) and (0, 2).\n\nThe elevations are copied before the interpreter lock is released; the march\nthen runs without the lock on the calling thread.",
     &intersect_plane_grid},
    // intersect_mesh_grid
    {{"intersect_mesh_grid", k_intersect_mesh_grid_parameters, 4},
     "intersect_mesh_grid(dem, geotransform, vertices, faces, nodata=None)\n--\n\n"
     "Intersect a triangulated surface with a DEM.\n\n"
     "`dem`, `geotransform` and `nodata` are as for intersect_plane_grid: a\nC-contiguous 2-D float64 DEM placed by the GDAL six-element transform at\npixel centres, nodes equal to `nodata` (None: none), NaN or infinite being\nvoid. `vertices` is a (V, 3) float64 array of (x, y, z) coordinates in the\nDEM's map and elevation units and `faces` an (F, 3) int64 array of indices\ninto it, the shape a VTK POLYDATA file gives (reading such files is left to\nthe caller). Negative or out-of-range face indices are refused with a\nValueError. Each DEM cell is split into two triangles along its diagonal,\nand every mesh triangle is cut against them.\n\nReturns (points, attitudes, mesh_triangles, stats): `points` float64 (N, 3),\nthe (x, y, z) crossings on the DEM surface; `attitudes` float64 (N, 2), the\n(dip direction, dip angle) in degrees of the mesh triangle that produced\neach point; `mesh_triangles` int64 (N,), the index in `faces` of that\ntriangle. Empty results keep their shapes (0, 3), (0, 2) and (0,). A\ncrossing that lies exactly on a mesh edge is reported once for each mesh\ntriangle that has it. `stats` is a dict of counters (Python ints):\nmesh_triangles (examined; 0 when the DEM has no cell or no valid elevation),\ndegenerate_mesh_triangles, mesh_triangles_outside_grid, dem_triangle_pairs\n(tested), coplanar_sides (DEM sides lying in a mesh triangle's plane) and\nduplicate_crossings (DEM sides met again for the same mesh triangle). The\npoints feed best_fit_planes directly.\n\nThe DEM and the mesh are copied before the interpreter lock is released; the\nintersection then runs without the lock on the calling thread.",
     &intersect_mesh_grid},
    // best_fit_planes
    {{"best_fit_planes", k_best_fit_planes_parameters, 2},
     "best_fit_planes(points, cell_size, coincidence_distance=0.1, max_collinearity=...)\n--\n\n"
     "Fit a geological plane in every cell of a regular grid over a set of located points.\n\n"
     "`points` is an (N, 3) float64 array of (x, y, z) in map units (East, North,\nUp); it need not be contiguous. A north-up grid of square cells of side\n`cell_size` is laid from the top-left corner of the points' bounding box,\nand a plane is fitted by least squares (eigenvectors of the scatter matrix)\nto the points of each cell. `cell_size` sets both the grid and the scale\nover which attitudes are averaged: too small and no cell holds three points,\ntoo large and a fold is flattened into one plane.\n\nPoints closer than `coincidence_distance` (default 0.1) to a point already\nkept are dropped first, in input order, because an intersection kernel emits\na point per crossing and a shared edge is crossed twice. `max_collinearity`\n(default 3.0) is the threshold on -log10(s2/s1) above which a cell's points\nare taken as lying along a line: every plane through that line fits equally\nwell, so its attitude would be arbitrary. `cell_size` and\n`coincidence_distance` must be positive and finite.\n\nReturns None when `points` has no rows, else (field, stats). `field` is a\ndict of aligned arrays, one row per fitted cell in row-major (row, col)\norder: cell_centres (M, 2), attitudes (M, 2) as (dip direction, dip angle)\nin degrees, centroids (M, 3), singular_values (M, 3) as s1 >= s2 >= s3,\ncells (M, 2) int64 (row, col), point_counts (M,) int64, collinearity (M,)\n(+inf for points on a line) and rms_distance (M,) = s3 / sqrt(n). Arrays\nkeep their shapes when no cell is fitted. `stats` holds input_points,\ndistinct_points, non_empty_cells, cells_fitted, cells_too_few_points,\ncells_collinear, grid_rows, grid_columns (ints) and grid_x_min, grid_y_max,\ncell_size (floats); cells_collinear is the first counter to look at when a\nfield comes back thinner than expected.\n\nThe points are copied before the interpreter lock is released; the fit then\nruns without the lock on the calling thread.",
     &best_fit_planes},
    // plane_normal
    {{"plane_normal", k_plane_normal_parameters, 2},
     "plane_normal(dip_dir_degr, dip_angle_degr)\n--\n\n"
     "Upward-pointing unit normal of a geological plane, in (East, North, Up).\n\n"
     "The plane is given by its dip direction (degrees clockwise from North) and\ndip angle (degrees below the horizontal). Returns a list [E, N, U] equal to\n(sin dip * sin dip_dir, sin dip * cos dip_dir, cos dip); the dip direction is\nused as given, so any value works. A vertical plane has a horizontal normal\npointing towards its dip direction. NaN angles give NaN components.\nNever fails on numeric input; the interpreter lock is held throughout.",
     &plane_normal},
    // rake_to_slickenline
    {{"rake_to_slickenline", k_rake_to_slickenline_parameters, 3},
     "rake_to_slickenline(strike_rhr_degr, dip_angle_degr, rake_degr)\n--\n\n"
     "The trend/plunge of a slickenline of the given rake, on a plane of the given strike (right-hand rule) and dip.\n\n"
     "All three angles are in degrees. The rake follows Aki & Richards (0\nleft-lateral, 90 reverse, +-180 right-lateral, -90 normal) and describes the\nmotion of the hanging wall relative to the foot wall, measured in the plane\nfrom the strike direction. Returns a tuple (trend, plunge) in degrees, trend\nin [0, 360). The line is directed and not folded into the lower hemisphere:\na reverse component gives a negative (upward) plunge. Strikes are taken\nmodulo 360. Never fails on numeric input; the interpreter lock is held.",
     &rake_to_slickenline},
    // solve_stress
    {{"solve_stress", k_solve_stress_parameters, 7},
     "solve_stress(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, strike_rhr_degr, dip_angle_degr, sigma1=1.0, sigma3=0.0, shear_threshold=...)\n--\n\n"
     "The direct (forward) Wallace-Bott problem: resolve a reduced stress tensor onto one fault plane, predicting the slip it drives.\n\n"
     "S1 and S3 are (trend, plunge) pairs in degrees (trend clockwise from North,\nplunge positive downward) and must be sub-orthogonal to within one degree;\nS2 completes the right-handed triad as S3 x S1. phi is the shape ratio\n(sigma2 - sigma3) / (sigma1 - sigma3), in [0, 1]. The plane is given by its\nright-hand-rule strike and dip in degrees. Stress is compression-positive and\nthe traction on the plane is -Sigma n for the upward unit normal n, so a\ncompressed plane has a negative normal stress.\n\nReturns a dict with, in this order: is_valid, traction, traction_magnitude\n(|t| signed like the normal component), normal_stress,\nnormal_stress_magnitude, shear_stress, shear_stress_magnitude (vectors as\n(E, N, U) tuples), theoretical_rake (degrees, Aki & Richards, hanging wall),\ntheoretical_slickenline ((trend, plunge), plunge negative when the hanging\nwall moves up), slip_tendency and deformation_index. The default magnitudes\nsigma1=1, sigma3=0 leave the predicted rake correct but make slip_tendency\nand deformation_index meaningless: give real magnitudes for those. The four\nprediction entries are None where the shear stress does not exceed\nshear_threshold (default 1e-5), because the plane sits on, or acutely close\nto, a principal stress axis. NaN input gives NaN vectors and is_valid False.\nRaises ValueError when S1 and S3 are not sub-orthogonal, phi is outside\n[0, 1] or sigma1 is not greater than sigma3. The interpreter lock is held.",
     &solve_stress},
    // stress_tensor
    {{"stress_tensor", k_stress_tensor_parameters, 5},
     "stress_tensor(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, sigma1=1.0, sigma3=0.0)\n--\n\n"
     "The reduced stress tensor itself, as a 3x3 array in (East, North, Up).\n\n"
     "Returns a C-ordered float64 array of shape (3, 3) whose entry [i][j] is the\ncomponent of row i, column j in (East, North, Up): sigma1 S1 S1^T +\nsigma2 S2 S2^T + sigma3 S3 S3^T with sigma2 = (1 - phi) sigma3 + phi sigma1.\nIt exists so that callers do not rebuild the right-handed triad by hand: S2\nis S3 x S1, not the other way round. S1 and S3 are (trend, plunge) pairs in\ndegrees, sub-orthogonal to within one degree and used as given (not\nre-orthogonalised). sigma1/sigma3 default to 1/0, matching solve_stress and\nthe normalisation invert_stress searches in; unlike the misfit, the matrix\nscales with them. NaN angles or magnitudes give NaN entries. Raises\nValueError for axes not sub-orthogonal, phi outside [0, 1] (NaN included) or\nsigma1 not greater than sigma3. The interpreter lock is held.",
     &stress_tensor},
    // score_stress
    {{"score_stress", k_score_stress_parameters, 6},
     "score_stress(s1_trend_degr, s1_plunge_degr, s3_trend_degr, s3_plunge_degr, phi, faults, senses=None)\n--\n\n"
     "Score one given tensor against a set of faults, without searching for it.\n\n"
     "The tensor is given by S1 and S3 as (trend, plunge) pairs in degrees and the\nshape ratio phi, with sigma1=1 and sigma3=0 (the misfit does not depend on\nthe magnitudes). faults is an (N, 4) float64 array of strike (right-hand\nrule), dip, slickenline trend and slickenline plunge in degrees; senses an\noptional (N,) bool array (True: the sense of slip is known; None or omitted:\nall known). A fault's misfit is the angle in degrees between its\nslickenline and the slip the tensor predicts on its plane; with the sense\nunknown, the smaller of the two ways along the line.\n\nReturns a dict with, in this order: mean_misfit_degrees (the unweighted mean,\nNone when no fault could be scored), faults_scored (int) and misfits (a new\n(N,) float64 array, NaN where the tensor predicts no slip on the plane or the\nfault has a non-finite angle). Raises ValueError for an invalid tensor\n(before the faults are looked at), a column count other than 4, a senses\nlength mismatch, or a slickenline more than one degree off its plane. The\ninterpreter lock is held; one forward solution per fault.",
     &score_stress},
    // invert_stress
    {{"invert_stress", k_invert_stress_parameters, 1},
     "invert_stress(faults, senses=None, weights=None, angle_step_degrees=10.0, phi_step=0.1)\n--\n\n"
     "The inverse Wallace-Bott problem: recover the reduced stress tensor that best explains a set of faults and the slip observed on them.\n\n"
     "An exhaustive grid search, not a descent: the misfit surface is not convex,\nand a set carrying two tectonic phases has two minima that both stay\nvisible. faults is an (N, 4) float64 array of strike (right-hand rule), dip,\nslickenline trend and plunge in degrees; senses an optional (N,) bool array\n(True: sense of slip known; None or omitted: all known); weights an optional\n(N,) float64 array of finite non-negative weights (only their ratios matter;\nzero leaves a fault out). Every S1 trend and plunge and every roll of S3\nabout S1 on a grid of angle_step_degrees (default 10), and every phi from 0\nto 1 by phi_step (default 0.1), is scored with sigma1=1, sigma3=0: 71280\ncandidates at the defaults (see inversion_candidate_count). Faults on which\na candidate predicts no slip, or with a non-finite angle, are not scored.\n\nReturns None when no candidate could be scored (no faults, all weights\nzero). Otherwise a dict with, in this order: best (a tensor dict),\nrunners_up (a list of up to five tensor dicts in rank order),\ncandidates_tried and candidates_scored (ints). A tensor dict holds s1, s2,\ns3 ((trend, plunge) in degrees of the unit axes, not folded: S2 and S3 may\nhave negative plunges), phi, mean_misfit_degrees, faults_scored and\neffective_sample_size (Kish, (sum w)^2 / sum w^2). Candidates rank by mean\nmisfit, then larger effective sample size, then enumeration order. Raises\nValueError for steps that are not positive finite numbers (checked first),\nthen for the faults, senses and weights. The interpreter lock is released\nduring the search, which runs on the calling thread.",
     &invert_stress},
    // inversion_candidate_count
    {{"inversion_candidate_count", k_inversion_candidate_count_parameters, 0},
     "inversion_candidate_count(angle_step_degrees=10.0, phi_step=0.1)\n--\n\n"
     "How many candidate tensors `invert_stress` would visit on a given grid.\n\n"
     "The closed form ceil(360 / a) * (floor(90 / a) + 1) * ceil(180 / a) *\n(floor(1 / p) + 1) for angle step a in degrees (default 10) and phi step p\n(default 0.1): S1 trends, S1 plunges, rolls of S3 about S1 and phi values.\n71280 at the defaults, 1034208 at 5 and 0.05. Each quotient is saturated to\nan unsigned 64-bit integer and the product is an exact Python int, so tiny\nsteps give a huge number rather than a wrapped one. An upper bound on\ninvert_stress's candidates_tried (frames dropped as degenerate are not\nsubtracted). Multiply by the number of weighted faults for the forward\nsolutions a search costs. Raises ValueError unless both steps are positive\nfinite numbers. The interpreter lock is held.",
     &inversion_candidate_count},
    // covering_grid
    {{"covering_grid", k_covering_grid_parameters, 2},
     "covering_grid(points, spacing, margin=0.0)\n--\n\n"
     "A grid covering a set of points, with room around them.\n\n"
     "points is an (N, D) float64 array of map coordinates (D = 1, 2 or 3, any\nstrides), spacing a sequence of D node spacings in map units, and margin the\ndistance (default 0.0) by which the grid extends past the outermost point on\nevery side of every axis. Returns a dict with origin (list of D floats: the\nfirst node itself, the lowest coordinate minus the margin, not a cell\ncorner), spacing (the values given), counts (list of D ints, nodes per axis)\nand node_count (their product): exactly the origin, spacing and counts that\ndensity_field, stress_field and field_cost take. The last node on an axis is\nthe last whole step not beyond the highest coordinate plus the margin, with\nno tolerance, so with margin 0 the outermost point can lie beyond it. No\npoints, a spacing of the wrong length, a NaN or infinite coordinate, or a\nmargin or spacing that is not a positive (margin: non-negative) finite number\nraise ValueError. The interpreter lock is held.",
     &covering_grid},
    // kernel_profile
    {{"kernel_profile", k_kernel_profile_parameters, 1},
     "kernel_profile(bandwidth, kernel=\"quartic\", truncation=4.0)\n--\n\n"
     "What a kernel does, before any data are put through it.\n\n"
     "bandwidth is a sequence of D positive widths in map units (D = 1, 2 or 3),\none per axis; kernel is \"quartic\" (default, zero from one bandwidth on),\n\"gaussian\" (never zero) or \"truncated_gaussian\" (zero beyond truncation\nbandwidths, default 4.0; truncation is ignored by the other two). Every kernel\nintegrates to 1 over D-dimensional space, so densities are observations per\nunit length, area or volume. Returns a dict with reach (list of D floats, how\nfar the kernel reaches along each axis in map units, or None for the plain\nGaussian, which makes every node cost the whole data set), peak (the value at\nzero offset, in observations per unit measure) and retained_mass (the share\nof the mass inside the support: 1.0 except for the truncated Gaussian, whose\ncut-off mass is reported and never renormalised). Bad bandwidths, names or\ntruncations raise ValueError. The interpreter lock is held.",
     &kernel_profile},
    // density_field
    {{"density_field", k_density_field_parameters, 5},
     "density_field(points, origin, spacing, counts, bandwidth, kernel=\"quartic\", truncation=4.0)\n--\n\n"
     "Kernel density over located points, at every node of a grid.\n\n"
     "points is an (M, D) float64 array of observation coordinates (D = 1, 2 or 3;\nM may be 0). origin, spacing and counts describe the grid as covering_grid\nreturns them: origin is the first node, spacing the node distance in map\nunits, counts the nodes per axis. bandwidth, kernel and truncation are as in\nkernel_profile. Returns a 1-D float64 array of length node_count holding, at\nevery node, the sum of the kernel values of the points that reach it, in\nobservations per unit length, area or volume. Nodes are in flat order with\nthe first axis fastest: values.reshape(counts, order=\"F\") gives the field. A\nnode that nothing reaches holds -0.0; points with NaN or infinite\ncoordinates contribute nothing. Bad arguments raise ValueError before any\nwork starts. The interpreter lock is released while the field is computed on\nthe worker pool (RAYON_NUM_THREADS sets its size); the result is identical\nbit for bit for any number of threads.",
     &density_field},
    // stress_field
    {{"stress_field", k_stress_field_parameters, 6},
     "stress_field(positions, faults, origin, spacing, counts, bandwidth, senses=None, kernel=\"quartic\", truncation=4.0, min_support=10.0, angle_step_degrees=10.0, phi_step=0.1)\n--\n\n"
     "A stress tensor at every node of a grid, with the density of the data that produced it.\n\n"
     "positions is an (M, D) float64 array (D = 1, 2 or 3) saying where each fault\nwas found; faults is the (M, 4) array of strike (right-hand rule), dip,\nslickenline trend and plunge in degrees, with the optional (M,) bool senses\nas for invert_stress. origin, spacing, counts, bandwidth, kernel and\ntruncation are as for density_field. At every node the faults whose kernel\nweight is positive go through the exhaustive search of invert_stress\n(angle_step_degrees, phi_step) with their kernel weights as weights, when\ntheir Kish support (sum w)^2 / sum w^2 is at least min_support (default 10;\n0 or less searches wherever a fault reaches, +inf nowhere).\nReturns (field, stats). field holds arrays aligned on the nodes in flat order\n(first axis fastest): positions (nodes, D), density (faults per unit length,\narea or volume; -0.0 where nothing reaches), support, faults_within_reach\n(int64), has_solution (bool), s1, s2, s3 ((nodes, 2) trend and plunge in\ndegrees), phi, misfit_degrees, faults_scored (int64), effective_sample_size,\nrunner_up_misfit_degrees and runner_up_s1_degrees (the largest axial angle\nbetween the best S1 and a runner-up's). Where has_solution is false the\nsolution values are NaN and faults_scored is 0; without runners-up both\nrunner-up values are NaN. stats holds nodes, nodes_inverted,\nnodes_below_threshold, nodes_without_data, grid_origin, grid_spacing and\ngrid_counts. A node costs a full search: call field_cost first. Bad arguments\nraise ValueError before any work; the interpreter lock is released while the\nnodes are computed on the worker pool, and the result is identical bit for\nbit for any number of threads.",
     &stress_field},
    // field_cost
    {{"field_cost", k_field_cost_parameters, 6},
     "field_cost(positions, faults, origin, spacing, counts, bandwidth, senses=None, kernel=\"quartic\", truncation=4.0, min_support=10.0, angle_step_degrees=10.0, phi_step=0.1)\n--\n\n"
     "What `stress_field` would cost, measured rather than guessed.\n\n"
     "Takes exactly the arguments of stress_field, checks them identically (same\nmessages, same order) and walks the same nodes with the same kernel, without\nsearching. Returns a dict with nodes (the node count), nodes_to_invert (the\nnodes stress_field would search: at least one fault within reach and support\nnot below min_support) and forward_solutions, the faults within reach summed\nover those nodes times the candidate count of inversion_candidate_count: one\nforward solution is one candidate tensor resolved on one fault. It is an\nexact Python int, however large, and an upper bound on the work (degenerate\ncandidates and unscored faults are not subtracted). Divided by the rate\nat which stress_field gets through them, it says how long the field will\ntake; that rate depends on the data, since the search abandons a candidate\nas soon as it cannot rank among the best, which saves more where the faults\nconstrain the tensor well. benchmarks/bench_stress_field.py measures it on a\nfew hundred synthetic faults of a smoothly rotating field with 5 degrees of\nrake noise: on one 2-core machine about 150 million a second per thread,\nagainst about 65 million on faults of random slip. Timing stress_field on a\nfew nodes of one's own data gives the rate to trust. For example, a node\nreached by 22 faults at the default steps adds 22 * 71280 = 1568160. The\ninterpreter lock is released while the nodes are walked on the worker pool;\nthe counts do not depend on the number of threads.",
     &field_cost},
    // ptb_axes
    {{"ptb_axes", k_ptb_axes_parameters, 1},
     "ptb_axes(faults, senses=None)\n--\n\n"
     "The P, T and B kinematic axes of a set of faults.\n\n"
     "faults is an (N, 4) float64 array (any strides) of strike (right-hand\nrule), dip, slickenline trend and slickenline plunge in degrees, checked\nas score_stress checks it (each slickenline within 1 degree of its plane);\nsenses is an optional (N,) bool array, None or absent meaning every sense\nis known. P and T lie at 45 degrees to the plane, in the plane of its\nupward normal n and the slip s (P along n - s, T along n + s), and B is\nT x P. Returns a dict with the keys p, t and b, each a new (N, 2) float64\narray of (trend, plunge) in degrees; P and T point down (plunge >= 0 up\nto rounding), B is not folded and may plunge upward. Needs every sense of\nslip: the first fault whose sense is False is refused with \"fault {i}: the\nslickenline has no determined sense of movement, ...\", after all rows have\nbeen parsed. A fault with a NaN angle gives NaN axes. The interpreter lock\nis held.",
     &ptb_axes},
    // kagan_angles
    {{"kagan_angles", k_kagan_angles_parameters, 2},
     "kagan_angles(first, second)\n--\n\n"
     "The Kagan angle between mechanisms, pair by pair.\n\n"
     "first and second are (N, 4) float64 arrays (any strides) whose rows are P\ntrend, P plunge, T trend, T plunge in degrees; both must have the same\nnumber of rows. Each row is made a double couple: P and T are folded into\nthe lower hemisphere, must be within 1 degree of perpendicular, and P is\nmade exactly perpendicular to T. Returns a new (N,) float64 array whose\nentry i is the smallest rotation, in degrees within [0, 120], that carries\nmechanism i of first onto mechanism i of second; turns below about 0.000115\ndegrees count as 0. A row holding NaN gives NaN. Raises ValueError naming\nthe first bad row (\"mechanism {i}: ...\"), first array before second, then\nfor differing lengths. The interpreter lock is released while the rows\nare parsed and the angles computed.",
     &kagan_angles},
    // kagan_angle_matrix
    {{"kagan_angle_matrix", k_kagan_angle_matrix_parameters, 1},
     "kagan_angle_matrix(mechanisms)\n--\n\n"
     "Every Kagan angle in a catalogue, as an (N, N) matrix.\n\n"
     "mechanisms is an (N, 4) float64 array (any strides) of P trend, P plunge,\nT trend, T plunge in degrees, each row checked as in kagan_angles. Returns a\nnew C-ordered (N, N) float64 array: entry (i, j) is the Kagan angle in\ndegrees between mechanisms i and j, equal bit for bit to kagan_angles of\nthat pair. Only the upper triangle is computed; the lower one is a copy,\nso the matrix is exactly symmetric, and the diagonal is exactly 0 (also\nfor a row holding NaN, whose other entries are NaN). N = 0 gives shape\n(0, 0). The interpreter lock is released while the rows are computed in\nparallel on the worker pool (RAYON_NUM_THREADS sets its size); the result\ndoes not depend on the number of threads.",
     &kagan_angle_matrix},
    // focal_mechanism_rotations
    {{"focal_mechanism_rotations", k_focal_mechanism_rotations_parameters, 8},
     "focal_mechanism_rotations(first_p_trend, first_p_plunge, first_t_trend, first_t_plunge, second_p_trend, second_p_plunge, second_t_trend, second_t_plunge)\n--\n\n"
     "All four rotations that carry one focal mechanism onto another.\n\n"
     "Each mechanism is given by the trend and plunge in degrees of its P and T\naxes (folded into the lower hemisphere, within 1 degree of perpendicular).\nA double couple is unchanged by a half turn about its own T, P or B axis,\nso four rotations carry the first onto the second. Returns a dict with the\nkeys trend, plunge and angle_degrees, each a new (4,) float64 array: the\ndirected rotation axis (plunge negative when it points up) and the turn by\nthe right-hand rule, in [0, 180], sorted by turn (stable), so element 0 of\nangle_degrees is the Kagan angle. A turn below about 0.000115 degrees has\nno axis: it is reported as axis (0, 0) with angle 0. Raises ValueError\n\"first mechanism: ...\" or \"second mechanism: ...\" for axes that are not a\ndouble couple. The interpreter lock is held.",
     &focal_mechanism_rotations},
    // rotate_focal_mechanism
    {{"rotate_focal_mechanism", k_rotate_focal_mechanism_parameters, 7},
     "rotate_focal_mechanism(p_trend, p_plunge, t_trend, t_plunge, axis_trend, axis_plunge, angle_degrees)\n--\n\n"
     "Turn a focal mechanism about an axis.\n\n"
     "The mechanism is given by the trend and plunge in degrees of its P and T\naxes; it is turned by angle_degrees (any sign and size) by the right-hand\nrule about the directed axis of trend axis_trend and plunge axis_plunge\n(about a downward vertical axis a positive angle increases trends).\nApplying any rotation of focal_mechanism_rotations to the first mechanism\ngives the second. Returns a dict with the keys p, t and b, each a tuple\n(trend, plunge) in degrees; P and T are folded into the lower hemisphere,\nB = T x P is not and may plunge upward. NaN anywhere gives NaN axes.\nRaises ValueError when P and T are more than 1 degree from perpendicular.\nThe interpreter lock is held.",
     &rotate_focal_mechanism},
}};

template <std::size_t Row>
PyObject* guard(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  const FunctionEntry& entry = kTable[Row];
  return call_guarded([&] { return entry.wrapper(Arguments(entry.description, args, kwargs)); });
}

template <std::size_t... Rows>
std::array<PyMethodDef, kFunctionCount> make_method_definitions(std::index_sequence<Rows...>) {
  return {PyMethodDef{kTable[Rows].description.name,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guard<Rows>)),
                      METH_VARARGS | METH_KEYWORDS | METH_STATIC, kTable[Rows].docstring}...};
}

}  // namespace

const std::array<FunctionEntry, kFunctionCount>& function_table() { return kTable; }

PyMethodDef* method_definition(std::size_t row) {
  // Function objects keep a pointer to their definition: it lives forever.
  static std::array<PyMethodDef, kFunctionCount> definitions =
      make_method_definitions(std::make_index_sequence<kFunctionCount>{});
  return &definitions[row];
}

}  // namespace velkor::py
