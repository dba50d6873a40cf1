"""Optional libraries, imported on first use.

The package imports with NumPy alone; figures, rasters, gridded results and
clusters need libraries that not every user installs. Each is imported here,
when a feature first needs it, and a missing one is reported with the extra
that brings it.
"""

from __future__ import annotations

import importlib
from types import ModuleType

# Which extra of the distribution installs each optional module.
_EXTRA_OF = {
    "matplotlib": "plot",
    "mplstereonet": "plot",
    "rasterio": "geo",
    "xarray": "geo",
    "zarr": "scale",
    "dask": "scale",
    "distributed": "scale",
    "tqdm": "scale",
    "netCDF4": "scale",
    "pandas": "all",
}


def require(module: str, feature: str) -> ModuleType:
    """Import `module` for `feature`, or explain which extra installs it.

    Parameters
    ----------
    module : str
        Dotted name of the module to import, e.g. ``"matplotlib.pyplot"``.
    feature : str
        What the caller was doing, for the message (e.g. ``"velkor.plot"``).

    Returns
    -------
    types.ModuleType
        The imported module.

    Raises
    ------
    ImportError
        When the module is not installed; the message names the extra.

    Examples
    --------
    >>> numpy = require("numpy", "arrays")
    >>> numpy.__name__
    'numpy'
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.split(".")[0]
        if error.name is not None and error.name.split(".")[0] != top:
            raise  # the module is there but one of its own dependencies is broken
        extra = _EXTRA_OF.get(top, "all")
        raise ImportError(
            f"{feature} needs the optional package '{top}', which is not installed; "
            f"install it with: pip install 'velkor[{extra}]'"
        ) from error
