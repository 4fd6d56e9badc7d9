"""Electrolyte NRTL activity model and the species object read from a parameter report."""


def ln_gamma(sp, x, T, options=None):
    raise NotImplementedError("the electrolyte NRTL model is not built yet")


def species_from_report(text, names, henry):
    raise NotImplementedError("parameter reports cannot be read yet")
