"""Enthalpies of formation and heat capacities of the reacting ions that agree with the databank's
own equilibrium constants.

The liquid enthalpy counts each ion at infinite dilution in water (DHF_AQ at 298.15 K plus the
integral of CP_AQ) and each molecule on the package's reference (ideal gas plus -R T^2 d ln f0/dT of
its vapor-pressure or Henry correlation). Thermodynamic consistency asks that for every reaction
sum(nu_i h_i) = R T^2 d ln K/dT at every T; otherwise the heat of absorption from the temperature
derivative of the fugacities and that from the enthalpy balance differ (CO2 in 30 wt% MEA: 2.6 % at
40 C). Each reaction below fixes one ion from the others, in this order; H3O+ is H+ (0) plus the
package's liquid water. The heat capacity is fitted as C1 + C2 T + C3 T^2 over 273.15-473.15 K.

Prints the table rows for databank/aqueous.toml and the largest enthalpy error of each fit."""

import warnings

import numpy as np

import velmora
from velmora import phasekit

warnings.simplefilter("ignore")
R = 8.314462618e-3  # kJ/(mol K)
TREF = 298.15
GRID = np.linspace(273.15, 473.15, 81)

# (reaction of equilibrium.toml, ion it fixes); the other species are known by then
ORDER = [
    ("WATER", "OH-"),
    ("CO2-1", "HCO3-"),
    ("CO2-2", "CO3--"),
    ("MEA-1", "MEAH+"),
    ("MEA-2", "MEACOO-"),
    ("MDEA-1", "MDEAH+"),
    ("H2S-1", "HS-"),
    ("NH3-1", "NH4+"),
    ("NH3-2", "NH2COO-"),
]
# a chemistry whose components hold every molecule of the reactions
SYSTEMS = ["MEA-CO2-H2O", "MDEA-CO2-H2O", "MEA-H2S-H2O", "NH3-CO2-H2O"]


def molecule_enthalpies():
    """{molecule: h(T) [kJ/mol]} on the references of the equilibrium constants: pure liquid
    for the solvents (water, amines), infinite dilution in water for the Henry components."""
    out = {}
    for name in SYSTEMS:
        pp = velmora.System(name).pp
        comps = list(pp.components)
        for k, c in enumerate(comps):
            if c in out:
                continue
            xa = np.zeros(len(comps))
            xa[comps.index("H2O") if c in pp.henry_comps else k] = 1.0

            def h(T, pp=pp, k=k, xa=xa):
                h_ig = phasekit._ig_terms(float(T), pp.cpig_kind, pp.cpig, pp.DHFORM)[0][k]
                return (h_ig + phasekit._dh_ref(pp, float(T), xa, None)[k]) / 1e6

            out[c] = h
    return out


def reactions():
    import tomllib
    from importlib import resources

    text = resources.files("velmora.enginebridge").joinpath("databank/equilibrium.toml").read_text()
    return tomllib.loads(text)


def van_t_hoff(r, T):
    """R T^2 d ln K/dT [kJ/mol] of ln K = A + B/T + C ln T + D T."""
    return R * (-r["B"] + r["C"] * T + r["D"] * T * T)


def fit(h, dhf):
    """CP_AQ = C1 + C2 T + C3 T^2 [J/(mol K)] with h(T) - dhf = its integral from TREF."""
    A = np.column_stack([(GRID ** (k + 1) - TREF ** (k + 1)) / (k + 1) for k in range(3)])
    c = np.linalg.lstsq(A, (h - dhf) * 1e3, rcond=None)[0]
    err = float(np.max(np.abs(A @ c / 1e3 - (h - dhf))))
    return c, err


def main():
    mol = molecule_enthalpies()
    h = {c: np.array([f(T) for T in GRID]) for c, f in mol.items()}
    h["H3O+"] = h["H2O"]  # H+ is 0 by convention
    data = reactions()
    for name, ion in ORDER:
        r = data[name]
        nu = r["reaction"]
        rest = sum(v * h[s] for s, v in nu.items() if s != ion)
        target = (np.array([van_t_hoff(r, T) for T in GRID]) - rest) / nu[ion]
        dhf = float(np.interp(TREF, GRID, target))
        c, err = fit(target, dhf)
        h[ion] = (
            dhf
            + np.array(
                [
                    sum(c[k] * (T ** (k + 1) - TREF ** (k + 1)) / (k + 1) for k in range(3))
                    for T in GRID
                ]
            )
            / 1e3
        )
        print(f'["{ion}"]  # {name}: fit error {err * 1e3:.1f} J/mol')
        print(f"dhf_aq = {dhf:.3f}")
        print(f"cp_aq = [{', '.join(f'{v:.6g}' for v in c)}]")
    w = h["H2O"]
    c, err = fit(w, float(np.interp(TREF, GRID, w)))
    print(f'["H3O+"]  # liquid water of the package: fit error {err * 1e3:.1f} J/mol')
    print(f"dhf_aq = {float(np.interp(TREF, GRID, w)):.3f}")
    print(f"cp_aq = [{', '.join(f'{v:.6g}' for v in c)}]")


if __name__ == "__main__":
    main()
