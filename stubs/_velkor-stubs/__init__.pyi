"""Type information for the compiled extension module `_velkor`.

The module itself carries nothing but the submodule `kernels`.
"""

from . import kernels as kernels

__all__: list[str]
