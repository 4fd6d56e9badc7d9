"""Electrolyte models with N2 in the vapor and property packages that match them, built on the
conftest doubles (for the fugacity and flash tests)."""

import conftest as cf
from velmora import phasekit

HENRY_N2_H2O = (227.6721, -9159.3, -31.37668, 0.0157317)  # IAPWS G7-04 refit, ln H [Pa]
VC = {"H2O": 55.95, "MEA": 225.0}
ANTOINE = {"H2O": cf.ANTOINE_H2O, "MEA": cf.ANTOINE_MEA}
HENRY = {("CO2", "H2O"): cf.HENRY_CO2_H2O, ("N2", "H2O"): HENRY_N2_H2O}
# Tc [K], Pc [Pa], acentric factor (NIST Chemistry WebBook; Poling, Prausnitz & O'Connell).
CRIT = {
    "H2O": (647.096, 22.064e6, 0.3443),
    "CO2": (304.13, 7.3773e6, 0.2239),
    "N2": (126.2, 3.3958e6, 0.0372),
}
# Ideal-gas Cp [J/(kmol K)] (poly, rough JANAF fits) and formation enthalpies [J/kmol].
CPIG = {
    "H2O": [32200.0, 1.92, 0.0106],
    "MEA": [9.0e3, 270.0],
    "CO2": [22260.0, 59.8, -0.035],
    "N2": [28900.0, -1.57, 0.0081],
}
DHFORM = {"H2O": -241.818e6, "MEA": -201.6e6, "CO2": -393.51e6, "N2": 0.0}
# Aqueous ions at infinite dilution, 298.15 K (NBS tables, Wagman et al. 1982) [J/kmol].
DHF_AQ = {"H3O+": -285.83e6, "OH-": -230.0e6, "HCO3-": -692.0e6, "CO3--": -677.1e6}


def with_n2(system):
    def build(**kw):
        sp, reactions, kinds, k, apparent = system(**kw)
        henry = tuple(sp.names[i] for i in sp.henry) + ("N2",)
        sp2 = cf.Species(sp.names + ["N2"], cf.CHARGES, henry=henry, tau=sp._tau)
        return sp2, reactions, kinds, k, apparent + ["N2"]

    return build


def electrolyte(system, **kw):
    """A model of conftest's `system` with N2 added as a Henry component."""
    el = cf.model(with_n2(system), antoine=dict(ANTOINE), henry=dict(HENRY), vc=dict(VC), **kw)
    el.pure = {s: {"scalar": {"DHF_AQ": [v]}} for s, v in DHF_AQ.items()}
    return el


def package(el, components, **kw):
    """A property package over `components` with the model's vapor-pressure and Henry data."""
    args = dict(
        cpig={c: CPIG.get(c, []) for c in components},
        DHFORM={c: DHFORM.get(c, 0.0) for c in components},
        henry_comps=[c for c in ("CO2", "N2") if c in components],
        antoine=el.antoine,
        henry=el.henry,
        vc=el.vc,
    )
    args.update(kw)
    return phasekit.PropertyPackage(components, **args)
