"""Imports the installed module under an older NumPy and runs one call of every registered function family."""

import numpy as np

from _velkor import kernels

assert np.__version__.startswith("1."), np.__version__
assert kernels.plane_normal(0.0, 0.0) == [0.0, 0.0, 1.0]
names = set(kernels.__all__)
if "stress_tensor" in names:
    tensor = kernels.stress_tensor(0.0, 90.0, 0.0, 0.0, 0.5)
    assert tensor.shape == (3, 3) and tensor.dtype == np.float64
if "kagan_angle_matrix" in names:
    m = kernels.kagan_angle_matrix(np.array([[0.0, 0.0, 90.0, 0.0], [10.0, 0.0, 100.0, 0.0]]))
    assert m.shape == (2, 2)
if "density_field" in names:
    d = kernels.density_field(np.zeros((3, 2)), [0.0, 0.0], [1.0, 1.0], [2, 2], [1.0, 1.0])
    assert isinstance(d, np.ndarray)
print("numpy", np.__version__, "ok:", len(names), "functions")
