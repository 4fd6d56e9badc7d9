"""Transport properties of loaded aqueous MEA and of flue gas, CO2-MEA kinetics and packing
correlations of the capture columns.

Every correlation names its source and the range its authors fitted it over; a value used
outside that range is recorded in a ``Ranges`` log and reported once per column run as a
``velmora.RangeWarning``. The numbers were read from the records collected in the project's
data notes (``capture.md``): the IDAES MEA property and column files (commit 1bcbb048), the
transcriptions of Amundsen et al. (2009), Luo et al. (2015), Putta et al. (2016) and Snijder
et al. (1993).

The thermodynamics (partial pressures over the liquid, its speciation, its enthalpy) are not
here: they are velmora's own (``System.liquid``).

Units: SI throughout (K, Pa, m, s, kg, mol); mass percent and loadings where a correlation
takes them. Every function takes floats or numpy arrays alike (the absorber evaluates its
segments at once).
"""

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..errors import RangeWarning

R = 8.314462618  # J/(mol K)
G = 9.80665  # m/s^2


def _from_databank():
    """Molar masses [kg/mol] and element counts of the capture components, from the databank."""
    from velmora import enginebridge

    db = enginebridge.databank
    mw, el = {}, {}
    for c in ("H2O", "MEA", "MDEA", "CO2", "N2", "O2", "Ar"):
        rec = db.species(c)
        mw[c], el[c] = rec["molar_mass"] * 1e-3, db.elements(rec["formula"])
    return mw, el


MW, ELEMENTS = _from_databank()


class Ranges:
    """The validity ranges met by one column run: per correlation the extremes of each input
    that fell outside its range; ``warn`` gives one RangeWarning per correlation and input."""

    def __init__(self) -> None:
        self.out: dict[tuple[str, str, float, float], list[float]] = {}

    def check(self, what: str, name: str, value: Any, lo: float, hi: float) -> None:
        if isinstance(value, np.ndarray):
            out = value[~((lo <= value) & (value <= hi))]
            if not out.size:
                return
            vmin, vmax = float(out.min()), float(out.max())
        elif lo <= value <= hi:
            return
        else:
            vmin = vmax = value
        ext = self.out.setdefault((what, name, lo, hi), [vmin, vmax])
        ext[0], ext[1] = min(ext[0], vmin), max(ext[1], vmax)

    def warn(self, where: str, stacklevel: int = 3) -> None:
        for (what, name, lo, hi), (vmin, vmax) in self.out.items():
            seen = f"{vmin:.4g}" if vmin == vmax else f"{vmin:.4g}-{vmax:.4g}"
            warnings.warn(
                f"{where}: {name} = {seen} outside the validity range of the {what} "
                f"({lo:g}-{hi:g}): extrapolated",
                RangeWarning,
                stacklevel=stacklevel,
            )


# ------------------------------------------------------------------------------- liquid


def water_density(T: float) -> float:
    """Density of water [kg/m^3]: rho = c1 T^2 + c2 T + c3 g/mL (Morgan et al. 2015, AIChE J 61,
    1822, as in IDAES MEA_solvent.py)."""
    return 1e3 * (-3.2484e-6 * T * T + 0.00165 * T + 0.793)


def liquid_density(T: float, n_co2: float, n_h2o: float, n_mea: float, rng: Ranges) -> float:
    """Density of loaded aqueous MEA [kg/m^3] from apparent amounts (any unit).

    Weiland's molar-volume model with the constants of Amundsen, Oi & Eimer, J. Chem. Eng.
    Data 54 (2009) 3096, Eqs. 4-6, Table 10: V = x1 V1 + x2 V2 + x3 V3 + x1 x2 A (B = C = 0),
    V1 = M1/(D T^2 + E T + F) (MEA), V3 = 0.04747 cm^3/mol (CO2); V2 of water from
    ``water_density``. Fitted over 298.15-353.15 K, 20-40 mass % MEA, loading 0-0.5
    (about 0.2 % for loaded liquids)."""
    tot = n_co2 + n_h2o + n_mea
    x1, x2, x3 = n_mea / tot, n_h2o / tot, n_co2 / tot
    v1 = 61.08 / (-5.35162e-7 * T * T - 4.51417e-4 * T + 1.19451)  # cm^3/mol
    v2 = 1e3 * MW["H2O"] / (water_density(T) / 1e3)
    v = x1 * v1 + x2 * v2 + x3 * 0.04747 + x1 * x2 * (-1.8218)
    m = 1e3 * (x1 * MW["MEA"] + x2 * MW["H2O"] + x3 * MW["CO2"])  # g/mol
    rng.check("Weiland-Amundsen density", "T [K]", T, 298.15, 353.15)
    return 1e3 * m / v


def water_viscosity(T: float) -> float:
    """Viscosity of water [Pa s]: 1.002 mPa s at 20 C times 10^{1.3272 (293.15 - T - 0.001053
    (T - 293.15)^2)/(T - 168.15)} (the water term of Amundsen et al. 2009 and of IDAES)."""
    d = T - 293.15
    return 1.002e-3 * 10.0 ** (1.3272 * (-d - 0.001053 * d * d) / (T - 168.15))


def liquid_viscosity(T: float, mea_pct: float, loading: float, rng: Ranges) -> float:
    """Viscosity of loaded aqueous MEA [Pa s]; ``mea_pct`` MEA mass percent of the unloaded
    liquid, ``loading`` mol CO2/mol MEA. Weiland's form with the constants of Amundsen et al.
    2009 (Eqs. 9-10, Table 12): mu/mu_w = exp{((c w + d)(alpha (e w + f T + g) + 1) w)/T^2},
    c = 21.186, d = 2373, e = 0.01015, f = 0.0093, g = -2.2589. Fitted over 298.15-353.15 K,
    20-40 mass %, loading 0-0.5 (about 3 %)."""
    w = mea_pct
    rng.check("Weiland-Amundsen viscosity", "T [K]", T, 298.15, 353.15)
    rng.check("Weiland-Amundsen viscosity", "MEA [mass %]", w, 20.0, 40.0)
    rng.check("Weiland-Amundsen viscosity", "loading", loading, 0.0, 0.5)
    arg = (21.186 * w + 2373.0) * (loading * (0.01015 * w + 0.0093 * T - 2.2589) + 1.0) * w
    return water_viscosity(T) * np.exp(arg / (T * T))


def _pure_tension(T, c1, c2, c3, c4, Tc):
    tr = T / Tc
    return c1 * (1.0 - tr) ** (c2 + c3 * tr + c4 * tr * tr)


def surface_tension(T: float, n_co2: float, n_h2o: float, n_mea: float, rng: Ranges) -> float:
    """Surface tension of loaded aqueous MEA [N/m] (Morgan et al. 2015 as in IDAES
    MEA_solvent.py; pure water and MEA by the IDAES constants): sigma = sigma_w + (sigma_CO2 -
    sigma_w) x_CO2 F_CO2 + (sigma_MEA - sigma_w) x_MEA F_MEA, F quadratic in loading and in
    r = w_MEA/(w_MEA + w_H2O). Used over the range of the 2014 NCCC runs (the source gives no
    range; the water term is the 273-647 K fit)."""
    tot = n_co2 + n_h2o + n_mea
    x_c, x_a = n_co2 / tot, n_mea / tot
    w_a, w_w = n_mea * 61.08, n_h2o * 18.02  # the source's molar masses
    r = w_a / (w_a + w_w)
    alpha = n_co2 / n_mea
    s_w = _pure_tension(T, 0.18548, 2.717, -3.554, 2.047, 647.13)
    s_a = _pure_tension(T, 0.09945, 1.067, 0.0, 0.0, 614.45)
    s_c = -5.987 * r * r + 3.7699 * r - 0.43164 + T * (0.018155 * r * r - 0.01207 * r + 0.002119)
    f_c = 2.4558 - 1.5311 * alpha + 3.4994 * alpha**2 - 5.6398 * r + 10.2109 * r * r
    f_a = 2.3122 + 4.5608 * alpha - 2.3924 * alpha**2 + 5.3324 * r - 12.0494 * r * r
    return s_w + (s_c - s_w) * x_c * f_c + (s_a - s_w) * x_a * f_a


def co2_diffusivity(T: float, mu: float, rng: Ranges) -> float:
    """Diffusivity of CO2 in the loaded liquid [m^2/s]: in water 2.35e-6 exp(-2119/T) (Luo et
    al. 2015, Chem. Eng. Sci., Eq. 21; 298-343 K), in the amine by the modified Stokes-Einstein
    relation D = D_w (mu_w/mu)^0.8 (Luo et al. 2015, Eq. 22; 298-353 K)."""
    rng.check("Luo CO2 diffusivity", "T [K]", T, 298.0, 353.0)
    return 2.35e-6 * np.exp(-2119.0 / T) * (water_viscosity(T) / mu) ** 0.8


def mea_diffusivity(T: float, c_mea: float, rng: Ranges) -> float:
    """Diffusivity of MEA in aqueous MEA [m^2/s], c_mea [mol/m^3]: ln D = -13.275 - 2198.3/T -
    7.8142e-5 c (Snijder et al., J. Chem. Eng. Data 38 (1993) 475, Eq. 8; 298-333 K,
    43-5016 mol/m^3, within 5 %)."""
    rng.check("Snijder MEA diffusivity", "T [K]", T, 298.0, 333.0)
    return np.exp(-13.275 - 2198.3 / T - 7.8142e-5 * c_mea)


def co2_henry(T: Any, w_mea: Any) -> Any:
    """Physical solubility of CO2 in aqueous MEA as Henry's constant H = p/[CO2] [Pa m^3/mol]
    (free CO2, not what the amine binds) by the N2O analogy, the form and constants of the IDAES
    MEA solvent ("N2O Analogy Jiru et.al (2012)"; capture.md §5a):

        ln H = w_MEA ln H_CO2,MEA + w_H2O ln H_CO2,H2O + w_MEA w_H2O Lambda,
        Lambda = l1 + l2 t + l3 t^2 + l4 w_H2O,
        H_CO2,MEA = H_N2O,MEA H_CO2,H2O / H_N2O,H2O,

    w the CO2-free mass fractions (w_H2O = 1 - w_MEA), t = T - 273.15. The electrolyte model's
    own ratio p*/[CO2] is not used for the transfer: it is fitted to p*, not to the free CO2,
    and in loaded 30 % MEA it lies several times below this (7.7 times at 321 K and a loading
    of 0.51). No range is stated in the record read."""
    t = T - 273.15
    w_h2o = 1.0 - w_mea
    ln_co2_w = math.log(3.52e6) - 2113.0 / T
    ln_n2o_w = math.log(8.449e6) - 2283.0 / T
    ln_n2o_mea = math.log(2.448e5) - 1348.0 / T
    lam = 1.70981 + 0.03972 * t - 4.3e-4 * t * t - 2.20377 * w_h2o
    return np.exp(
        w_mea * (ln_n2o_mea + ln_co2_w - ln_n2o_w) + w_h2o * ln_co2_w + w_mea * w_h2o * lam
    )


def ion_diffusivity(T: float, mu: float) -> float:
    """Diffusivity of the ions MEAH+ and MEACOO- [m^2/s] in the loaded liquid of viscosity mu
    [Pa s]: exp(-22.64 - 1000/T - 0.7 ln mu), the form and constants the IDAES MEA solvent
    uses for both ions (its 2021 property file names Hoff et al. 2004; their provenance is
    not confirmed, and no range is stated)."""
    return np.exp(-22.64 - 1000.0 / T - 0.7 * np.log(mu))


def enhancement_factor(
    ha: Any,
    c_co2: Any,
    c_mea: Any,
    c_meah: Any,
    c_carb: Any,
    d_co2: Any,
    d_mea: Any,
    d_ion: Any,
) -> Any:
    """Enhancement factor of CO2 absorption into MEA bounded by the instantaneous-reaction
    limit: the explicit form of IDAES's ``PseudoSecondOrderExplicit`` (a variation of Gaspar &
    Fosbol, Chem. Eng. Sci. 2015, doi 10.1016/j.ces.2015.08.023, evaluated at the bulk liquid,
    at equilibrium)

        E = 1 + (E1 - 1) / (E1 (R+ + R- + 2) / (E* - 1) + 1),
        E* - 1 = D_MEA [MEA] / (2 D_CO2 [CO2]),  R_j = D_MEA [MEA] / (2 D_j [j]),

    j the products MEAH+ and MEACOO-, all true concentrations [mol/m^3] of the bulk liquid,
    diffusivities [m^2/s]. E1 = Ha/tanh(Ha), the pseudo-first-order factor, stands where the
    printed form has Ha: the same above Ha = 3 (within 0.5 %), and E stays >= 1 for a slow
    reaction, where the printed form falls below 1. Limits: E -> E1 where E* - 1 >> E1 (R+ +
    R- + 2), E -> 1 + (E* - 1)/(R+ + R- + 2) where Ha >> that (the instantaneous limit), E
    below both. Arrays or floats; a liquid without CO2 (no bound) gives E1."""
    ha = np.asarray(ha, dtype=float)
    small = ha < 1e-6
    e1 = np.where(small, 1.0, ha / np.tanh(np.where(small, 1.0, ha)))
    # E1 (R+ + R- + 2)/(E* - 1) = E1 w, written so that no concentration divides at zero CO2
    # (the floors keep w finite: w = 0 without CO2, E -> 1 were a product absent)
    lo = 1e-200
    inv = (1.0 / np.maximum(c_meah, lo) + 1.0 / np.maximum(c_carb, lo)) / d_ion
    w = d_co2 * np.maximum(c_co2, 0.0) * (inv + 4.0 / (d_mea * np.maximum(c_mea, lo)))
    return 1.0 + (e1 - 1.0) / (e1 * w + 1.0)


def rate_constant(T: float, c_mea: float, c_h2o: float, rng: Ranges) -> float:
    """Second-order rate constant k2 [m^3/(mol s)] of CO2 with MEA, r = k2 [MEA][CO2], with
    the termolecular form of Putta, Svendsen & Knuutila (IJGGC 2016, concentration basis,
    Eqs. I-II): k2 = 3.1732e3 exp(-4936.6/T) [MEA] + 1.0882e2 exp(-3900/T) [H2O], true
    concentrations in mol/m^3 (the constants as IDAES uses them, kmol -> mol). Fitted over
    293.15-343.15 K, 1-5 M MEA, loading 0-0.4."""
    rng.check("Putta CO2-MEA kinetics", "T [K]", T, 293.15, 343.15)
    return 3.1732e3 * np.exp(-4936.6 / T) * c_mea + 1.0882e2 * np.exp(-3900.0 / T) * c_h2o


# ---------------------------------------------------------------------------------- gas

# Fuller diffusion volumes (Seader & Henley 2006, Table 3.1, as in IDAES MEA_vapor.py). MEA and
# Ar have none there: MEA diffuses as CO2 (both heavier than water), Ar as O2 (a trace inert).
_FULLER = {"N2": 18.5, "CO2": 26.7, "H2O": 13.1, "O2": 16.3}
_FULLER["Ar"] = _FULLER["O2"]


def gas_diffusivity(T: float, P: float, y: dict[str, float], comp: str) -> float:
    """Diffusivity [m^2/s] of ``comp`` in the gas y: Fuller's binary diffusivities
    D_ij = 1.013e-2 T^1.75 (1/M_i + 1/M_j)^0.5 / (P (v_i^1/3 + v_j^1/3)^2) (M in g/mol, P in
    Pa) combined by Blanc's law over the other components (those of y > 0)."""
    c = "CO2" if comp == "MEA" else comp
    vi = _FULLER[c] ** (1.0 / 3.0)
    s = 0.0
    rest = 0.0
    t = 1.013e-2 * T**1.75  # the same for every pair
    for j, yj in y.items():
        if j == comp or j == "MEA":
            continue
        yj = np.maximum(yj, 0.0)
        vj = _FULLER[j] ** (1.0 / 3.0)
        d = t * math.sqrt(1e-3 / MW[c] + 1e-3 / MW[j]) / (P * (vi + vj) ** 2)
        s += yj / d
        rest += yj
    return rest / s


def gas_viscosity(T: float, y: dict[str, float]) -> float:
    """Viscosity of the gas [Pa s], mole-fraction average of the pure gases (IDAES MEA_vapor.py
    constants: CO2 and H2O as C1 T^C2/(1 + C3/T), N2 and O2 by Sutherland's law)."""

    def pure(c):
        if c == "CO2":
            return 2.148e-6 * T**0.46 / (1.0 + 290.0 / T)
        if c == "H2O":
            return 1.7096e-8 * T**1.1146
        if c == "O2":
            return 0.02018e-3 * (292.25 + 127.0) / (T + 127.0) * (T / 292.25) ** 1.5
        return 0.01781e-3 * (300.55 + 111.0) / (T + 111.0) * (T / 300.55) ** 1.5  # N2, Ar

    w = {c: np.maximum(yc, 0.0) for c, yc in y.items() if c != "MEA"}  # the gases present
    return sum(yc * pure(c) for c, yc in w.items()) / sum(w.values())


def gas_conductivity(T: float, y: dict[str, float]) -> float:
    """Thermal conductivity of the gas [W/(m K)], mole-fraction average of C1 T^C2/(1 + C3/T +
    C4/T^2) (IDAES MEA_vapor.py constants; Ar takes those of N2)."""
    k = {
        "CO2": (3.69, -0.3838, 964.0, 1.86e6),
        "H2O": (6.204e-6, 1.3973, 0.0, 0.0),
        "N2": (0.000331, 0.7722, 16.323, 373.72),
        "O2": (0.00045, 0.7456, 56.699, 0.0),
    }
    num = den = 0.0
    for c, yc in y.items():
        if c == "MEA":
            continue
        yc = np.maximum(yc, 0.0)
        c1, c2, c3, c4 = k.get(c, k["N2"])
        num += yc * c1 * T**c2 / (1.0 + c3 / T + c4 / (T * T))
        den += yc
    return num / den


# ------------------------------------------------------------------------------ packing


@dataclass(frozen=True)
class Packing:
    """A structured packing: specific area ``a`` [m^2/m^3], void fraction ``eps`` and the
    constants of the correlations of Chinen et al. (Ind. Eng. Chem. Res. 57 (2018) 10448;
    Tsai's area and hold-up forms, Billet & Schultes' k_G and k_L forms, regressed on the NCCC
    pilot), as the IDAES MEA column uses them (MEAsolvent_column.py, commit 1bcbb048)."""

    name: str
    a: float = 250.0
    eps: float = 0.97
    area_A: float = 1.43914
    area_B: float = 0.12
    holdup_A: float = 11.4474
    holdup_B: float = 0.6471
    holdup_alpha: float = 3.185966
    C_V: float = 0.357
    C_L: float = 0.5

    @property
    def d_h(self) -> float:
        """Hydraulic diameter 4 eps/a [m]."""
        return 4.0 * self.eps / self.a


PACKINGS = {
    "MellapakPlus 252Y": Packing("MellapakPlus 252Y"),
    "Mellapak 250Y": Packing("Mellapak 250Y"),
}


def packing(name: str | Packing) -> Packing:
    if isinstance(name, Packing):
        return name
    for k, v in PACKINGS.items():
        if k.upper() == str(name).strip().upper():
            return v
    raise ValueError(
        f"unknown packing {name!r}; known: {', '.join(PACKINGS)} (or give a "
        "velmora.capture.Packing)"
    )


def interfacial_area(pk: Packing, u_L: float, rho_L: float, sigma: float) -> float:
    """Effective interfacial area [m^2/m^3]: a A [(rho_L/sigma) g^(1/3) (u_L eps/a)^(4/3)]^B
    (Tsai's form; Chinen et al. 2018)."""
    return (
        pk.a
        * pk.area_A
        * ((rho_L / sigma) * G ** (1.0 / 3.0) * (u_L * pk.eps / pk.a) ** (4.0 / 3.0)) ** pk.area_B
    )


def holdup(pk: Packing, u_L: float, mu_L: float, rho_L: float) -> float:
    """Liquid hold-up [m^3/m^3]: A [alpha u_L (mu_L/rho_L)^(1/3)]^B (Chinen et al. 2018)."""
    return pk.holdup_A * (pk.holdup_alpha * u_L * (mu_L / rho_L) ** (1.0 / 3.0)) ** pk.holdup_B


def k_gas(
    pk: Packing, T: float, h_L: float, D_V: float, mu_V: float, rho_V: float, u_V: float
) -> float:
    """Gas-side coefficient [mol/(m^2 s Pa)] (Billet & Schultes' form, C_V of Chinen et al.)."""
    return (
        pk.C_V
        / (R * T)
        * np.sqrt(pk.a / (pk.d_h * (pk.eps - h_L)))
        * D_V ** (2.0 / 3.0)
        * (mu_V / rho_V) ** (1.0 / 3.0)
        * (u_V * rho_V / (pk.a * mu_V)) ** 0.75
    )


def k_liquid(pk: Packing, u_L: float, D_L: float, h_L: float) -> float:
    """Liquid-side coefficient [m/s]: C_L 12^(1/6) (u_L D_L/(h_L d_h))^0.5 (Billet & Schultes'
    form, C_L of Chinen et al.)."""
    return pk.C_L * 12.0 ** (1.0 / 6.0) * np.sqrt(u_L * D_L / (h_L * pk.d_h))


def flooding_fraction(
    pk: Packing, u_V: float, rho_V: float, rho_L: float, mu_L: float, L_over_G: float
) -> float:
    """u_V over the flooding velocity u_fl = [g eps^3/a (rho_L/rho_V) (mu_L/1 mPa s)^-0.2
    exp(-4 H^(1/4))]^(1/2), H = (L/G)_mass (rho_V/rho_L)^(1/2) (IDAES MEA column); below about
    0.8 in a column designed to run."""
    h = L_over_G * np.sqrt(rho_V / rho_L)
    u_fl = np.sqrt(
        G * pk.eps**3 / pk.a * (rho_L / rho_V) * (mu_L / 1e-3) ** -0.2 * np.exp(-4.0 * h**0.25)
    )
    return u_V / u_fl
