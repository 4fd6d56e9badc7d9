"""Electrolyte NRTL activity model and the species object read from a parameter report."""

from .report import read_report as _read_report
from .species import Species


def species_from_report(text, names, henry):
    """Read a parameter report: (species object, parameter data) in the order of `names`."""
    model, data = _read_report(text, names, henry)
    return Species(model), data


def ln_gamma(sp, x, T, options=None):
    raise NotImplementedError("the electrolyte NRTL model is not built yet")
