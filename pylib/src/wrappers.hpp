#pragma once
// The twenty wrappers: bind and convert arguments, validate, call the core,
// build the result. Each returns a new reference or throws (see errors.hpp).
#include "frame/arguments.hpp"
#include "frame/py_ref.hpp"

namespace velkor::py {

using Wrapper = PyRef (*)(const Arguments&);

// kernels group: surfaces, geometry, stress
PyRef intersect_plane_grid(const Arguments& args);
PyRef intersect_mesh_grid(const Arguments& args);
PyRef best_fit_planes(const Arguments& args);
PyRef plane_normal(const Arguments& args);
PyRef rake_to_slickenline(const Arguments& args);
PyRef solve_stress(const Arguments& args);
PyRef stress_tensor(const Arguments& args);
PyRef score_stress(const Arguments& args);
PyRef invert_stress(const Arguments& args);
PyRef inversion_candidate_count(const Arguments& args);

// spatial-field group
PyRef covering_grid(const Arguments& args);
PyRef kernel_profile(const Arguments& args);
PyRef density_field(const Arguments& args);
PyRef stress_field(const Arguments& args);
PyRef field_cost(const Arguments& args);

// mechanisms group
PyRef ptb_axes(const Arguments& args);
PyRef kagan_angles(const Arguments& args);
PyRef kagan_angle_matrix(const Arguments& args);
PyRef focal_mechanism_rotations(const Arguments& args);
PyRef rotate_focal_mechanism(const Arguments& args);

}  // namespace velkor::py
