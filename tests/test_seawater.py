"""Seawater's ions and salts: the magnesium, strontium and barium pairs against the CRC tables,
their solids against published solubilities and water activities, and the seawater preset
against the Reference Composition it is built from."""

import math
import warnings

import pytest

import velmora
from velmora import presets, regress
from velmora.enginebridge import databank
from velmora.regress import data

T25 = 298.15


@pytest.fixture(scope="module", autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


@pytest.fixture(scope="module")
def systems():
    cache = {}

    def get(name):
        if name not in cache:
            cache[name] = velmora.System(name)
        return cache[name]

    return get


def molality(w, mw):
    """mol/kg of water from a mass percent of the anhydrous salt in the saturated solution."""
    return 1000.0 * w / (100.0 - w) / mw


def worst(salt):
    ev = regress.evaluate(data.salt_sets(salt))
    return max(abs(c / v - 1) for _, rows in ev for _, _, v, c in rows), ev


# ------------------------------------------------------------------------------ pairs

MISS = (
    "one water / ion-pair parameter pair with alpha 0.2 cannot follow the curvature of ln "
    "gamma+- at 0.1-1 mol/kg: MgCl2 -5.7 % at 0.2 mol/kg (its pair also fitted to MgCl2 in NaCl "
    "and the mixtures' water activity), MgSO4 "
    "+14.5 % at 0.1 (its ions associate). An MgSO4(aq) ion pair, tried (phreeqc.dat's log K 2.37 "
    "moved to 2.19 by the fit with the pair), meets MgSO4 within 0.2 %, but holds 1.8 mol/kg in "
    "seawater evaporated to 99 %, where epsomite then no longer comes out: not shipped"
)


@pytest.mark.parametrize(
    "salt, figure, top",
    [("MgCl2", 0.057, 5.0), ("SrCl2", 0.011, 2.0), ("BaCl2", 0.021, 1.0), ("MgSO4", 0.145, 1.0)],
)
def test_pairs_against_the_crc_table_at_25c(salt, figure, top):
    # CRC Handbook gamma+- (0.1-1 mol/kg and the 2 and 5 mol/kg rows): the figures of
    # docs/data-sources.md; MgCl2 with its molecule-ion-pair and like-ion terms up to 14.4 at
    # 5 mol/kg; SrCl2 with its salt-pair term (3.6 % at 0.2 mol/kg without it)
    w, ev = worst(salt)
    assert max(x for _, rows in ev for _, x, _, _ in rows) == top
    assert w == pytest.approx(figure, abs=0.002)


# (BaCl2 and SrCl2 meet it: their figures above)
@pytest.mark.parametrize(
    "salt",
    [
        pytest.param("MgCl2", marks=pytest.mark.xfail(strict=True, reason=MISS)),
        pytest.param("MgSO4", marks=pytest.mark.xfail(strict=True, reason=MISS)),
    ],
)
def test_pairs_within_3_percent(salt):
    assert worst(salt)[0] <= 0.03


def test_mgcl2_against_the_92nd_edition():
    # the same compilation as pyEQL's tests cite it (92nd ed., 0.006-0.007 above the table the
    # fit used at 0.1-1 mol/kg): not fitted; the dilute end as the fit leaves it (6.4 % at 0.2)
    sets = [
        regress.DataSet(
            "CRC 92nd MgCl2",
            "gamma_mean",
            "MgCl2-H2O",
            "MgCl2",
            regress.core.salt_points("MgCl2", [(T25, m, g) for m, g in data.CRC92_MGCL2]),
            "CRC Handbook 92nd ed.",
            0.01,
            "m",
        )
    ]
    rows = regress.evaluate(sets)[0][1]
    assert max(abs(c / v - 1) for _, _, v, c in rows) < 0.07


# Magnesium among chloride at 25 C, pitzer.dat computed by PHREEQC (through phreeqpython 1.6.2),
# points the MgCl2 fit does not hold: (other salt, its mol/kg, MgCl2 mol/kg, a_w, gamma+- of MgCl2
# as (GAMMA("Mg+2") GAMMA("Cl-")^2)^(1/3))
MG_WITHHELD = [
    ("NaCl", 3.0, 1.0, 0.80031, 1.1401),
    ("NaCl", 1.0, 1.0, 0.89705, 0.6965),
    ("NaCl", 5.0, 0.8, 0.7203, 1.6981),
    ("KCl", 1.0, 1.0, 0.90371, 0.6244),
    ("KCl", 2.0, 2.0, 0.76339, 1.4096),
    ("KCl", 3.0, 1.5, 0.77919, 1.1186),
    ("NaCl", 2.5, 1e-4, 0.91276, 0.5578),
    ("NaCl", 4.5, 1e-4, 0.82952, 0.8495),
]


def test_magnesium_among_chloride_on_points_not_fitted(systems):
    """NaCl-MgCl2 and KCl-MgCl2 mixtures: a_w within 1.5 %; gamma+- of MgCl2 traced in NaCl within
    5 %, in the NaCl mixtures within 10 %, in the KCl ones within 30 % (its pair fitted to MgCl2
    with W alone put it 31-78 % low in all of these, the cation traced in chloride through W1 x_w
    x_Cl)."""
    s = systems("seawater-H2O")
    for salt, m, mg, aw, g in MG_WITHHELD:
        liq = s.liquid(T25, molalities={salt: m, "MgCl2": mg})
        gm = liq.gamma_molal
        mean = (gm["Mg++"] * gm["Cl-"] ** 2) ** (1.0 / 3.0)
        tol = 0.05 if mg < 1e-3 else 0.10 if salt == "NaCl" else 0.30
        assert liq.water_activity == pytest.approx(aw, rel=0.015), (salt, m, mg)
        assert mean == pytest.approx(g, rel=tol), (salt, m, mg)


# gamma+- of CaCl2 and BaCl2 traced (1e-4 mol/kg) in 1, 3 and 6 mol/kg NaCl at 25 C: pitzer.dat,
# computed by PHREEQC 3 (through phreeqpython 1.6.2) as (GAMMA("M+2") GAMMA("Cl-")^2)^(1/3)
TRACED_NOT_FITTED = {"CaCl2": (0.4576, 0.5711, 1.0562), "BaCl2": (0.4241, 0.4978, 0.599)}


def test_divalent_chlorides_traced_in_nacl():
    """Each 2:1 chloride traced in NaCl brines against pitzer.dat's: MgCl2 and SrCl2 (fitted on it)
    within 10 %, CaCl2 (its pair set by gypsum in NaCl, measured) and BaCl2 (fitted on it nowhere)
    within 20 %. A cation term acting on the cation traced in chloride, as MgCl2's W alone did (0.20
    against 1.24 at 6 mol/kg), fails it."""
    s = velmora.System("seawater-H2O")
    ref = {
        salt: [g for m, g in data.PITZER_DAT_TRACED_IN_NACL[salt] if m in (1.0, 3.0, 6.0)]
        for salt in ("MgCl2", "SrCl2")
    }
    ref.update(TRACED_NOT_FITTED)
    for salt, gammas in ref.items():
        ion = salt[:2] + "++"
        tol = 0.10 if salt in ("MgCl2", "SrCl2") else 0.20
        for m, g in zip((1.0, 3.0, 6.0), gammas):
            gm = s.liquid(T25, molalities={"NaCl": m, salt: 1e-4}).gamma_molal
            assert (gm[ion] * gm["Cl-"] ** 2) ** (1.0 / 3.0) == pytest.approx(g, rel=tol), (salt, m)


# gamma+- of CaCl2 and SrCl2 traced (1e-4 mol/kg) in MgCl2(aq) and NaCl-MgCl2 mixtures at 25 C,
# points the fit of U(Cl-; Mg++, Ca++) and U(Cl-; Mg++, Sr++) does not hold: pitzer.dat, computed by
# PHREEQC 3 (through phreeqpython 1.6.2) as (GAMMA("M+2") GAMMA("Cl-")^2)^(1/3); (m NaCl, m MgCl2,
# gamma+- of CaCl2, of SrCl2)
IN_MGCL2_WITHHELD = [
    (0.0, 0.25, 0.4663, 0.4673),
    (0.0, 1.5, 0.6722, 0.6495),
    (0.0, 2.5, 1.2559, 1.1922),
    (1.0, 0.5, 0.5094, 0.4900),
    (4.25, 0.55, 0.9867, 0.8896),
    (3.0, 1.5, 1.3367, 1.2244),
    (2.0, 2.5, 2.0738, 1.9260),
]
IN_MGCL2_FIT = "CaCl2-SrCl2-MgCl2-H2O"


def _traced_in_mgcl2(s):
    """{(m NaCl, m MgCl2, salt): calculated / pitzer.dat - 1} over IN_MGCL2_WITHHELD."""
    out = {}
    for a, b, *refs in IN_MGCL2_WITHHELD:
        for salt, g in zip(("CaCl2", "SrCl2"), refs):
            ion = salt[:2] + "++"
            gm = s.liquid(T25, molalities={"NaCl": a, "MgCl2": b, salt: 1e-4}).gamma_molal
            out[(a, b, salt)] = (gm[ion] * gm["Cl-"] ** 2) ** (1.0 / 3.0) / g - 1.0
    return out


def test_calcium_and_strontium_among_magnesium_chloride_on_points_not_fitted():
    """Ca++ and Sr++ traced in MgCl2 brines against pitzer.dat where the fit does not look: within
    20 % (Ca; 15 % before CaCl2's dilute-weighted term moved its pair) and 21 % (Sr; one constant U
    each, the fitted points within 14 and 17 %). Without the two-cation terms both stay near their
    dilute value and fall 42-73 % low at 1.5-2.5 mol/kg MgCl2."""
    now = _traced_in_mgcl2(velmora.System("seawater-H2O"))
    assert all(abs(e) <= (0.20 if k[2] == "CaCl2" else 0.21) for k, e in now.items()), now
    with databank.using(databank.shipped_without_fit(IN_MGCL2_FIT)):
        old = _traced_in_mgcl2(velmora.System("seawater-H2O"))
    assert all(old[k] < -0.4 for k in old if k[1] >= 1.5)


def test_the_fit_in_magnesium_chloride_repeats_from_its_data():
    """regress.shipped repeats the shipped record (from the databank without it) to 1e-5, each U
    some 1100 +- 50, and the fitted points within 14 % (Ca) and 17 % (Sr); the record writes no
    chemistry's range (it is named for none)."""
    from velmora.regress import shipped

    res, _ = shipped.run(IN_MGCL2_FIT)
    rec = next(
        f
        for f in databank.active().fits().values()
        if f["parameters"] == res.overlay["fit"]["parameters"]
    )
    assert res.theta == pytest.approx(rec["theta"], rel=1e-5)
    assert all(1000.0 < u < 1200.0 and e < 60.0 for u, e in zip(res.theta, res.stderr))
    worst = {d.species: max(abs(c / v - 1) for *_, v, c in rows) for d, rows in res.evaluated}
    assert worst["Ca++ Cl-"] < 0.14 and worst["Sr++ Cl-"] < 0.17
    assert res.overlay["fit"]["chemistries"] == [] and res.overlay["fit"]["molality"] == {
        "MgCl2": 3.0
    }


# Seawater (velmora.seawater(carbonate=True), 2.2e-7 mol/kg of barium) concentrated 1-10 times at
# 25 C: PHREEQC's SI() with pitzer.dat (PHREEQC 3 through phreeqpython 1.6.2, the same element
# totals, pH from the charge balance; benchmarks/validate_seawater_phreeqc.py)
SEAWATER_FACTORS = (1, 2, 4, 6, 8, 10)
PHREEQC_SEAWATER_SI = {
    "gypsum": (-0.639, -0.293, 0.121, 0.441, 0.723, 0.978),
    "calcite": (0.891, 1.204, 1.533, 1.738, 1.873, 1.953),
    "celestite": (-0.628, -0.286, 0.140, 0.499, 0.848, 1.198),
    "halite": (-2.497, -1.912, -1.259, -0.807, -0.431, -0.094),
}


def _seawater_si(factors):
    s = velmora.System("seawater-CO2-H2O")
    base = velmora.seawater(carbonate=True)
    out = []
    for f in factors:
        m = {k: v * f for k, v in base.items()}
        m["BaCl2"] = 2.2e-7 * f
        out.append(s.liquid(T25, molalities=m).saturation_indices)
    return out


def test_concentrated_seawater_indices_beside_phreeqc():
    """Gypsum within 0.055 of PHREEQC's index to 8 times (-0.051 at 2; -0.034 before CaCl2's
    dilute-weighted term: its refitted pair gives calcium traced among chloride a little less) and
    0.15 at 10 (0.29 below there without calcium among magnesium chloride), calcite within 0.12;
    celestite within 0.17, most of it its constant at 1 times (the CRC's solubility in water,
    docs/solids.md), which the index carries at every factor: its difference rises by less than 0.25
    from 1 to 10 times. Halite within 0.05 to 8 times and 0.07 at 10, where sodium chloride among
    magnesium chloride and sodium sulfate takes it 0.06 below (benchmarks/seawater_ion_gaps.py)."""
    now = _seawater_si(SEAWATER_FACTORS)
    d = {k: [si[k] - r for si, r in zip(now, ref)] for k, ref in PHREEQC_SEAWATER_SI.items()}
    assert all(abs(e) <= 0.055 for e in d["gypsum"][:-1]) and abs(d["gypsum"][-1]) <= 0.15, d
    assert all(abs(e) <= 0.12 for e in d["calcite"]), d
    assert all(abs(e) <= 0.05 for e in d["halite"][:-1]) and abs(d["halite"][-1]) <= 0.07, d
    assert (
        all(abs(e) <= 0.17 for e in d["celestite"])
        and d["celestite"][-1] - d["celestite"][0] < 0.25
    ), d
    with databank.using(databank.shipped_without_fit(IN_MGCL2_FIT)):
        old = _seawater_si(SEAWATER_FACTORS[-1:])[0]
    assert old["gypsum"] - PHREEQC_SEAWATER_SI["gypsum"][-1] < -0.25


# CRC Handbook, Constant humidity solutions (after Greenspan, J. Res. NBS 81A (1977) 89):
# RH = A exp(B/T) [%] over the saturated solution, "generally accurate to +-2 %"
RH = {
    "MgCl2": (29.26, 34.0, 95.205, 35.9),
    "BaCl2": (69.99, 75.0, 208.23, 27.03),
    "SrCl2": (31.58, 241.0, 158.52, 35.37),
}  # A, B, molar mass, CRC solubility at 25 C [%]


@pytest.mark.parametrize(
    "salt",
    [
        "MgCl2",
        "BaCl2",
        pytest.param(
            "SrCl2",
            marks=pytest.mark.xfail(
                strict=True,
                reason="a_w 0.766 against 0.709 at saturation (3.45 mol/kg): "
                "the pair is fitted to 2 mol/kg",
            ),
        ),
    ],
)
def test_water_activity_of_the_saturated_solution_at_25c(systems, salt):
    a, b, mw, w = RH[salt]
    liq = systems(f"{salt}-H2O").liquid(T25, molalities={salt: molality(w, mw)})
    assert liq.activity["H2O"] == pytest.approx(a * math.exp(b / T25) / 100.0, abs=0.02)


def test_water_activity_over_bischofite_from_5_to_45c(systems):
    # fitted at 10-40 C (its like-ion term has a 1/T part); 5 and 45 C are the ends of the
    # correlation ("generally accurate to +-2 %"): within 1.5 % at 25 C, 3 % at the ends
    a, b, _, _ = RH["MgCl2"]
    s = systems("MgCl2-H2O")
    for t, tol in ((5.0, 0.03), (25.0, 0.015), (45.0, 0.03)):
        liq = s.liquid(t + 273.15, molalities={"MgCl2": 9.0}, solids=True)
        assert liq.activity["H2O"] == pytest.approx(a * math.exp(b / (t + 273.15)) / 100.0, rel=tol)


# The liquid saturated with both halite and bischofite at 10 C: 0.32 % NaCl and 33.80 % MgCl2 by
# mass (Benhassen-Chehimi et al., J. Therm. Anal. Calorim. 53 (1998) 169, the eutonic point of its
# abstract, "g%"): sodium traced in magnesium chloride, which no fit holds
SODIUM_AMONG_MGCL2 = (
    "halite -0.81 at the measured eutonic (PHREEQC's pitzer.dat -0.09): the one "
    "constant U(Cl-; Na+, Mg++) that meets it, about 430 against 267, takes MgCl2 "
    "traced in 6 mol/kg NaCl 57 % above pitzer.dat and seawater's calcite at 10 "
    "times 0.37 lower (docs/solids.md)"
)


@pytest.mark.parametrize(
    "solid",
    [
        "bischofite",
        pytest.param("halite", marks=pytest.mark.xfail(strict=True, reason=SODIUM_AMONG_MGCL2)),
    ],
)
def test_halite_bischofite_eutonic_at_10c(systems, solid):
    water = 100.0 - 0.32 - 33.80
    m = {
        "NaCl": 0.32 / 58.443 / water * 1e3,
        "MgCl2": 33.80 / 95.211 / water * 1e3,
        "CaCl2": 1e-6,
        "Na2SO4": 1e-6,
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        liq = systems("seawater-H2O").liquid(283.15, molalities=m)
    assert abs(liq.saturation_indices[solid]) < 0.2, liq.saturation_indices


# ------------------------------------------------------------------------------ solids

# CRC Handbook, Aqueous solubility of inorganic compounds at various temperatures (mass % of the
# anhydrous salt; as transcribed in chicolucio/solutions): MgSO4 and MgCl2
MGSO4 = {
    10: 21.7,
    20: 25.1,
    25: 26.3,
    30: 28.2,
    40: 30.9,
    50: 33.4,
    60: 35.6,
    70: 36.9,
    80: 35.9,
    90: 34.7,
    100: 33.3,
}
MGCL2 = {0: 33.96, 10: 34.85, 20: 35.58, 25: 35.9, 30: 36.2, 40: 36.77, 50: 37.34, 60: 37.97}
# the hydrate stable beside the saturated solution: epsomite below 48 C, hexahydrite to 68 C,
# kieserite above (SSHADE, MgSO4 hexahydrate, phase transitions)
HYDRATE = {
    10: "epsomite",
    20: "epsomite",
    25: "epsomite",
    30: "epsomite",
    40: "epsomite",
    50: "hexahydrite",
    60: "hexahydrite",
    70: "kieserite",
    80: "kieserite",
    90: "kieserite",
    100: "kieserite",
}


@pytest.mark.parametrize(
    "salt, table, mw, given, tol",
    [("MgSO4", MGSO4, 120.361, 6.0, 0.02), ("MgCl2", MGCL2, 95.205, 9.0, 0.004)],
)
def test_magnesium_salt_solubilities_and_their_hydrates(systems, salt, table, mw, given, tol):
    s = systems(f"{salt}-H2O")
    for t, w in table.items():
        liq = s.liquid(t + 273.15, molalities={salt: given}, solids=True)
        solid = HYDRATE[t] if salt == "MgSO4" else "bischofite"
        assert list(liq.solids) == [solid], t
        assert liq.molality["Mg++"] == pytest.approx(molality(w, mw), rel=tol), t
        assert liq.saturation_indices[solid] == pytest.approx(0.0, abs=1e-8), t


def test_celestite_and_barite_in_water(systems):
    # celestite: 0.0135 % at 25 C (CRC), fitted; its constant stays within 0.2 of pitzer.dat's
    liq = systems("SrSO4-NaCl-H2O").liquid(T25, molalities={"SrSO4": 0.01}, solids=True)
    assert liq.molality["Sr++"] == pytest.approx(molality(0.0135, 183.676), rel=1e-3)
    assert abs(systems("SrSO4-NaCl-H2O").solids.log10_ksp(T25)["celestite"] - (-6.658)) < 0.2
    # barite: the measured solubility products at 25 C span 10^-10.05 to 10^-9.96 (Zhen-Wu et al.
    # 2016); the model's solubility in water lies between the two with its own activity coefficients
    b = systems("BaSO4-NaCl-H2O")
    liq = b.liquid(T25, molalities={"BaSO4": 1e-3}, solids=True)
    m = liq.molality["Ba++"]
    g = liq.activity["Ba++"] / m
    assert -10.05 <= math.log10((m * g) ** 2) <= -9.96
    assert 0.96 < g < 0.98  # Debye-Hueckel at I = 4.3e-5: 0.970
    # and barite comes out of a brine with some BaCl2 and sulfate, not from one without sulfate
    sea = velmora.System("seawater-H2O")
    clear = sea.liquid(T25, molalities={"NaCl": 1.0, "BaCl2": 0.01}, solids=True)
    assert clear.solids == {}
    scale = sea.liquid(T25, molalities={"NaCl": 1.0, "BaCl2": 1e-3, "Na2SO4": 0.01}, solids=True)
    assert list(scale.solids) == ["barite"] and scale.solids["barite"] == pytest.approx(
        1e-3, rel=0.01
    )


# ------------------------------------------------------------------------------ seawater


def test_reference_composition_is_charge_balanced_and_adds_up_to_the_salinity():
    ions = presets.seawater_ions(35.0)
    charge = sum(presets.CHARGE[k] * m for k, m in ions.items())
    cations = sum(presets.CHARGE[k] * m for k, m in ions.items() if presets.CHARGE[k] > 0)
    assert abs(charge) < 3e-6 * cations  # Millero et al. balanced it; a typo would not be
    salt = sum(m * presets.REFERENCE_COMPOSITION[k][1] for k, m in ions.items()) / 1000.0
    assert salt / (1.0 + salt) == pytest.approx(35.16504e-3, rel=1e-9)  # kg salt / kg seawater


def test_seawater_preset(systems):
    sw = velmora.seawater()
    ions = presets.seawater_ions()
    s = systems("seawater-H2O")
    liq = s.liquid(T25, molalities=sw)
    for ion in ("Na+", "K+", "Mg++", "Ca++", "Sr++", "SO4--"):
        # calcium and sulfate: the free ions and their ion pair (about a tenth of the calcium)
        paired = liq.molality["CaSO4(aq)"] if ion in ("Ca++", "SO4--") else 0.0
        assert liq.molality[ion] + paired == pytest.approx(ions[ion], rel=1e-7)
    assert 0.05 < liq.molality["CaSO4(aq)"] / ions["Ca++"] < 0.3
    # chloride carries bromide and the left-out anions: the balance of the cations and sulfate
    left_out = sum(-presets.CHARGE[k] * ions[k] for k in ("HCO3-", "CO3--", "B(OH)4-", "F-", "OH-"))
    assert liq.molality["Cl-"] == pytest.approx(ions["Cl-"] + ions["Br-"] + left_out, rel=1e-5)
    assert 2.3e-3 < left_out < 2.5e-3
    half = velmora.seawater(17.5)  # per kg of seawater, half of each salt
    water = {35.0: 1.0 - 35.16504e-3, 17.5: 1.0 - 35.16504e-3 / 2}
    assert all(
        half[k] * water[17.5] == pytest.approx(v * water[35.0] / 2, rel=1e-12)
        for k, v in sw.items()
    )
    # with its carbonate: HCO3-, CO3-- and CO2 as the reference gives them, chloride takes the rest
    c = systems("seawater-CO2-H2O").liquid(T25, molalities=velmora.seawater(carbonate=True))
    dic = sum(c.molality[k] for k in ("CO2", "HCO3-", "CO3--", "CaCO3(aq)", "MgCO3(aq)"))
    assert dic == pytest.approx(ions["HCO3-"] + ions["CO3--"] + ions["CO2"], rel=1e-6)
    left_out = sum(-presets.CHARGE[k] * ions[k] for k in ("B(OH)4-", "F-", "OH-"))
    assert c.molality["Cl-"] == pytest.approx(ions["Cl-"] + ions["Br-"] + left_out, rel=1e-5)
    # water the CO2 reactions use; magnesium free and paired with carbonate
    assert c.molality["Mg++"] + c.molality["MgCO3(aq)"] == pytest.approx(ions["Mg++"], rel=1e-6)
    with pytest.raises(ValueError, match="salinity must be positive"):
        velmora.seawater(0.0)


@pytest.mark.parametrize("factor", [4.0, 12.0, 40.0])
def test_concentrated_seawater_saturated_solids(systems, factor):
    s = systems("seawater-H2O")
    feed = {k: v * factor for k, v in velmora.seawater().items()}
    liq = s.liquid(T25, molalities=feed, solids=True)
    assert liq.solids
    for k, v in liq.saturation_indices.items():
        if k in liq.solids:
            assert abs(v) <= 1e-8
        else:
            assert v < 0.0
    assert liq.balance < 1e-10
    # calcium sulfate is the first scale: gypsum (or anhydrite) is among the solids at every factor
    assert {"gypsum", "anhydrite"} & set(liq.solids)
