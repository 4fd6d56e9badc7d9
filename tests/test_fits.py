"""The shipped fits against published measurements (not against the fits' own output), and the
regression tool on a small fit."""

import math
import warnings

import numpy as np
import pytest
from scipy.optimize import brentq

import velmora
from velmora import regress
from velmora.enginebridge import databank
from velmora.regress import data, shipped
from velmora.regress.core import MOL_WATER_PER_KG, Model, overlay, statistics

T25 = 298.15


def worst_relative(evaluated, x_max=math.inf, temps=None):
    """Largest |calc/measured - 1| over the evaluated points with x <= x_max (and T in temps)."""
    return max(
        abs(c / v - 1)
        for _, rows in evaluated
        for T, x, v, c in rows
        if x <= x_max and (temps is None or round(T, 2) in temps)
    )


# NaOH and KOH with the molecule-ion-pair term W (docs/activity-model.md); KCl, Na2SO4 without.
# NaOH: its W and the like-ion triple OH-/Na+/Na+ are also held by NaOH traced in NaCl.
# CaCl2: its pair, the like-ion term Cl-/Ca++/Ca++ and the dilute-weighted term H2O/Ca++, fitted
# with gypsum in NaCl brines (W, which would meet 3 %, moves those off their measurements).


@pytest.mark.parametrize(
    "salt, figure, x_max",
    [
        ("KCl", 0.004, 4.0),
        ("Na2SO4", 0.009, 2.0),
        ("NaOH", 0.015, 6.0),
        ("KOH", 0.013, 5.5),
        ("CaCl2", 0.008, 2.5),
    ],
)
def test_salt_gamma_at_25c_within_3_percent_to_6_molal_or_saturation(salt, figure, x_max):
    # CRC Handbook (CaCl2: Robinson & Stokes) to 1 mol/kg; above, Robinson & Stokes (KCl) or the
    # Pitzer & Mayorga (1973) equation
    ev = regress.evaluate(data.salt_sets(salt))
    assert max(x for _, rows in ev for _, x, _, _ in rows) == data.M_MAX[salt]
    worst = worst_relative(ev, x_max)
    assert worst <= 0.03
    assert worst == pytest.approx(figure, abs=0.002)  # the figure docs/data-sources.md states


def test_salts_within_3_percent_of_the_crc_table_at_2_and_5_molal():
    # CRC Handbook values at 2 and 5 mol/kg
    worst = {s: worst_relative(regress.evaluate([data.crc_high_set(s)])) for s in ("NaOH", "KOH")}
    assert max(worst.values()) <= 0.03


@pytest.mark.parametrize("salt, crc_5, m_top", [("KOH", 1.697, 18.0), ("NaOH", 1.076, 20.0)])
def test_hydroxides_to_caustic_as_sold_on_balej_water_activity(salt, crc_5, m_top):
    # to 18 (KOH) and 20 mol/kg (NaOH): the fit's a_w within 3.5 % of Balej's correlation of the
    # vapour pressures; gamma+- there, the model's own ln gamma, against gamma+- from Balej's phi
    # by Gibbs-Duhem, ln g(m) = ln g(5) + phi(m) - phi(5) + int_5^m (phi - 1)/m dm, from the CRC's
    # value at 5 mol/kg. Balej's phi is itself 8 % (KOH) steeper than the CRC's gamma+- from 2 to
    # 5 mol/kg, so the two routes are held to 16 % (KOH +9 to +15 %, NaOH -6.3 to -0.1 %).
    model = Model(f"{salt}-H2O")
    ms = np.array([6.0, 10.0, 14.0, m_top])
    a_w = np.exp(shipped.ln_water_activity(model, salt, ms))
    balej = np.array([data.balej_water_activity(salt, m, T25) for m in ms])
    assert np.max(np.abs(a_w / balej - 1)) <= 0.035

    def phi(m):
        return -math.log(data.balej_water_activity(salt, m, T25)) * MOL_WATER_PER_KG / (2 * m)

    for m in ms[1:]:
        grid = np.linspace(5.0, m, 2001)
        integral = np.trapezoid([(phi(x) - 1) / x for x in grid], grid)
        expected = crc_5 * math.exp(phi(m) - phi(5.0) + integral)
        got = model.value("gamma_mean", salt, T25, {"H2O": MOL_WATER_PER_KG, salt: m})
        assert got == pytest.approx(expected, rel=0.16), m
    # the fitted range reaches the top: no range warning there at 25 or 150 C
    with warnings.catch_warnings():
        warnings.simplefilter("error", velmora.RangeWarning)
        velmora.System(f"{salt}-H2O").liquid(T25, molalities={salt: m_top})
        velmora.System(f"{salt}-H2O").liquid(423.15, molalities={salt: m_top})


@pytest.mark.parametrize("salt", ["KOH", "NaOH"])
def test_hot_caustic_water_activity_and_heat_of_dilution(salt):
    # 50-150 C (the 1/T terms fitted on Balej's a_w): a_w within 2.5 % of his correlation at 2-18
    # mol/kg; and the relative partial molar enthalpy of water, L1 = H_w(solution) - H_w(pure),
    # from LiquidState.H (differenced in the water) equal to -R T^2 d ln a_w / dT of the same
    # liquids (Gibbs-Helmholtz: the enthalpy and the activity are separate code), negative
    # (dilution of strong caustic gives off heat) and within 20 % of Balej's own slope
    model, s = Model(f"{salt}-H2O"), velmora.System(f"{salt}-H2O")
    for T in (323.15, 373.15, 423.15):
        ms = [2.0, 6.0, 10.0, 14.0, 18.0]
        a_w = np.exp(shipped.ln_water_activity(model, salt, ms, T))
        balej = [data.balej_water_activity(salt, m, T) for m in ms]
        assert np.max(np.abs(a_w / balej - 1)) <= 0.025, T
    R, T, m, nw = 8.314462618, 373.15, 16.0, MOL_WATER_PER_KG

    def h_total(w):
        return s.liquid(T, {"H2O": w, salt: m}).H * (w + m)

    def ln_aw(t):
        return math.log(s.liquid(t, molalities={salt: m}).activity["H2O"])

    L1 = (h_total(1.001 * nw) - h_total(0.999 * nw)) / (0.002 * nw) - s.liquid(T, {"H2O": 1.0}).H
    assert L1 == pytest.approx(-R * T**2 * (ln_aw(T + 0.5) - ln_aw(T - 0.5)), rel=1e-3)
    slope = math.log(
        data.balej_water_activity(salt, m, T + 0.5) / data.balej_water_activity(salt, m, T - 0.5)
    )
    assert L1 < 0 and L1 == pytest.approx(-R * T**2 * slope, rel=0.2)
    # the bubble point at 1 atm through the front door's flash (water's vapour pressure, the
    # activity model, the split), against T where Balej's p(m, T) is 1 atm: within 1 K to 18 mol/kg
    P, (c0, c1, c2, c3) = 101325.0, data.BALEJ_P0

    def gap(t, m):  # ln(p / P) by Balej, p0 in bar
        ln_p0 = (c0 + c1 / t + c2 * math.log10(t) + c3 * t) * math.log(10)
        return math.log(data.balej_water_activity(salt, m, t) * 1e5 / P) + ln_p0

    for m in (5.0, 10.0, 18.0):
        bubble = s.flash({"H2O": MOL_WATER_PER_KG, salt: m}, P, vapor_fraction=0.0).T
        assert bubble == pytest.approx(brentq(gap, 350.0, 480.0, args=(m,)), abs=1.0), m


def test_cacl2_to_5_molal_with_its_like_ion_term():
    # gamma+- of every set to 5 mol/kg within 2 %, the CRC's 2 and 5 mol/kg rows among them (1.7 %
    # at 2 mol/kg, after Staples & Nuttall 1977; +5.2 % before the dilute-weighted term; the pair
    # alone: -62 % at 5 mol/kg, 2.22 against 5.91); a_w at 3-5 mol/kg within 3.5 % of Conde's
    # correlation of the measured vapour pressures (not fitted; -3.1 % at 5, -2.3 % before the
    # dilute-weighted term took gamma+- there from -2.5 to -0.2 %; the pair alone 19 % high)
    sets = data.salt_sets("CaCl2") + [data.crc_high_set("CaCl2")]
    assert worst_relative(regress.evaluate(sets)) <= 0.02
    ((_, rows),) = regress.evaluate([data.crc_high_set("CaCl2")])
    assert [round(x) for _, x, _, _ in rows] == [2, 5] and abs(rows[1][3] / rows[1][2] - 1) <= 0.03
    model = Model("CaCl2-H2O")
    for m in (3.0, 4.0, 5.0):
        a_w = math.exp(shipped.ln_water_activity(model, "CaCl2", [m])[0])
        assert a_w == pytest.approx(conde_cacl2_aw(m, T25), rel=0.035), m
    none = dict(ion="Cl-", ion_1="Ca++", ion_2="Ca++", U_A=0.0, U_B=0.0, source="test: none")
    without = databank.derive(databank.shipped(), [{"nrtl_mixing": {"pair": [none]}}])
    ((_, rows),) = regress.evaluate([data.crc_high_set("CaCl2")], without)
    assert rows[1][3] / rows[1][2] < 0.5  # the term is what carries 5 mol/kg


# Conde, Int. J. Therm. Sci. 43 (2004) 367, Table 3: a_w of CaCl2(aq) = f(w, T/Tc) pi25(w), the
# correlation of the vapour pressures measured since 1850 (coefficients as transcribed in
# ovinc/aquasol, aquasol/formulas/solutions/water_activity/CaCl2.py; Tc 647.096 K); w the mass
# fraction of CaCl2. Its form is not meant for the dilute end: used here at 3-7 mol/kg.
CONDE_CACL2 = (0.31, 3.698, 0.6, 0.231, 4.584, 0.49, 0.478, -5.20, -0.4, 0.018)


def conde_cacl2_aw(m, T):
    p = CONDE_CACL2
    w = m * 0.11098 / (1.0 + m * 0.11098)
    f = 2 - (1 + (w / p[0]) ** p[1]) ** p[2] + ((1 + (w / p[3]) ** p[4]) ** p[5] - 1) * T / 647.096
    return f * (1 - (1 + (w / p[6]) ** p[7]) ** p[8] - p[9] * math.exp(-((w - 0.1) ** 2) / 0.005))


def test_cacl2_with_w_meets_its_gamma_but_not_gypsum_in_nacl():
    # the trial that is not shipped, on the shipped databank otherwise (today's CaSO4 records)
    sets, params, extra, _ = shipped.cacl2_w_trial()
    base = shipped.base_without("CaCl2-H2O")
    db = databank.derive(base, [overlay(params, shipped.CACL2_W_TRIAL, base)])
    ev = regress.evaluate(sets[:3], db)  # gamma+-: R&S, Pitzer-Mayorga, CRC 2 and 5
    assert max(x for _, rows in ev for _, x, _, _ in rows) == 5.0
    assert worst_relative(ev) == pytest.approx(0.033, abs=0.002)
    # a_w falls to 90 mol/kg (the fit held it to 100 but for its last step), and is 3.5 % below
    # Conde's correlation at 5 mol/kg, 18 % below at 7 (sat. 7.4)
    ms = np.geomspace(5.0, 90.0, 40)
    assert np.all(np.diff(shipped.ln_water_activity(Model("CaCl2-H2O", db), "CaCl2", ms)) < 0)
    for d, m, dev in ((db, 5.0, -0.035), (db, 7.0, -0.18)):
        a_w = math.exp(shipped.ln_water_activity(Model("CaCl2-H2O", d), "CaCl2", [m])[0])
        assert a_w / conde_cacl2_aw(m, T25) - 1 == pytest.approx(dev, abs=0.01)
    # gypsum in NaCl(aq) at 25 C (Marshall & Slusher 1966): a factor 17 high at 0.55 mol/kg NaCl
    ((_, rows),) = regress.evaluate([data.gypsum_sets(25)[0]], db)
    assert min(c / v for _, x, v, c in rows if x >= 0.5) > 15.0
    ((_, rows),) = regress.evaluate([data.gypsum_sets(25)[0]])
    assert worst_relative([(None, rows)]) < 0.1


# a_w falls as salt is added, well beyond saturation at 25 C (a rise is a second liquid branch
# that flashes and solid equilibria can land on): the first rise of each shipped salt, mol/kg
AW_FIRST_RISE = {"KOH": 96.0}


@pytest.mark.parametrize(
    "salt",
    ["NaOH", "KOH", "CaCl2", "MgCl2", "KCl", "Na2SO4", "NaCl", "SrCl2", "BaCl2", "K2SO4", "MgSO4"],
)
def test_water_activity_falls_with_molality_to_30_molal_and_beyond(salt):
    model = Model(f"{salt}-H2O")
    ms = np.geomspace(0.5, 1000.0, 400)
    ln_aw = shipped.ln_water_activity(model, salt, ms)
    rise = np.nonzero(np.diff(ln_aw) > 0)[0]
    first = ms[rise[0]] if len(rise) else math.inf
    assert first > 30.0
    assert first == pytest.approx(AW_FIRST_RISE.get(salt, math.inf), rel=0.02)
    # the model's a_w is the front door's (speciated liquid) where the salt is fitted
    liq = velmora.System(f"{salt}-H2O").liquid(T25, molalities={salt: 1.0})
    assert math.exp(shipped.ln_water_activity(model, salt, [1.0])[0]) == pytest.approx(
        liq.activity["H2O"], rel=1e-6
    )


def test_pitzer_mayorga_reference_reproduces_robinson_stokes():
    # the equation that stands in for the tables above 1 mol/kg, against R&S's own KCl values
    for m, g in data.RS_KCL:
        assert data.pitzer_mayorga("KCl", m)[0] == pytest.approx(g, abs=0.002)
    assert data.pitzer_mayorga("NaOH", 1.0)[0] == pytest.approx(0.678, rel=0.02)  # CRC


def test_nacl_pair_improves_on_the_25c_pair_at_50_and_100c():
    shipped_ev = regress.evaluate(data.nacl_sets())
    chen_ev = regress.evaluate(data.nacl_sets(), databank.shipped_without_fit("NaCl-H2O"))
    for temps in ({323.15}, {373.15}):
        assert worst_relative(shipped_ev, temps=temps) < 0.6 * worst_relative(chen_ev, temps=temps)
    # the fitted tau is smooth between and a little beyond 25-100 C (no turning point)
    a1, b1, _, _, _, _ = databank.electrolyte_pair("H2O", "Na+", "Cl-")
    f1, _ = databank.electrolyte_ln_t("H2O", "Na+", "Cl-")
    taus = [a1 + b1 / T + f1 * math.log(T) for T in range(273, 395, 10)]
    assert all(t2 < t1 for t1, t2 in zip(taus, taus[1:])) and 8.0 < min(taus) < max(taus) < 9.5


@pytest.mark.xfail(
    strict=True,
    reason="worst 2.9 % (gamma+-, 25 C, 6 mol/kg; -2.3 % at 0.75) and 2.6 % (phi, "
    "25 C, 6 mol/kg): the model form. The W term meets 1.8 % (W2) or 0.8 % "
    "(W1, W2) but the pair it leaves moves the ions traced in NaCl off their "
    "data (W2: H+ 28 %, Sr++ 25 %; shipped.nacl_w_trial), with or without its "
    "effect on the species outside its triple; so does the like-ion triple "
    "Cl-/Na+/Na+ (1.3 %; gypsum in NaCl +45 %). The dilute-weighted "
    "salt-pair term meets 1.5 % with the fits that rest on NaCl repeated "
    "(shipped.salt_pair_trial), W1, W2 and U(Cl-; Na+, Na+) held off the "
    "other ions 1 % (shipped.nacl_own_trial), neither shipped: see "
    "docs/data-sources.md",
)
def test_nacl_gamma_and_phi_within_2_percent_to_6_molal_25_to_100c():
    assert worst_relative(regress.evaluate(data.nacl_sets())) <= 0.02


def test_salt_pair_trial_meets_2_percent_and_keeps_the_ions_traced_in_nacl():
    # the chain of fits with the dilute-weighted salt-pair terms, not shipped
    # (docs/data-sources.md), against the published data: NaCl (Pitzer, Peiper & Busey) within 2 %
    # at 25, 50 and 100 C
    db, results = shipped.salt_pair_trial()
    nacl = regress.evaluate(data.nacl_sets(), db)
    for T in (298.15, 323.15, 373.15):
        assert worst_relative(nacl, temps={T}) <= 0.02, T
    # D_NaCl at 25 C near 2 beta1 / M_w of pitzer.dat's NaCl (Pitzer's beta1 term, the same weight)
    d = dict(
        zip((p.field for p in results["NaCl-H2O"].params[-2:]), results["NaCl-H2O"].theta[-2:])
    )
    assert d["D_A"] + d["D_B"] / T25 == pytest.approx(
        2 * data.PITZER_DAT["NaCl"][1] / 0.018015, rel=0.10
    )
    # what NaCl's term does to every ion traced in NaCl its own salt's term gives back: pitzer.dat's
    # HCl, MgCl2 and SrCl2 traced in NaCl within 2, 4 and 4 % (shipped 2.8, 7.3, 3.5 %), the CRC
    # gamma+- of MgCl2 and SrCl2 within 2.5 % (5.7, 1.1), gypsum in NaCl (Marshall & Slusher,
    # 0.5-40 C) within 8 % (9.6), anhydrite (Block & Waters, 100 C) 8 % (9.2), barite (Templeton,
    # 50 C) 4 % (7.7); NaOH traced in NaCl 7 % (5.5: worse)
    for sets, tol in (
        ([data.acid_base_sets()[1]], 0.02),
        ([data.traced_in_nacl_set("MgCl2")], 0.04),
        ([data.traced_in_nacl_set("SrCl2")], 0.04),
        (data.salt_sets("MgCl2"), 0.025),
        (data.salt_sets("SrCl2"), 0.025),
        ([data.gypsum_sets(t)[0] for t in (0.5, 25, 40)], 0.08),
        ([data.anhydrite_sets("bw", 100)], 0.08),
        (data.barite_nacl_sets()[:1], 0.04),
        ([data.acid_base_sets()[2]], 0.07),
    ):
        assert worst_relative(regress.evaluate(sets, db)) <= tol, sets[0].name


def test_nacl_own_terms_trial_meets_1_percent_at_10_to_100c_and_leaves_the_other_ions_alone():
    # the trial that is not shipped (docs/data-sources.md): W1, W2 and U(Cl-; Na+, Na+) beside
    # NaCl's six tau coefficients, their effect on the species outside NaCl held to zero, and the
    # fits that rest on NaCl repeated with their own parameters
    db, results = shipped.nacl_own_trial()
    # Pitzer, Peiper & Busey: the fitted 25/50/100 C rows and the withheld 10-90 C rows within 1 %
    # (shipped: 2.9 and 3.3 %, the latter at 10 C and 4 mol/kg)
    for sets, shipped_worst in ((data.nacl_sets(), 0.029), (data.nacl_table_sets(), 0.033)):
        assert worst_relative(regress.evaluate(sets, db)) <= 0.01
        assert worst_relative(regress.evaluate(sets)) == pytest.approx(shipped_worst, abs=0.001)
    # Ca++ and SO4-- in 6.2 mol/kg NaCl, the three terms alone on the shipped pair: each term's
    # part for the species outside its triple (F's 1/N^2), written out from the mole fractions,
    # is what the engine gives, and the three cancel to within 0.002 (W1 -0.02, W2 +0.17, U -0.15)
    w1, w2, u = results["NaCl-H2O"].theta[-3:]
    terms = results["NaCl-H2O"].params[-3:]
    comp = {"H2O": MOL_WATER_PER_KG, "Na+": 6.2, "Cl-": 6.2, "Ca++": 0.03, "SO4--": 0.03}
    model = Model("CaSO4-NaCl-H2O")
    n, lng0 = model._true_ln_gamma(T25, comp)
    x = dict(zip(model.names, n / n.sum()))
    xw, xna, xcl = x["H2O"], x["Na+"], x["Cl-"]
    parts = (
        -2 * w1 * xw * xna * xcl,
        -3 * w2 * xw * xna * xcl * (xna + xcl),
        -2 * u * xcl * xna**2,
    )
    for values, expected in (
        ((w1, 0.0, 0.0), parts[0]),
        ((0.0, w2, 0.0), parts[1]),
        ((0.0, 0.0, u), parts[2]),
        ((w1, w2, u), sum(parts)),
    ):
        db3 = databank.derive(databank.shipped(), [overlay(terms, values, databank.shipped())])
        _, lng = Model("CaSO4-NaCl-H2O", db3)._true_ln_gamma(T25, comp)
        for s in ("Ca++", "SO4--"):
            k = model.names.index(s)
            assert lng[k] - lng0[k] == pytest.approx(expected, abs=1e-10)
    assert [round(p, 2) for p in parts] == [-0.02, 0.17, -0.15]
    assert abs(sum(parts)) < 0.002
    assert abs(sum(parts) - shipped.nacl_outside_ln_gamma(w1, w2, u, 6.2)) < 0.002
    # with another chloride beside NaCl (x_Na below x_Cl) they cancel in part: 0.7-1.1 % in gamma
    db3 = databank.derive(databank.shipped(), [overlay(terms, (w1, w2, u), databank.shipped())])
    for na, ca, moved in ((3.0, 1.0, 0.0105), (1.0, 2.0, 0.0071), (4.0, 0.5, 0.0072)):
        comp = {
            "H2O": MOL_WATER_PER_KG,
            "Na+": na,
            "Cl-": na + 2 * ca + 0.002,
            "Ca++": ca + 0.001,
            "SO4--": 0.001,
        }
        _, lng0 = model._true_ln_gamma(T25, comp)
        _, lng = Model("CaSO4-NaCl-H2O", db3)._true_ln_gamma(T25, comp)
        for s in ("Ca++", "SO4--"):
            k = model.names.index(s)
            assert lng[k] - lng0[k] == pytest.approx(moved, abs=0.0005), (na, ca, s)
    # what the refitted pair moves, the fits repeated take back: pitzer.dat's HCl, NaOH, MgCl2 and
    # SrCl2 traced in NaCl within 2.5, 1.5, 4.5, 1.5 % (shipped 2.8, 5.5, 7.3, 3.5 %), Marshall &
    # Slusher's gypsum at 25 and 40 C within 5 % (6.5, 6.0), at 0.5 C 8 % (9.6), Block & Waters's
    # anhydrite at 100 C 10 % (9.2), Templeton's barite in NaCl 4 % (7.7)
    for sets, tol in (
        ([data.acid_base_sets()[1]], 0.025),
        ([data.acid_base_sets()[2]], 0.015),
        ([data.traced_in_nacl_set("MgCl2")], 0.045),
        ([data.traced_in_nacl_set("SrCl2")], 0.015),
        ([data.gypsum_sets(t)[0] for t in (25, 40)], 0.05),
        ([data.gypsum_sets(0.5)[0]], 0.08),
        ([data.anhydrite_sets("bw", 100)], 0.10),
        (data.barite_nacl_sets()[:1], 0.04),
    ):
        assert worst_relative(regress.evaluate(sets, db)) <= tol, sets[0].name
    # and what it does not: halite's solubility at 100 C 3 % low (its constant not refitted; shipped
    # within 0.1 %), anhydrite in water at 100 C (Blount & Dickson) 8 % high (2 %)
    ((_, rows),) = regress.evaluate([data.anhydrite_water_set(100)], db)
    assert rows[0][3] / rows[0][2] - 1 == pytest.approx(0.083, abs=0.01)


def test_supersaturated_nacl_droplet_fits_as_transcribed():
    # Tang, Munkelwitz & Wang's and Clegg et al.'s fits of levitated-droplet water activities
    # (data.py): the phi written out for the former is the Gibbs-Duhem integral of its log10
    # gamma+-, both meet Hamer & Wu's phi (Table 16) to halite's saturation, 6.144 mol/kg, where
    # a_w is 0.7531 by Hamer & Wu, and the two independent fits agree beyond it to 13 mol/kg
    a, b, beta, c, d = data.TANG_NACL
    for m in (1.0, 6.144, 13.0):
        xs = np.linspace(1e-12, m, 20001)
        r = np.sqrt(xs)
        ln_g = math.log(10.0) * (-a * r / (1 + b * r) + beta * xs + c * xs**2 + d * xs**3)
        integral = np.trapezoid(xs * np.gradient(ln_g, xs), xs)
        assert data.tang_nacl_phi(m) == pytest.approx(1 + integral / m, abs=1e-5)
    for m, phi in data.HAMER_WU_NACL_PHI:
        a_w = math.exp(-2 * m * phi / MOL_WATER_PER_KG)
        assert data.tang_nacl_phi(m) == pytest.approx(phi, rel=0.007)  # 0.65 % at 3 mol/kg
        assert data.tang_nacl_water_activity(m) == pytest.approx(a_w, rel=0.001)
        assert data.clegg_nacl_water_activity(m) == pytest.approx(a_w, rel=0.0015)
    assert math.exp(-2 * 6.144 * 1.281 / MOL_WATER_PER_KG) == pytest.approx(0.7531, abs=1e-4)
    ms = np.linspace(6.144, data.TANG_NACL_M_MAX, 40)
    tang = np.array([data.tang_nacl_water_activity(m) for m in ms])
    clegg = np.array([data.clegg_nacl_water_activity(m) for m in ms])
    assert np.max(np.abs(tang / clegg - 1)) <= 0.012  # 1.1 % at 13 mol/kg
    for aw, m_max in (
        (data.tang_nacl_water_activity, data.TANG_NACL_M_MAX),
        (data.clegg_nacl_water_activity, data.CLEGG_NACL_M_MAX),
    ):
        assert np.all(np.diff([aw(m) for m in np.linspace(0.1, m_max, 60)]) < 0)


def test_shipped_nacl_water_activity_beyond_saturation_against_the_droplets():
    # 6.5-13 (Tang et al.) and 6.5-17 mol/kg (Clegg et al.) at 25 C: the shipped pair's phi low
    # everywhere, by 3.3 % at 6.5 mol/kg to 11.9 % at 12 (Tang) and 13.9 % at 16.5 (Clegg), its a_w
    # above theirs by at most 8.6 % (12.8 mol/kg). The own-terms trial's NaCl fit
    # (shipped.nacl_own_trial) falls the other way, its phi 26 % high at 13 mol/kg: the collapse of
    # its a_w beyond saturation (docs/data-sources.md) is not the droplets'.
    for source, worst in (("tang1986", 0.125), ("clegg1997", 0.145)):
        ((_, rows),) = regress.evaluate([data.supersaturated_nacl_phi_set(source)])
        devs = [calc / phi - 1 for _, _, phi, calc in rows]
        assert -worst <= min(devs) and max(devs) < -0.03, source
    ms = np.linspace(6.144, data.TANG_NACL_M_MAX, 40)
    a_w = np.exp(shipped.ln_water_activity(Model("NaCl-H2O"), "NaCl", ms))
    dev = a_w / np.array([data.tang_nacl_water_activity(m) for m in ms]) - 1
    assert 0 < np.min(dev) and np.max(dev) <= 0.09
    db, _ = shipped.nacl_own_trial(names=("NaCl-H2O",))
    ((_, rows),) = regress.evaluate([data.supersaturated_nacl_phi_set("tang1986")], db)
    assert rows[-1][1] == data.TANG_NACL_M_MAX and rows[-1][3] / rows[-1][2] - 1 > 0.2


def test_nacl_with_w2_meets_2_percent_but_not_the_ions_traced_in_nacl():
    # the trial that is not shipped: gamma+- and phi (Pitzer, Peiper & Busey) within 2 %, but H+
    # and Sr++ traced in NaCl (pitzer.dat) far off (28 and 25 %; Sr++ 20 % before SrCl2's
    # salt-pair term) where the shipped pairs hold 3 and 3.5 %
    sets, params, _, _ = shipped.nacl_w_trial()
    base = shipped.base_without("NaCl-H2O")
    ov = overlay(params, shipped.NACL_W_TRIAL, base)
    db = databank.derive(databank.shipped(), [ov])
    assert worst_relative(regress.evaluate(sets, db)) == pytest.approx(0.018, abs=0.001)
    for traced, now, trial in (
        (data.acid_base_sets()[1:2], 0.03, 0.28),
        ([data.traced_in_nacl_set("SrCl2")], 0.04, 0.25),
    ):
        assert worst_relative(regress.evaluate(traced)) <= now
        assert worst_relative(regress.evaluate(traced, db)) == pytest.approx(trial, abs=0.01)
    # a_w of NaCl(aq) turns up again at 43 mol/kg (the shipped pair: never to 1000)
    ms = np.geomspace(0.5, 1000.0, 400)
    ln_aw = shipped.ln_water_activity(Model("NaCl-H2O", db), "NaCl", ms)
    assert ms[np.nonzero(np.diff(ln_aw) > 0)[0][0]] == pytest.approx(43.0, rel=0.02)
    # Ca++ and SO4-- in 6.2 mol/kg NaCl: with W2 alone (the shipped pair) each gains exactly what
    # d F_W / d n takes from every species outside the triple, -3 W2 x_w x_Na x_Cl (x_Na + x_Cl)
    # (F_W's 1/N^2); the trial (its pair too) moves ln(gamma_Ca gamma_SO4 a_w^2) by -0.89, of
    # which that part is -0.19 only: the traced ions follow the refitted pair
    comp = {"H2O": data.MOL_WATER_PER_KG, "Na+": 6.2, "Cl-": 6.2, "Ca++": 0.03, "SO4--": 0.03}
    w2 = shipped.NACL_W_TRIAL[-1]
    w2_only = databank.derive(databank.shipped(), [overlay(params[-1:], [w2], databank.shipped())])
    n, lng0 = Model("CaSO4-NaCl-H2O")._true_ln_gamma(T25, comp)
    names = Model("CaSO4-NaCl-H2O").names
    x = dict(zip(names, n / n.sum()))
    outside = -3 * w2 * x["H2O"] * x["Na+"] * x["Cl-"] * (x["Na+"] + x["Cl-"])
    _, lng_w = Model("CaSO4-NaCl-H2O", w2_only)._true_ln_gamma(T25, comp)
    _, lng_trial = Model("CaSO4-NaCl-H2O", db)._true_ln_gamma(T25, comp)
    i = {s: names.index(s) for s in ("Ca++", "SO4--", "H2O")}
    for s in ("Ca++", "SO4--"):
        assert lng_w[i[s]] - lng0[i[s]] == pytest.approx(outside, abs=1e-10)
    assert outside == pytest.approx(-0.097, abs=0.001)
    move = sum((2 if s == "H2O" else 1) * (lng_trial[k] - lng0[k]) for s, k in i.items())
    assert move == pytest.approx(-0.89, abs=0.01)
    # gypsum in NaCl (Marshall & Slusher, 25 C): 56 % high at 6.22 mol/kg; the CaSO4 fit repeated
    # on the trial (its two sulfate-chloride U absorb the move) brings it within 5 %
    ((_, rows),) = regress.evaluate(data.gypsum_sets(25)[:1], db)
    assert max(c / v - 1 for _, x, v, c in rows) == pytest.approx(0.56, abs=0.01)
    gsets, gparams, gextra, _ = shipped._caso4()
    gbase = databank.derive(shipped.base_without("CaSO4-NaCl-H2O"), [ov])
    res = regress.fit(gsets, gparams, base=gbase, extra=gextra, max_nfev=200)
    ((_, rows),) = regress.evaluate(data.gypsum_sets(25)[:1], databank.derive(gbase, [res.overlay]))
    assert worst_relative([(None, rows)]) == pytest.approx(0.049, abs=0.003)


def mea_worst_by_author(loading):
    worst = {}
    for d, rows in regress.evaluate(data.mea_sets(loading=loading, tmax=393.65)):
        author = d.name.split(",")[0]
        worst[author] = max(worst.get(author, 1.0), statistics(rows)["worst_factor"])
    return worst


@pytest.mark.xfail(
    strict=True,
    reason="worst factors to 2.14 (Xu & Rochelle 110 C; Hilliard 40 wt%, "
    "40 C 2.09): out of reach of any model, Aronu et al. (1.83 kPa at 0.476) "
    "and Jou et al. (0.604 kPa at 0.4735), 30 wt% at 40 C, differ by 3.0; "
    "refits with more T terms: docs/capture.md",
)
def test_mea_co2_within_factor_1_5_per_author_loading_0_1_to_0_5():
    assert max(mea_worst_by_author((0.1, 0.5)).values()) <= 1.5


@pytest.mark.xfail(
    strict=True, reason="worst factor 2.42 (Aronu et al. 2011, 15 wt%, 40 C, loading 0.565)"
)
def test_mea_co2_within_factor_2_per_author_to_loading_0_6():
    assert max(mea_worst_by_author((0.1, 0.6)).values()) <= 2.0


def test_mea_co2_fit_within_factor_2_of_data_it_was_not_fitted_to():
    # Lawson & Garst (1976), 15.2 wt% MEA at 100 and 120 C: low by 1.64 at loading 0.115, 120 C
    ((_, rows),) = regress.evaluate([data.mea_co2_check_set()])
    worst = statistics(rows)["worst_factor"]
    assert worst <= 2.0 and worst == pytest.approx(1.64, abs=0.01)  # the figure of the docs
    assert all(c < v for _, _, v, c in rows)  # low at every point


def test_mea_h2s_within_factor_1_5_of_lawson_garst_40_to_100c():
    ((_, rows),) = regress.evaluate(data.mea_h2s_sets())
    fitted = statistics(rows)
    assert fitted["n"] == 21 and fitted["worst_factor"] <= 1.5
    assert fitted["worst_factor"] == pytest.approx(1.497, abs=0.005)  # the figure of the docs
    ((_, default_rows),) = regress.evaluate(
        data.mea_h2s_sets(), databank.shipped_without_fit("MEA-H2S-H2O")
    )
    assert statistics(default_rows)["worst_factor"] > 1.7  # the default pair: 1.74
    # p_H2S rises with the loading at each temperature, and with T at loadings 0.380-0.385
    by_t = {}
    for T, x, _, calc in sorted(rows):
        by_t.setdefault(T, []).append((x, calc))
    assert all(b[1] > a[1] for pts in by_t.values() for a, b in zip(pts, pts[1:]))
    near = [
        max((p for p in pts if p[0] < 0.39), key=lambda p: p[0])[1]
        for _, pts in sorted(by_t.items())
    ]
    assert all(b > a for a, b in zip(near, near[1:]))


def test_regression_recovers_a_salt_pair_and_writes_a_loadable_overlay(tmp_path):
    sets = data.salt_sets("KCl")
    key = ("H2O", "K+", "Cl-")
    params = [
        regress.Parameter("electrolyte_pair", key, "A_m_ca", 8.0, 0.0, 20.0),
        regress.Parameter("electrolyte_pair", key, "A_ca_m", -4.0, -15.0, 0.0),
    ]
    base = databank.shipped_without_fit("KCl-H2O")
    assert base.is_default_pair(*key)
    res = regress.fit(sets, params, base=base, max_nfev=30)
    assert res.success and all(0 < s < 0.2 for s in res.stderr)
    assert max(statistics(rows)["worst_factor"] for _, rows in res.evaluated) < 1.01
    path = tmp_path / "kcl.toml"
    res.write(path, header="test")
    db = databank.derive(base, [path])
    assert not db.is_default_pair(*key) and db.fits()[str(path)]["parameters"] == [
        p.label for p in params
    ]
    assert [r[3] for _, rows in regress.evaluate(sets, db) for r in rows] == pytest.approx(
        [r[3] for _, rows in res.evaluated for r in rows], rel=1e-9
    )
    assert all(p.stat().st_size > 1000 for p in map(type(tmp_path), res.plots(tmp_path / "plots")))


def test_data_set_and_parameter_errors():
    with pytest.raises(ValueError, match="data set 'x': kind 'pH' is not one of partial_pressure"):
        regress.DataSet("x", "pH", "water", "H2O", ((298.15, 0, {}, 7.0),), "c")
    with pytest.raises(ValueError, match=r"data set 'x': point \(298.15, 0, \{\}, 0.0\) is not"):
        regress.DataSet("x", "osmotic", "water", "H2O", ((298.15, 0, {}, 0.0),), "c")
    with pytest.raises(ValueError, match="fields of reaction: shift"):
        regress.Parameter("reaction", "WATER", "A", 0.0)
    with pytest.raises(
        ValueError, match=r"parameter H2O/K\+/Cl-:alpha: start 0.9 outside \[0.05, 0.5\]"
    ):
        regress.Parameter("electrolyte_pair", ("H2O", "K+", "Cl-"), "alpha", 0.9, 0.05, 0.5)


def test_slope_fields_move_tau_about_25c():
    key = ("H2O", "Na+", "Cl-")
    base = databank.active()
    a1, b1, a2, b2, _, _ = base.electrolyte_pair(*key)
    params = [
        regress.Parameter("electrolyte_pair", key, f, 0.0) for f in ("slope_m_ca", "slope_ca_m")
    ]
    (rec,) = regress.core.overlay(params, [300.0, -120.0], base)["nrtl_electrolyte"]["pair"]
    for (a, b), (a0, b0), v in (
        ((rec["A_m_ca"], rec["B_m_ca"]), (a1, b1), 300.0),
        ((rec["A_ca_m"], rec["B_ca_m"]), (a2, b2), -120.0),
    ):
        assert a + b / 298.15 == pytest.approx(a0 + b0 / 298.15, abs=1e-12)  # tau at 25 C kept
        assert (a + b / 350.0) - (a0 + b0 / 350.0) == pytest.approx(
            v * (1 / 350.0 - 1 / 298.15), abs=1e-12
        )
    # the curvature fields: tau and its slope at 25 C kept, the move v (ln(T/T0) + T0/T - 1)
    # (second order about T0 = 298.15 K), from the record's A, B and F (tau = A + B/T + F ln T)
    f1, f2 = base.electrolyte_ln_t(*key)
    curve = [
        regress.Parameter("electrolyte_pair", key, f, 0.0) for f in ("curve_m_ca", "curve_ca_m")
    ]
    (rec,) = regress.core.overlay(curve, [4.0, -2.5], base)["nrtl_electrolyte"]["pair"]

    def tau(a, b, f, T):
        return a + b / T + f * math.log(T)

    for side, old, v in (("m_ca", (a1, b1, f1), 4.0), ("ca_m", (a2, b2, f2), -2.5)):
        new = (rec[f"A_{side}"], rec[f"B_{side}"], rec[f"F_{side}"])
        assert new[2] == old[2] + v
        for T, move in (
            (298.15, 0.0),
            (298.15 + 1e-3, 0.0),
            (373.15, v * (math.log(373.15 / 298.15) + 298.15 / 373.15 - 1)),
        ):
            assert tau(*new, T) - tau(*old, T) == pytest.approx(move, abs=1e-10)
    # no exact Jacobian for them: the fit takes differences
    from velmora.regress import jacobian

    assert (
        jacobian.unsupported(data.salt_sets("KCl"), params)
        == "the electrolyte pair fields H2O/Na+/Cl-:slope_m_ca, H2O/Na+/Cl-:slope_ca_m"
    )
    with pytest.raises(
        ValueError,
        match="fields of electrolyte_pair: .*W2_B, slope_m_ca, slope_ca_m, curve_m_ca, curve_ca_m",
    ):
        regress.Parameter("electrolyte_pair", key, "slope", 0.0)


def test_h2s_solubility_in_water_within_10_percent_of_iapws():
    # IAPWS G7-04 (Fernandez-Prini, Alvarez & Harvey, J. Phys. Chem. Ref. Data 32 (2003) 903), H2S:
    # ln(kH/p1*) = A/Tr + B tau^0.355/Tr + C Tr^-0.41 e^tau,
    # (A, B, C) = (-4.51499, 5.23538, 4.42126); the liquid holding 1e-3 mol H2S per mol water must
    # show p_H2S = kH x (dissociation < 1 %)
    A, B, C = -4.51499, 5.23538, 4.42126
    c = databank.antoine("H2O")
    rows = []
    for T in (283.15, 298.15, 323.15, 348.15, 363.15):
        tr = T / 647.096
        ln_p1 = c[0] + c[1] / (T + c[2]) + c[3] * T + c[4] * math.log(T) + c[5] * T ** c[6]
        kh = math.exp(
            ln_p1 + A / tr + B * (1 - tr) ** 0.355 / tr + C * tr**-0.41 * math.exp(1 - tr)
        )
        rows.append((T, 1e-3, {"H2O": 1.0, "H2S": 1e-3}, kh * 1e-3 / 1.001))
    ds = regress.DataSet(
        "IAPWS G7-04 H2S", "solubility", "H2S-H2O", "H2S", tuple(rows), "IAPWS G7-04", 0.05
    )
    ((_, ev),) = regress.evaluate([ds])
    assert statistics(ev)["worst_factor"] < 1.10


def test_the_command_repeats_a_shipped_fit(capsys):
    from velmora.regress.__main__ import main

    assert main(["Na2SO4-H2O"]) == 0
    out = capsys.readouterr().out
    shipped_fit = databank.active().fits()
    theta = next(f["theta"] for f in shipped_fit.values() if f.get("chemistries") == ["Na2SO4-H2O"])
    # the printed parameters are the shipped ones, and the figures are printed per data set
    assert f"{theta[0]:12.5g}".strip() in out and "CRC Na2SO4 gamma+-" in out and "AARD" in out
    with pytest.raises(
        ValueError, match="no shipped fit for 'LiCl-H2O'; fits: MEA-CO2-H2O, NaCl-H2O"
    ):
        main(["LiCl-H2O"])


# PHREEQC 3 (phreeqpython 1.6.2) with its pitzer.dat, NaCl(aq) at 25 C, pH by charge balance:
# {m [mol/kg]: (pH with the database's MacInnes scaling, pH with "-MacInnes false")}
PHREEQC_NACL_PH = {1.0: (6.8863, 6.9228), 3.0: (6.6885, 6.7865), 5.0: (6.4906, 6.6597)}


def test_pitzer_trace_equation_and_the_hydronium_pair():
    # the pitzer.dat equation against PHREEQC's own evaluation of it (same parameters, within 2 %)
    for m, hcl, naoh in ((1.0, 0.7568, 0.6267), (5.0, 1.6599, 0.6851)):
        assert data.pitzer_trace_in_nacl("HCl", m) == pytest.approx(hcl, rel=0.02)
        assert data.pitzer_trace_in_nacl("NaOH", m) == pytest.approx(naoh, rel=0.02)
    hcl_in_nacl = data.acid_base_sets()[1]
    ev = regress.evaluate([hcl_in_nacl])
    assert worst_relative(ev) <= 0.03
    assert not databank.is_default_pair("H2O", "H3O+", "Cl-")


@pytest.mark.xfail(
    strict=True,
    reason="a factor 3.8 high at 5 mol/kg: the one water / (H3O+, Cl-) pair is "
    "fitted to H+ traced in NaCl, where H3O+ occurs in the databank's chemistries",
)
def test_hcl_in_water_within_5_percent_of_the_crc_table():
    assert worst_relative(regress.evaluate(data.acid_base_sets()[:1])) <= 0.05


def test_naoh_traced_in_nacl_within_10_percent_of_pitzer_dat():
    # fitted with NaOH(aq) since the W term; 36 % high at 5 mol/kg with the pair alone; 4.0 %
    # before the like-ion triple OH-/Na+/Na+ took NaOH(aq) to 20 mol/kg
    worst = worst_relative(regress.evaluate(data.acid_base_sets()[2:]))
    assert worst <= 0.10 and worst == pytest.approx(0.055, abs=0.002)


def test_brine_ph_falls_with_nacl_as_phreeqc_has_it():
    s = velmora.System("NaCl-H2O")
    ph = {m: s.liquid(T25, molalities={"NaCl": m}).pH for m in (0.1, *PHREEQC_NACL_PH)}
    assert ph[0.1] > ph[1.0] > ph[3.0] > ph[5.0]
    # without MacInnes scaling, as the model's single ions; at 5 mol/kg +0.13 before the W term
    # of the NaOH pair (fitted on NaOH traced in NaCl too), now 6.662
    for m in PHREEQC_NACL_PH:
        assert ph[m] == pytest.approx(PHREEQC_NACL_PH[m][1], abs=0.1), m


# ---- MDEA: 2 M aqueous MDEA (23.7 wt%, an ideal-mixing estimate of the molarity) -----------


@pytest.mark.parametrize("gas, n, figure", [("CO2", 21, 1.471), ("H2S", 7, 1.125)])
def test_mdea_within_factor_1_5_of_the_2m_data(gas, n, figure):
    sets = [d for d in data.mdea_sets() if d.species == gas]
    ((_, rows),) = regress.evaluate(sets)
    fitted = statistics(rows)
    assert fitted["n"] == n and fitted["worst_factor"] <= 1.5
    assert fitted["worst_factor"] == pytest.approx(figure, abs=0.005)  # the figure of the docs
    chem = f"MDEA-{gas}-H2O"
    ((_, default_rows),) = regress.evaluate(sets, databank.shipped_without_fit(chem))
    assert statistics(default_rows)["aard"] > 1.5 * fitted["aard"]  # the fit earns its keep
    by_t = {}
    for T, _, _, calc in sorted(rows):
        by_t.setdefault(T, []).append(calc)
    assert all(b > a for pts in by_t.values() for a, b in zip(pts, pts[1:]))  # rises with loading


def test_mdea_co2_pressure_rises_with_temperature_at_fixed_loading():
    s = velmora.System("MDEA-CO2-H2O")
    p = [
        s.liquid(T, mass_fractions={"MDEA": data.W_MDEA_2M}, loading=0.3).partial_pressures["CO2"]
        for T in (303.15, 313.15, 323.15)
    ]
    # Haji-Sulaiman et al. (1998), 2 M: loading 0.3 lies near 5-10 kPa at 30-50 C
    assert p[0] < p[1] < p[2] and 3e3 < p[1] < 2e4


@pytest.mark.parametrize("T, pk", [(298.15, 8.51), (333.15, 7.87)])
def test_mdea_protonation_constant_against_nasrifar_tafazzol(T, pk):
    # The shipped constant (Perez-Salado Kamps & Maurer 1996) against the independent correlation
    # of Nasrifar & Tafazzol (2010), pK on the molality basis: K_m = K_x / 0.01801528
    rec = databank.reaction_record("MDEA-1")
    ln_kx = rec["A"] + rec["B"] / T + rec["C"] * math.log(T) + rec["D"] * T
    assert -math.log10(math.exp(ln_kx) / 0.01801528) == pytest.approx(pk, abs=0.05)
