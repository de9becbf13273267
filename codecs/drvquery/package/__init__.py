"""Display driver version query through NVAPI.

The functions are those of the compiled module ``drvquery`` inside this package (``initdrvquery`` /
``PyInit_drvquery``); the package exists so that ``python -m tevu.codecs.drvquery [-v | --verbose]``
runs ``main()`` (see ``__main__.py``), which no interpreter does for a compiled module on its own.
"""
from __future__ import absolute_import

from tevu.codecs.drvquery.drvquery import Logger, get_driver_version, log, main, os, raiseNVAPI, sys  # noqa: F401
