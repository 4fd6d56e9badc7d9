"""The sulfate pairs against published data: K+/SO4-- against the CRC K2SO4 gamma+-, Ca++/SO4--
(with gypsum's constant) against gypsum saturated in NaCl(aq) (Marshall & Slusher 1966, three
isotherms) and Na2SO4(aq) (Block & Waters 1968), each solubility solved by the engine's own
solid equilibrium."""

import math
import tomllib
import warnings

import pytest

import velmora
from velmora import regress
from velmora.enginebridge import databank
from velmora.regress import data

T25 = 298.15
# CaSO4 per kg of water, above every solubility here: the gypsum left takes 2 H2O per CaSO4
# from the liquid, less than 0.2 % of its water
EXCESS = 0.08
CASO4_FIT = "CaSO4-NaCl-H2O"
ANHYDRITE_FIT = "CaSO4-anhydrite"


def calcium(liq):
    """Dissolved calcium [mol/kg]: the free ion and the CaSO4 ion pair (what the solubilities
    measure)."""
    return liq.molality["Ca++"] + liq.molality["CaSO4(aq)"]


def ln_k(rec, T):
    return rec["A"] + rec["B"] / T + rec["C"] * math.log(T) + rec["D"] * T


def water_pair(cation, anion, a_m_ca, a_ca_m, alpha, source):
    """An overlay of one water-salt pair with taus constant in T."""
    rec = dict(molecule="H2O", cation=cation, anion=anion, A_m_ca=a_m_ca, B_m_ca=0.0)
    rec.update(A_ca_m=a_ca_m, B_ca_m=0.0, alpha=alpha, source=source)
    return {"nrtl_electrolyte": {"pair": [rec]}}


@pytest.fixture(scope="module", autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def test_na2so4_pair_against_mollers_gamma_20_to_100c():
    ds = data.moller_na2so4_set()
    # Moller's (1988) parameters and A_phi at 25 C against Pitzer & Mayorga's (1973) 25 C set, an
    # independent fit of other data: within 2 % to the salt's solubility
    at25 = [(m, g) for T, m, _, g in ds.points if T == T25]
    assert len(at25) == 5 and all(
        g == pytest.approx(data.pitzer_mayorga("Na2SO4", m)[0], rel=0.02) for m, g in at25
    )
    # the pair with its slopes in 1/T: within 5.1 % of Moller's gamma+- (AARD 1.9 %); with tau held
    # at its 25 C value the salt's gamma+- is 19 % low at 100 C and 2.5 mol/kg
    ((_, rows),) = regress.evaluate([ds])
    assert max(abs(c / v - 1) for *_, v, c in rows) <= 0.051
    assert sum(abs(c / v - 1) for *_, v, c in rows) / len(rows) <= 0.02
    a1, b1, a2, b2, alpha, _ = databank.electrolyte_pair("H2O", "Na+", "SO4--")
    held = water_pair("Na+", "SO4--", a1 + b1 / T25, a2 + b2 / T25, alpha, "tau of 25 C")
    ((_, flat),) = regress.evaluate([ds], databank.derive(databank.active(), [held]))
    assert min(c / v - 1 for T, _, v, c in flat if T > 370) < -0.18
    # tau at 25 C is the first step's, fitted to gamma+- at 25 C alone: every 25 C figure kept
    fit = tomllib.loads((databank.FITS / "Na2SO4-H2O.toml").read_text())
    theta = dict(zip(fit["fit"]["parameters"], fit["fit"]["theta"]))
    assert a1 + b1 / T25 == pytest.approx(theta["H2O/Na+/SO4--:A_m_ca"], abs=1e-12)
    assert a2 + b2 / T25 == pytest.approx(theta["H2O/Na+/SO4--:A_ca_m"], abs=1e-12)
    assert (b1, b2) == (theta["H2O/Na+/SO4--:slope_m_ca"], theta["H2O/Na+/SO4--:slope_ca_m"])


def worst_gamma(salt, db=None):
    ev = regress.evaluate(data.salt_sets(salt), db)
    return max(abs(c / v - 1) for _, rows in ev for _, _, v, c in rows)


def test_k2so4_pair_against_the_crc_table():
    # CRC Handbook gamma+- of K2SO4, 0.1-0.7 mol/kg (validation3.md 5c); the default pair
    # (tau 8, -4) it replaces was 3.4-13.7 % high
    assert worst_gamma("K2SO4") < 0.01
    assert worst_gamma("K2SO4", databank.shipped_without_fit("K2SO4-H2O")) > 0.13
    s = velmora.System("K2SO4-H2O")
    with pytest.warns(velmora.RangeWarning, match="K2SO4 above 0.7 mol/kg"):
        s.liquid(T25, molalities={"K2SO4": 1.0})


def gypsum_deviations(t, db=None):
    """(m NaCl, calculated / measured - 1, solids) of gypsum saturated in NaCl(aq) at t [C]."""
    with databank.using(db or databank.active()):
        g = velmora.System("CaSO4-NaCl-H2O")
        out = []
        for m, s in data.GYPSUM_NACL[t]:
            liq = g.liquid(t + 273.15, molalities={"NaCl": m, "CaSO4": EXCESS}, solids=True)
            out.append((m, calcium(liq) / s - 1.0, set(liq.solids)))
    return out


# the largest |calculated/measured - 1| per isotherm with the fitted pair, and without it (the
# CaSO4 ion pair, the default Ca++/SO4-- pair and gypsum's record as it was fitted without the
# ion pair); 25 C fitted, 0.5 and 40 C not; and that of the strong brines (2.8-6.2 mol/kg). With
# the Na+/SO4-- pair's slopes in 1/T (Moller's Na2SO4, 20-100 C) 0.5 C came from -16.2 to -13.3 %
# and 40 C from +7.5 to +6.9 %; with the Ca++/Cl- pair and its like-ion term fitted to CaCl2(aq)
# to 5 mol/kg and the sulfate-chloride terms U (Na+; Cl-, SO4--) and U (Cl-; Na+, Ca++): 0.5 C
# -11.8 %, 25 C +6.2 % (-5.1 % at 4.1 mol/kg), 40 C -7.3 % (6.24 mol/kg, anhydrite; +5.1 % at 0.55);
# with CaCl2's dilute-weighted term too: 0.5 C -9.6 %, 25 C +6.5 % (+4.5 % at 1.02), 40 C -8.1 %
# (6.24, anhydrite; +6.0 % at 0.83)
GYPSUM_NACL_WORST = {25: (0.07, 0.46, 0.06), 0.5: (0.10, 0.61, 0.10), 40: (0.085, 0.30, 0.085)}
MISS = (
    "at 25 C one point misses, +6.5 % at 0.689 mol/kg NaCl, where its neighbours at 0.548 and "
    "0.834 mol/kg lie within 2.7 %; at 0.5 C the strong brines fall 5.5-9.6 % low (2.06-3.98 "
    "mol/kg NaCl): the terms that could carry a temperature slope act as x_Na x_Cl, nearly "
    "linear in the NaCl, while the miss returns to -2.0 % at 6.1 mol/kg"
)


@pytest.mark.parametrize("t", [25, 0.5, 40])
def test_gypsum_in_nacl_against_marshall_and_slusher(t):
    dev = gypsum_deviations(t)
    now, before, strong = GYPSUM_NACL_WORST[t]
    assert max(abs(e) for _, e, _ in dev) <= now
    old = gypsum_deviations(t, databank.shipped_without_fit(CASO4_FIT))
    assert max(abs(e) for _, e, _ in dev) < max(abs(e) for _, e, _ in old) - 0.025
    # gypsum saturates to 4 mol/kg NaCl, anhydrite (or gypsum beside halite) in 6 mol/kg at
    # 25-40 C, where the water activity falls below that of the transition (Hardie 1967)
    assert all(k == {"gypsum"} for m, _, k in dev if m < 4.5)
    assert all(abs(e) <= strong for m, e, _ in dev if m >= 2.8)
    # below 0.3 mol/kg NaCl, where the ion pair holds up to a third of the calcium, within 3.5 %
    # (+3.1 % at 0.23 mol/kg, 40 C)
    assert all(abs(e) <= 0.035 for m, e, _ in dev if m < 0.3)


def test_gypsum_at_40c_in_strong_brine_against_the_dihydrate():
    # Marshall & Slusher measured the dihydrate (validation3.md 1a); at 6.24 mol/kg NaCl and 40 C
    # the engine's equilibrium holds anhydrite, 8.1 % below their value, where gypsum's own
    # solubility (metastable there: regress's solid_solubility) is 5.8 % above it; against gypsum
    # alone the isotherm's worst is +6.0 % (0.834 mol/kg)
    ((m, e, solids),) = [r for r in gypsum_deviations(40) if r[0] > 6.0]
    assert m == 6.24 and solids == {"anhydrite"} and e == pytest.approx(-0.081, abs=0.003)
    ((_, rows),) = regress.evaluate(data.gypsum_sets(40))
    assert [c / v - 1 for _, x, v, c in rows if x > 6.0] == [pytest.approx(0.058, abs=0.003)]
    assert max(abs(c / v - 1) for *_, v, c in rows) == pytest.approx(0.060, abs=0.002)


@pytest.mark.xfail(strict=True, reason=MISS)
@pytest.mark.parametrize("t", [25, 0.5])
def test_gypsum_in_nacl_within_5_percent(t):
    assert max(abs(e) for _, e, _ in gypsum_deviations(t)) <= 0.05


NA2SO4_IN_NACL = (
    "the CaSO4 ion pair holds calcium where pitzer.dat leaves it free: with 0.3-0.6 mol/kg "
    "Na2SO4 in 1-4 mol/kg NaCl gypsum is 15-34 % above pitzer.dat's effect of the Na2SO4 on "
    "Marshall & Slusher's; U(Ca++; Cl-, SO4--), which meets it within 10 %, takes their "
    "isotherms off (shipped.sulfate_mixing_trial)"
)


@pytest.mark.xfail(strict=True, reason=NA2SO4_IN_NACL)
def test_gypsum_in_nacl_na2so4_within_10_percent_of_pitzer_dat():
    ((_, rows),) = regress.evaluate([data.gypsum_nacl_na2so4_set()])
    assert max(abs(c / v - 1) for *_, v, c in rows) <= 0.10


def test_the_sulfate_mixing_trial_moves_marshall_and_slusher_off():
    """U(Ca++; Cl-, SO4--) fitted on gypsum in NaCl-Na2SO4 (pitzer.dat's effect of the Na2SO4 on
    Marshall & Slusher's) and in NaCl and Na2SO4 (measured): U 1132 +- 85, the mixtures within
    10.2 % (34 % without it); but gypsum in NaCl brines holds sulfate as well and the isotherms
    fall: worst 6.5 -> 7.8 % at 25 C, 9.6 -> 13.5 % at 0.5 C (3.98 mol/kg), beyond what
    test_gypsum_in_nacl_against_marshall_and_slusher allows. Not shipped."""
    from velmora.regress import shipped

    sets, params, extra, _ = shipped.sulfate_mixing_trial()
    res = regress.fit(sets, params, extra=extra)
    u, err = shipped.SULFATE_MIXING_TRIAL
    assert res.theta[0] == pytest.approx(u, rel=1e-4) and res.stderr[0] == pytest.approx(
        err, rel=0.01
    )
    mixtures = res.evaluated[0][1]
    assert max(abs(c / v - 1) for *_, v, c in mixtures) < 0.105
    db = shipped.databank_with(databank.active(), res.overlay)
    for t in (25, 0.5):
        assert (
            max(abs(e) for _, e, _ in gypsum_deviations(t, db)) > GYPSUM_NACL_WORST[t][0] + 0.005
        ), t


def test_gypsum_in_na2so4_against_block_and_waters():
    g = velmora.System("CaSO4-Na2SO4-H2O")
    dev = []
    for m, s in data.GYPSUM_NA2SO4_25:
        liq = g.liquid(T25, molalities={"Na2SO4": m, "CaSO4": EXCESS}, solids=True)
        assert set(liq.solids) == {"gypsum"}, m
        dev.append((m, calcium(liq) / s - 1.0))
    # the common-ion dip and the salting in beyond it; 8 % low at 0.03 mol/kg (Block & Waters'
    # own water value, 0.0161, is 7 % above Marshall & Slusher's; 17 % low without the CaSO4 ion
    # pair), within 4.8 % from 0.10 on (4.3 % before CaCl2's dilute-weighted term)
    assert dev[1][1] < 0 and dev[1][1] > -0.09
    assert all(abs(e) <= 0.05 for m, e in dev if m >= 0.1)
    assert min(e for _, e in dev) > -0.09
    # the measured minimum near 0.1 mol/kg is there: less gypsum dissolves than in water
    sol = {m: s * (1 + e) for (m, e), (_, s) in zip(dev, data.GYPSUM_NA2SO4_25)}
    assert sol[0.104] < sol[0.0] and sol[1.912] > sol[0.0]


def test_gypsum_in_water_and_its_constant():
    # Marshall & Slusher (1966) in water at 0.5, 25 and 40 C within 5 % (fitted with Blount &
    # Dickson's points, 0.5-50 C); the record's van't Hoff slope alone was 17 % high at 0.5 C
    g = velmora.System("CaSO4-NaCl-H2O")
    for t, m in ((0.5, 0.0128), (25, 0.0151), (40, 0.0156)):
        liq = g.liquid(t + 273.15, molalities={"CaSO4": EXCESS}, solids=True)
        assert calcium(liq) == pytest.approx(m, rel=0.05), t
    # with the CaSO4 ion pair the fitted molal constants at 25 C come within 0.05 of the published
    # ones (log10_Km_25, Harvie, Moller & Weare 1984), which they were not fitted to (0.15-0.18
    # above them without it)
    for name in ("gypsum", "anhydrite"):
        rec = databank.active().table("solids")[name]
        log_km = (ln_k(rec, T25) + 2.0 * math.log(1000.0 / 18.015)) / math.log(10.0)
        assert log_km == pytest.approx(rec["log10_Km_25"], abs=0.05), name
    # the fit moves gypsum and anhydrite alike (its file's records against solids.toml's): the
    # transition (Hardie 1967) stays where it was; anhydrite's own fit starts there
    fitted = tomllib.loads((databank.FITS / f"{CASO4_FIT}.toml").read_text())["solids"]
    files = tomllib.loads((databank.DIR / "solids.toml").read_text())
    for T in (296.15, 312.15, 328.15):
        new = {k: ln_k(fitted[k], T) for k in ("gypsum", "anhydrite")}
        old = {k: ln_k(files[k], T) for k in ("gypsum", "anhydrite")}
        assert new["gypsum"] - new["anhydrite"] == pytest.approx(
            old["gypsum"] - old["anhydrite"], abs=1e-9
        )
        assert new["gypsum"] != pytest.approx(old["gypsum"], abs=1e-3)


def test_solid_solubility_kind_agrees_with_the_engine():
    # the regress value (the engine's joint Newton on the measured liquid with the salt in
    # excess, given on the species) and the front door's solid-liquid equilibrium (an active set
    # on the apparent components) are two computations of one number; the measured calcium and
    # sulfate are totals, the ion pair's share included
    g = velmora.System("CaSO4-NaCl-H2O")
    model = regress.Model("CaSO4-NaCl-H2O")
    for T, m in ((313.15, 0.0), (313.15, 0.0516), (298.15, 1.0), (273.65, 4.0)):
        liq = g.liquid(T, molalities={"NaCl": m, "CaSO4": EXCESS}, solids=True)
        assert set(liq.solids) == {"gypsum"}
        assert liq.molality["CaSO4(aq)"] > 0.05 * calcium(liq)
        comp = {sp: liq.molality[sp] for sp in ("Na+", "Cl-")}
        comp.update(
            {"Ca++": calcium(liq), "SO4--": liq.molality["SO4--"] + liq.molality["CaSO4(aq)"]}
        )
        calc = model.value("solid_solubility", "gypsum", T, {"H2O": data.MOL_WATER_PER_KG, **comp})
        assert calc == pytest.approx(calcium(liq), rel=1e-5), (T, m)
        # from a liquid off saturation the same number
        comp.update({"Ca++": 0.5 * comp["Ca++"], "SO4--": 0.5 * comp["SO4--"]})
        off = model.value("solid_solubility", "gypsum", T, {"H2O": data.MOL_WATER_PER_KG, **comp})
        assert off == pytest.approx(calc, rel=1e-8)
    with pytest.raises(
        ValueError, match="'halite' is not a databank solid whose ions are all in the liquid"
    ):
        model.value("solid_solubility", "halite", T25, {"H2O": 55.5, "Ca++": 0.01, "SO4--": 0.01})
    with pytest.raises(ValueError, match="'quartz' is not a databank solid"):
        model.value("solid_solubility", "quartz", T25, {"H2O": 55.5, "Ca++": 0.01, "SO4--": 0.01})


def test_solid_shift_parameters_move_both_records_alike():
    base = databank.shipped_without_fit(CASO4_FIT)
    names = ("gypsum", "anhydrite")
    params = [
        regress.Parameter("solid", names, f, 0.0, -500.0, 500.0)
        for f in ("shift", "shift_B", "shift_C")
    ]
    assert [p.label for p in params] == [
        f"gypsum/anhydrite:{f}" for f in ("shift", "shift_B", "shift_C")
    ]
    params.append(regress.Parameter("solid", names, "shift_D", 0.0, -5.0, 5.0))
    T0, h = 298.15, 1e-3
    for p, v in zip(params, (0.25, -120.0, 7.5, -0.4)):
        ov = regress.core.overlay([p], [v], base, "a test")
        for name in names:
            old, new = base.table("solids")[name], ov["solids"][name]
            assert f"{p.field} {v:+g} in a fit (a test)" in new["source"]
            d = [ln_k(new, T) - ln_k(old, T) for T in (T0 - h, T0, T0 + h, 350.0)]
            if p.field == "shift":
                assert d == pytest.approx([v] * 4, abs=1e-9)
            else:  # zero at 298.15 K, and for shift_C and shift_D flat there too
                assert d[1] == pytest.approx(0.0, abs=1e-9) and d[3] != pytest.approx(0.0, abs=1e-3)
                slope = (d[2] - d[0]) / (2 * h)
                assert slope == pytest.approx(-v / T0**2 if p.field == "shift_B" else 0.0, abs=1e-6)
    db = databank.derive(
        base, [regress.core.overlay(params[:3], [0.25, -120.0, 7.5], base, "a test")]
    )
    assert db.table("solids")["gypsum"]["C"] == pytest.approx(
        base.table("solids")["gypsum"]["C"] + 7.5
    )
    with pytest.raises(ValueError, match="fields of solid: shift, shift_B, shift_C, shift_D"):
        regress.Parameter("solid", ("gypsum",), "A", 0.0)


def anhydrite_deviations(rows, t, db=None):
    """[(m NaCl, calculated / measured - 1, solids)] of anhydrite saturated in NaCl(aq) (or water,
    m 0) at t [C], by the engine's solid-liquid equilibrium."""
    with databank.using(db or databank.active()):
        s = velmora.System("CaSO4-NaCl-H2O")
        out = []
        for m, c in rows:
            liq = s.liquid(
                t + 273.15,
                molalities={"NaCl": m, "CaSO4": EXCESS} if m else {"CaSO4": EXCESS},
                solids=True,
            )
            out.append((m, calcium(liq) / c - 1.0, set(liq.solids)))
    return out


def test_anhydrite_in_nacl_at_100c_against_block_and_waters():
    # fitted: Block & Waters (1968) at 100 C, 0.5-4.1 mol/kg NaCl, within 10 % (-9.1 % at 0.5,
    # +9.1 % at 2 mol/kg; AARD 5.3 %; -8.0..+8.0 % before CaCl2's dilute-weighted term, -8.7..+8.5 %
    # before the CaCl2 and sulfate-chloride terms). The spread within the isotherm is the activity
    # model's salting in, which anhydrite's constant cannot change: -10.6..+9.2 % before the
    # Na+/SO4-- pair's slopes in 1/T, -11.9..+10.1 % without the CaSO4 ion pair. The record fitted
    # at 23-55 C alone is 18-36 % high there
    dev = anhydrite_deviations(data.ANHYDRITE_NACL_BW[100], 100)
    assert all(k == {"anhydrite"} for _, _, k in dev)
    assert max(abs(e) for _, e, _ in dev) <= 0.10
    assert sum(abs(e) for _, e, _ in dev) / len(dev) <= 0.06
    old = anhydrite_deviations(
        data.ANHYDRITE_NACL_BW[100], 100, databank.shipped_without_fit(ANHYDRITE_FIT)
    )
    assert min(e for _, e, _ in old) > 0.15


def test_anhydrite_held_back_at_100c():
    # not fitted: Freyer & Voigt's isotherm at 100 C, 0.5-6.7 mol/kg NaCl (their values lie 4-26 %
    # below Block & Waters'): -2.8..+24.6 % (-1.8..+24.9 % before CaCl2's dilute-weighted term,
    # -1.2..+25.0 % before the CaCl2 and sulfate-chloride terms, +2..+24 % before the Na+/SO4--
    # pair's slopes in 1/T); anhydrite in water at 100 C (Blount & Dickson): 2.0 % high (4.5 %
    # before the dilute-weighted term, 0.7 % before the CaCl2 and sulfate-chloride terms, 3 % low
    # before the slopes, 22 % low without the CaSO4 ion pair); the record fitted at 23-55 C alone
    # is 45 % high
    fv = anhydrite_deviations(data.ANHYDRITE_NACL_FV[100], 100)
    assert all(k <= {"anhydrite", "halite"} and "anhydrite" in k for _, _, k in fv)
    assert all(-0.03 < e <= 0.25 for _, e, _ in fv)
    # 6.7 mol/kg is NaCl's own solubility at 100 C: halite at saturation there, within 0.01
    s = velmora.System("CaSO4-NaCl-H2O")
    for m in (m for m, _ in data.ANHYDRITE_NACL_FV[100] if m > 6.5):
        liq = s.liquid(373.15, molalities={"NaCl": m, "CaSO4": EXCESS}, solids=True)
        assert abs(liq.saturation_indices["halite"]) <= 0.01, m
    # regress's solid_solubility (a Newton solve of ln IAP = ln Ksp) gives the engine's numbers
    ((_, rows),) = regress.evaluate([data.anhydrite_sets("fv", 100)])
    for (m, e, _), (_, _, v, c) in zip(fv, rows):
        if m < 6.5:
            assert c / v - 1 == pytest.approx(e, abs=1e-4), m
    ((_, water, _),) = anhydrite_deviations([(0.0, data.ANHYDRITE_WATER[100])], 100)
    assert abs(water) <= 0.05
    ((_, before, _),) = anhydrite_deviations(
        [(0.0, data.ANHYDRITE_WATER[100])], 100, databank.shipped_without_fit(ANHYDRITE_FIT)
    )
    assert before > 0.4


def test_anhydrite_keeps_hardies_transition_and_stops_at_100c():
    g = velmora.System("CaSO4-NaCl-H2O")
    before = databank.shipped_without_fit(ANHYDRITE_FIT).table("solids")["anhydrite"]
    for t, a_w in data.HARDIE_1967:
        k = g.solids.log10_ksp(t + 273.15)
        assert 10 ** ((k["gypsum"] - k["anhydrite"]) / 2) == pytest.approx(a_w, abs=0.002), t
    # at 25 C the constant is where it was (seawater's anhydrite does not move), to 1 %
    now = databank.active().table("solids")["anhydrite"]
    assert ln_k(now, T25) == pytest.approx(ln_k(before, T25), abs=0.01)
    # its range is the data's: beyond 100 C the constant is extrapolated, and says so
    with pytest.warns(
        velmora.RangeWarning, match=r"solubility product of anhydrite \(283.15-373.15 K\)"
    ):
        g.liquid(423.15, molalities={"NaCl": 1.0, "CaSO4": EXCESS}, solids=True)


def test_anhydrite_in_nacl_at_150c_extrapolated():
    # not fitted, beyond the record's range: Freyer & Voigt at 150 C to 3 mol/kg NaCl within 27 %
    # (-19.7..+3.0 %; -4.3..+26.4 % before CaCl2's dilute-weighted term, -15..+8 % before the CaCl2
    # and sulfate-chloride terms, 6-22 % low before the Na+/SO4-- pair's slopes in 1/T, 75-99 %
    # short without the CaSO4 ion pair): anhydrite's four terms fitted to 100 C swing there
    dev = anhydrite_deviations(data.ANHYDRITE_NACL_FV[150][:6], 150)
    assert all(abs(e) <= 0.27 for _, e, _ in dev)


@pytest.mark.xfail(
    strict=True,
    reason="four terms of ln Ksp take Hardie's transition and 100 C; at 150 C "
    "the extrapolation is 20-47 % low in 3-7.5 mol/kg NaCl, at 200 C 22-70 % low",
)
def test_anhydrite_in_nacl_at_150c_strong_brines():
    assert max(abs(e) for _, e, _ in anhydrite_deviations(data.ANHYDRITE_NACL_FV[150], 150)) <= 0.25


def test_the_na2so4_curvature_trial_moves_gypsum_at_0_5c_in_and_anhydrite_out():
    """The Na+/SO4-- pair with each tau's ln T curvature about 25 C too
    (shipped.na2so4_curvature_trial; tau and its slope at 25 C kept), the CaSO4 and anhydrite fits
    repeated on it: Moller's gamma+- within 2.4 % (4.8 % shipped), gypsum in NaCl at 0.5 C within
    5.3 % (9.6 %), but at 40 C 9.3 % off (8.1 %; anhydrite at 6.24 mol/kg NaCl) and anhydrite at
    100 C 10.1 % off Block & Waters (9.1 %): the spread within that isotherm is the pair's at
    100 C. Not shipped."""
    from velmora.regress import shipped

    sets, params, extra, _ = shipped.na2so4_curvature_trial()
    res = regress.fit(sets, params, base=databank.shipped(), extra=extra, max_nfev=200)
    base = databank.derive(shipped.base_without(CASO4_FIT), [res.overlay])
    for fit in (shipped._caso4, shipped._anhydrite):
        fsets, fparams, fextra, _ = fit()
        base = databank.derive(
            base, [regress.fit(fsets, fparams, base=base, extra=fextra, max_nfev=200).overlay]
        )
    moller = [data.moller_na2so4_set()]
    assert max(abs(c / v - 1) for *_, v, c in regress.evaluate(moller)[0][1]) > 0.045
    assert max(abs(c / v - 1) for *_, v, c in regress.evaluate(moller, base)[0][1]) <= 0.024
    # at 25 C the Na2SO4 pair is where it was
    crc = data.salt_sets("Na2SO4")[:1]
    assert [r[3] for r in regress.evaluate(crc, base)[0][1]] == pytest.approx(
        [r[3] for r in regress.evaluate(crc)[0][1]], rel=1e-7
    )
    worst = {t: max(abs(e) for _, e, _ in gypsum_deviations(t, base)) for t in (0.5, 40)}
    assert (
        worst[0.5] == pytest.approx(0.053, abs=0.003)
        and worst[0.5] < GYPSUM_NACL_WORST[0.5][0] - 0.04
    )
    assert worst[40] == pytest.approx(0.093, abs=0.003)
    dev = anhydrite_deviations(data.ANHYDRITE_NACL_BW[100], 100, base)
    assert max(abs(e) for _, e, _ in dev) == pytest.approx(0.101, abs=0.003)


# CRC Handbook, Aqueous solubility of inorganic compounds at various temperatures (mass % of
# Na2SO4; as transcribed in chicolucio/solutions): mirabilite to 30 C, thenardite from 40 C
NA2SO4_CRC = {
    20: 16.13,
    25: 21.94,
    30: 29.22,
    40: 32.35,
    50: 31.55,
    60: 30.9,
    70: 30.39,
    80: 30.02,
    90: 29.79,
    100: 29.67,
}


def test_sodium_sulfates_against_the_crc_solubilities():
    # the Na2SO4 pair with the solids' constants fitted to these (thenardite's slope in 1/T only,
    # its 25 C constant Harvie, Moller & Weare's): within 3 % (2.9 % at 40 C, where the pair is
    # 2.9 % below Moller's gamma+- on average; within 2.5 % with the pair of 25 C alone)
    s = velmora.System("Na2SO4-H2O")
    for t, w in NA2SO4_CRC.items():
        m = 1000.0 * w / (100.0 - w) / 142.04
        liq = s.liquid(t + 273.15, molalities={"Na2SO4": m + 0.3}, solids=True)
        assert list(liq.solids) == ["mirabilite" if t <= 30 else "thenardite"], t
        assert liq.molality["SO4--"] == pytest.approx(m, rel=0.03), t
    # the constants' slopes as effective enthalpies of solution, -R B: within 8 kJ/mol of the
    # calorimetric ones of Wagman et al. (1982), +79.45 (mirabilite) and -2.43 kJ/mol (thenardite),
    # with the Na2SO4 pair's slopes in 1/T (15-16 kJ/mol off with the pair of 25 C alone)
    solids = databank.active().table("solids")
    for name, dh in (("mirabilite", 79.45), ("thenardite", -2.43)):
        assert -8.314462618e-3 * solids[name]["B"] == pytest.approx(dh, abs=8.0), name
    # the decahydrate gives way between 30 and 40 C, as the table's phases do
    cold = s.liquid(303.15, molalities={"Na2SO4": 3.3}, solids=True)
    warm = s.liquid(313.15, molalities={"Na2SO4": 3.7}, solids=True)
    assert "thenardite" not in cold.solids and cold.saturation_indices["thenardite"] < 0
    assert "mirabilite" not in warm.solids and warm.saturation_indices["mirabilite"] < 0


# NaCl-Na2SO4-H2O at 363.15 K, liquid mass %: ACS Omega 5 (2020) 4875, doi
# 10.1021/acsomega.9b03703, Table 9 rows 15-17 (u_r 0.05); at 313.15 K, the liquid saturated
# with both salts: Zhang et al., J. Chem. Eng. Data 59 (2014) 3969, doi 10.1021/je500854m (the
# invariant point of its abstract)
INVARIANT_90C = {"NaCl": 25.75, "Na2SO4": 5.71}  # halite + thenardite
INVARIANT_40C = {"NaCl": 22.56, "Na2SO4": 5.00}
MW_SALTS = {"H2O": 18.015, "NaCl": 58.443, "Na2SO4": 142.04}


def mass_percent(liq, salt):
    grams = {c: liq.apparent.get(c, 0.0) * w for c, w in MW_SALTS.items()}
    return 100.0 * grams[salt] / sum(grams.values())


def test_halite_and_thenardite_alone_at_90c():
    # each salt's own pair and solid: rows 16 and 17 (27.80 % NaCl, 29.91 % Na2SO4)
    s = velmora.System("brine-H2O")
    halite = s.liquid(363.15, molalities={"NaCl": 8.0}, solids=True)
    thenardite = s.liquid(363.15, molalities={"Na2SO4": 5.0}, solids=True)
    assert list(halite.solids) == ["halite"] and list(thenardite.solids) == ["thenardite"]
    assert mass_percent(halite, "NaCl") == pytest.approx(27.80, rel=0.015)
    assert mass_percent(thenardite, "Na2SO4") == pytest.approx(29.91, rel=0.015)


NO_U = (
    "sulfate among chloride: the halite-thenardite liquid at 90 C holds 4.19 % Na2SO4 against "
    "5.71 % (27.24 % NaCl against 25.75), 1.74 % without the sulfate-chloride terms: fitted to it "
    "and to 40 C together, one constant U each cannot meet both (the thenardite points -20 % "
    "and +31 %)"
)


@pytest.mark.parametrize(
    "T, point",
    [
        pytest.param(363.15, INVARIANT_90C, marks=pytest.mark.xfail(strict=True, reason=NO_U)),
        (313.15, INVARIANT_40C),
    ],
)
def test_halite_thenardite_point(T, point):
    # 40 C: 4.40 % Na2SO4 against 5.00, 25.93 % NaCl against 22.56 (1.99 % and 26.11 % without
    # the sulfate-chloride terms)
    s = velmora.System("brine-H2O")
    liq = s.liquid(T, molalities={"NaCl": 8.0, "Na2SO4": 2.0}, solids=True)
    assert sorted(liq.solids) == ["halite", "thenardite"]
    for salt, w in point.items():
        assert mass_percent(liq, salt) == pytest.approx(w, rel=0.15), salt


def test_sulfate_chloride_terms_carry_the_halite_thenardite_liquids():
    # the shipped U (Na+; Cl-, SO4--) lowers sulfate among chloride, U (Cl-; Na+, Ca++) gives
    # calcium in NaCl brines back what gypsum would lose with it; set to zero, the liquid saturated
    # with both salts holds less than half the measured sulfate at 40 and 90 C, with them within
    # 30 %
    recs = {
        (r["ion"], r["ion_1"], r["ion_2"]): r["U_A"]
        for r in databank.active().mixing_records(["Na+", "Ca++", "Cl-", "SO4--"])
    }
    assert recs[("Na+", "Cl-", "SO4--")] < -50.0 and recs[("Cl-", "Na+", "Ca++")] > 50.0
    zero = {
        "nrtl_mixing": {
            "pair": [
                dict(ion=i, ion_1=j, ion_2=k, U_A=0.0, U_B=0.0, source="test: none")
                for i, j, k in (("Na+", "Cl-", "SO4--"), ("Cl-", "Na+", "Ca++"))
            ]
        }
    }
    for db, lo, hi in ((None, 0.7, 1.3), ([zero], 0.0, 0.5)):
        s = velmora.System("brine-H2O", databank=db)
        for T, point in ((313.15, INVARIANT_40C), (363.15, INVARIANT_90C)):
            liq = s.liquid(T, molalities={"NaCl": 8.0, "Na2SO4": 2.0}, solids=True)
            assert sorted(liq.solids) == ["halite", "thenardite"]
            assert lo < mass_percent(liq, "Na2SO4") / point["Na2SO4"] < hi, (db is None, T)


# ------------------------------------------------------------------------------ barite in NaCl
BARITE_FIT = "BaSO4-NaCl-H2O"
T50 = 323.15


def barite_deviations(db=None):
    """({m NaCl: calculated / measured - 1}, that of the second reading in water) of barite
    saturated in NaCl(aq) at 50 C against Templeton (1960), each solved by the engine's own
    solid-liquid equilibrium; in water against the first reading."""
    with databank.using(db or databank.active()):
        b = velmora.System(BARITE_FIT)
        out = {}
        first, second, *rest = data.TEMPLETON_1960_BARITE_50
        for m, s in [first, *rest]:
            liq = b.liquid(
                T50, molalities={"NaCl": m, "BaSO4": 1e-3} if m else {"BaSO4": 1e-3}, solids=True
            )
            assert set(liq.solids) == {"barite"}, m
            out[m] = liq.molality["Ba++"] / s - 1.0
    return out, (1.0 + out[0.0]) * first[1] / second[1] - 1.0


def test_barite_in_nacl_against_templeton_at_50c():
    dev, second = barite_deviations()
    fitted = [m for m in dev if m >= data.DEBYE_HUCKEL_LIMIT and m not in data.TEMPLETON_WITHHELD]
    assert len(fitted) == 10 and len(data.TEMPLETON_WITHHELD) == 5
    # fitted (0.38-5 mol/kg): within 8 % (-7.7 % at 0.38), AARD 2.7 %; withheld from 0.5 mol/kg
    # within 7 % (+6.7 % at 1.04), the one in water within 2 % (Templeton's first reading)
    assert max(abs(dev[m]) for m in fitted) <= 0.08
    assert sum(abs(dev[m]) for m in fitted) / len(fitted) <= 0.03
    assert all(abs(dev[m]) <= 0.07 for m in data.TEMPLETON_WITHHELD)
    assert abs(dev[0.0]) <= 0.02 and -0.25 < second < 0.0  # the second reading 28 % above
    # below 0.2 mol/kg (Debye-Hueckel) the readings scatter about the model: +2.6 % at 0.017
    # mol/kg, -24.5 % at 0.033; within 25 %
    assert all(abs(e) <= 0.25 for m, e in dev.items() if 0 < m < data.DEBYE_HUCKEL_LIMIT)
    # without the fit every point from 0.38 mol/kg was 7-18 % low, the level's miss, not the
    # shape's (7-10 % from 1 to 5 mol/kg)
    old, _ = barite_deviations(databank.shipped_without_fit(BARITE_FIT))
    assert all(-0.18 < old[m] < -0.07 for m in fitted)
    assert max(old[m] for m in fitted if m >= 1.0) - min(old[m] for m in fitted if m >= 1.0) < 0.035


def test_barite_constant_at_25c_kept_and_the_ba_so4_pair_idle_in_nacl():
    # the fit moves barite's 1/T term only: log10 Km at 25 C stays the measured -9.97 (Zhen-Wu et
    # al. 2016 compare -10.05 to -9.96); at 50 C the NaCl data bring it within 0.035 of pitzer.dat's
    # expression there (PHREEQC's LK_PHASE("Barite"), -9.643 at 50 C), 0.126 below it before
    rec = databank.active().table("solids")["barite"]
    old = databank.shipped_without_fit(BARITE_FIT).table("solids")["barite"]

    def log_km(r, T):
        return (ln_k(r, T) + 2.0 * math.log(1000.0 / 18.015)) / math.log(10.0)

    assert log_km(rec, T25) == pytest.approx(-9.97, abs=0.005)
    assert ln_k(rec, T25) == pytest.approx(ln_k(old, T25), abs=1e-9)
    assert abs(log_km(rec, T50) - (-9.643)) < 0.035
    assert -9.643 - log_km(old, T50) > 0.12
    # Ba++ in NaCl sees chloride, sulfate sodium: the Ba++/SO4-- pair (left at its default) moves
    # barite's solubility in 2 mol/kg NaCl by less than 0.5 % over tau 4-12 and -8-0
    model = regress.Model(BARITE_FIT)
    comp = {"H2O": data.MOL_WATER_PER_KG, "Na+": 2.0, "Cl-": 2.0, "Ba++": 1e-4, "SO4--": 1e-4}
    ref = model.value("solid_solubility", "barite", T50, comp)
    for tau in ((12.0, -4.0), (4.0, -4.0), (8.0, -8.0), (8.0, 0.0)):
        ov = water_pair("Ba++", "SO4--", tau[0], tau[1], 0.2, "test")
        moved = regress.Model(BARITE_FIT, databank.derive(databank.active(), [ov]))
        assert moved.value("solid_solubility", "barite", T50, comp) == pytest.approx(
            ref, rel=0.005
        ), tau
