#pragma once
// The wrapper files, each handing out the method definitions of its
// functions in registration order; module.cpp registers them group by group.
#include "frame/registration.hpp"

namespace velkor::py {

// The kernels group.
MethodTable surface_methods();   // kernels/surfaces.cpp
MethodTable geometry_methods();  // kernels/geometry.cpp
MethodTable stress_methods();    // kernels/stress.cpp

// The spatial-field group.
MethodTable spatial_methods();       // kernels/spatial.cpp
MethodTable stress_field_methods();  // kernels/stress_field.cpp

// The mechanisms group.
MethodTable mechanism_methods();  // mechanisms/mechanisms.cpp

}  // namespace velkor::py
