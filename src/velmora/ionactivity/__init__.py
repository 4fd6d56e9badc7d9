"""Electrolyte NRTL activity model and the species object read from a parameter report."""

from .report import read_report as _read_report
from .solution import Species


def species_from_report(text, names, henry):
    """Read a parameter report: (species object, parameter data) in the order of `names`."""
    model, data = _read_report(text, names, henry)
    return Species(model), data


def ln_gamma(sp, x, T, options=None):
    """ln gamma of every true species of `sp` at true mole fractions x and T [K].

    Molecules (solvents and solutes, Henry components included) are referred to the pure
    liquid, ions to infinite dilution in water. `options` is brinequil's option mapping
    (or None): "lc_ref" and "fixed_Y" are read, other keys ignored (docs/activity-model.md).
    """
    return sp._core.ln_gamma(x, T, options)


# The package's own functions: velmora.brinequil calls the compiled model directly when it finds
# these very functions (not a replacement) on this module and on the species object.
_OWN_FUNCTIONS = (ln_gamma, Species.molecule_tau)
