"""Inputs of the plantation population simulation.

The modules of this package are compiled extension modules; import the one you
need, for example ``from py_zelka.dispersion import build_dispersion_profile``.
Importing the package itself loads nothing else.
"""

__version__ = "0.1.0"
