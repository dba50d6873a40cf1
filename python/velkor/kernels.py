"""The twenty compiled kernels, re-exported unchanged from `_velkor.kernels`.

They are exact and strict (nothing cast, arrays of the documented dtype); the
rest of `velkor` casts what users have and turns results into answers.

Examples
--------
>>> from velkor import kernels
>>> kernels.inversion_candidate_count()
71280
"""

from _velkor.kernels import *  # noqa: F403
from _velkor.kernels import __all__ as __all__
