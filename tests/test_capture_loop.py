"""The lean/rich exchanger, the closed capture loop and its operating maps: duties and balances
on independent sums (element counts written out in the tests, liquid enthalpies by the flash), the
make-up against what leaves the loop, and the trends of a map."""

import math
import warnings

import numpy as np
import pytest
from scipy.optimize import brentq

from test_capture import atoms, h_gas, h_liq  # element counts written out there

import velmora
from velmora import capture

P_ABS, P_STRIP = 108.12e3, 183.0e3


@pytest.fixture(scope="module")
def mea():
    return velmora.System("MEA-CO2-H2O", gases=["N2", "O2"])


@pytest.fixture(autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        yield


def make_loop(mea, **hx):
    ab = capture.Absorber(mea, 0.64, [6.0, 6.0], segments=2)
    return capture.CaptureLoop(ab, capture.Stripper(mea), capture.HeatExchanger(mea, **hx))


def gas_of(mea, co2=0.0919):
    return capture.flue_gas(mea, 2240.0, 314.18, P_ABS, co2_dry=co2)


@pytest.fixture(scope="module")
def loop_run(mea):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        lean = capture.lean_solvent(6804.0, 0.307, 0.2)
        return make_loop(mea).run(gas_of(mea), 314.18, lean, 315.18, P_ABS, P_STRIP)


# ----------------------------------------------------------------------------- exchanger
HOT = capture.lean_solvent(6804.0, 0.307, 0.2)
COLD = capture.lean_solvent(7000.0, 0.307, 0.45)


def test_exchanger_duties_balance_by_flash_enthalpies_and_approach_holds(mea):
    ex = capture.HeatExchanger(mea, approach=8.0).run(HOT, 390.0, COLD, 320.0)
    q_hot = h_liq(mea, HOT, 390.0) - h_liq(mea, HOT, ex.hot_out_T)
    q_cold = h_liq(mea, COLD, ex.cold_out_T) - h_liq(mea, COLD, 320.0)
    assert q_hot == pytest.approx(q_cold, rel=1e-6)
    assert q_cold == pytest.approx(ex.duty, rel=1e-6) and ex.duty > 0.0
    # the smallest difference (here inside: the pinch) is the approach; the ends are wider
    ends = (390.0 - ex.cold_out_T, ex.hot_out_T - 320.0)
    assert ex.min_dT == pytest.approx(8.0, abs=1e-5) and min(ends) >= 8.0 - 1e-6
    # UA mode: the area this answer reports, given back as the UA, gives its duty back
    assert ex.UA > 0.0 and ex.UA_error <= 1e-7
    back = capture.HeatExchanger(mea, UA=ex.UA).run(HOT, 390.0, COLD, 320.0)
    assert back.duty == pytest.approx(ex.duty, rel=1e-6)
    assert back.UA == pytest.approx(ex.UA, rel=1e-6)
    more = capture.HeatExchanger(mea, UA=2.0 * ex.UA).run(HOT, 390.0, COLD, 320.0)
    assert ex.duty < more.duty and more.approach < 8.0
    # no area, no duty; at zero approach the pinch lies inside (the rich solvent's heat
    # capacity, reaction heat included, is not the lean one's): less duty than the ends allow
    assert capture.HeatExchanger(mea, UA=0.0).run(HOT, 390.0, COLD, 320.0).duty == 0.0
    lim = capture.HeatExchanger(mea, approach=0.0).run(HOT, 390.0, COLD, 320.0)
    ends_limit = min(
        h_liq(mea, COLD, 390.0) - h_liq(mea, COLD, 320.0),
        h_liq(mea, HOT, 390.0) - h_liq(mea, HOT, 320.0),
    )
    assert more.duty < lim.duty < ends_limit
    assert lim.min_dT == pytest.approx(0.0, abs=1e-5) and lim.approach > 0.1
    # the approach is the smallest difference anywhere, not only at the duties the exchanger
    # compares: 100 duties of the profile from fresh states (7.98 K between 60 and 80 % of the
    # duty when only those points were looked at)
    for x, dt in ((ex, 8.0), (lim, 0.0)):
        _, t_hot, t_cold = profile(mea, x, HOT, COLD, 100)
        gap = float((t_hot - t_cold).min())
        assert dt - 1e-6 <= gap <= dt + 5e-3


def t_at(system, flows, H, lo, hi):
    """T [K] in [lo, hi] where a liquid's enthalpy flow, from fresh ``System.liquid`` states,
    is H [W]: Brent's method (not the exchanger's secant)."""
    return brentq(
        lambda T: system.liquid(T, dict(flows)).H * sum(flows.values()) - H,
        lo,
        hi,
        xtol=1e-11,
        rtol=1e-15,
    )


def profile(system, ex, hot, cold, n):
    """(duty q from the cold end [W], hot T, cold T [K]) at n + 1 evenly spaced duties, ends
    included: the hot side holds H_hot_out + q, the cold side H_cold_in + q (fresh states)."""

    def h(flows, T):
        return system.liquid(T, dict(flows)).H * sum(flows.values())

    hh, hc = h(hot, ex.hot_out_T), h(cold, ex.cold_in_T)
    q = np.linspace(0.0, h(cold, ex.cold_out_T) - hc, n + 1)
    t_hot = [t_at(system, hot, hh + x, ex.hot_out_T - 1.0, ex.hot_in_T + 1.0) for x in q]
    t_cold = [t_at(system, cold, hc + x, ex.cold_in_T - 1.0, ex.cold_out_T + 1.0) for x in q]
    return q, np.array(t_hot), np.array(t_cold)


def simpson(q, y):
    return (q[1] - q[0]) / 3.0 * (y[0] + y[-1] + 4.0 * y[1:-1:2].sum() + 2.0 * y[2:-1:2].sum())


def test_exchanger_area_is_the_integral_of_the_profile_not_the_log_mean(mea):
    ex = capture.HeatExchanger(mea, approach=8.0).run(HOT, 390.0, COLD, 320.0)
    q, t_hot, t_cold = profile(mea, ex, HOT, COLD, 64)
    inv = 1.0 / (t_hot - t_cold)
    fine, coarse = simpson(q, inv), simpson(q[::2], inv[::2])
    # Simpson on 64 intervals, its own error (Richardson: (coarse - fine) / 15) far below 1e-7
    assert abs(coarse - fine) / 15.0 <= 1e-8 * fine
    assert ex.UA == pytest.approx(fine, rel=1e-7)
    # the sides' heat capacities bend (the rich one's reaction heat): the log-mean relation of
    # the ends needs less area than the profile does
    d1, d2 = 390.0 - ex.cold_out_T, ex.hot_out_T - 320.0
    lm = (d1 - d2) / math.log(d1 / d2)
    assert ex.lmtd == pytest.approx(lm, rel=1e-12)
    assert ex.duty / lm < 0.97 * ex.UA


def test_exchanger_area_is_the_log_mean_one_where_heat_capacities_hardly_change(mea):
    # 6 K between the inlets: each side's T is nearly linear in its duty. With L(q) the
    # difference linear between the ends (whose integral of dq / L is duty / lmtd exactly)
    # and |difference - L| <= eps (each side's largest departure from its chord, summed),
    # |UA - duty / lmtd| <= duty eps / ((L_min - eps) L_min), L_min the smaller end difference.
    ex = capture.HeatExchanger(mea, approach=2.0).run(HOT, 326.0, COLD, 320.0)
    q, t_hot, t_cold = profile(mea, ex, HOT, COLD, 40)
    f = q / q[-1]
    eps = max(abs(t_hot - (t_hot[0] + (t_hot[-1] - t_hot[0]) * f)))
    eps += max(abs(t_cold - (t_cold[0] + (t_cold[-1] - t_cold[0]) * f)))
    eps *= 1.5  # the largest departure between the 41 points of a smooth bulge
    L = min(ex.hot_in_T - ex.cold_out_T, ex.hot_out_T - ex.cold_in_T)
    bound = ex.duty * eps / ((L - eps) * L)
    lm_ua = ex.duty / ex.lmtd
    assert bound <= 2e-3 * lm_ua  # nearly constant heat capacities: a tight bound
    assert abs(ex.UA - lm_ua) <= bound


def test_exchanger_ua_of_a_bent_profile_leaves_no_cross_inside(mea):
    # the fuzzer's case (benchmarks/fuzz_capture.py 1 471 --only exchanger, #10): by the
    # log-mean relation of the ends this UA gave a duty whose profile crossed at 80 % of it
    hot = {"CO2": 2.87895, "H2O": 96.6813, "MEA": 19.5779}
    cold = {"CO2": 8.71235, "H2O": 88.3442, "MEA": 17.8897}
    ua = 625399.45
    ex = capture.HeatExchanger(mea, UA=ua).run(hot, 379.313, cold, 327.283)
    assert ex.UA == pytest.approx(ua, rel=1e-6)
    q, t_hot, t_cold = profile(mea, ex, hot, cold, 120)
    assert q[-1] == pytest.approx(ex.duty, rel=1e-9)
    dt = t_hot - t_cold
    assert min(dt) > 0.0  # at every one of 121 duties (ends included), not only CROSS_POINTS
    # its area is that of the profile (Simpson, 120 intervals against 60)
    inv = 1.0 / dt
    fine, coarse = simpson(q, inv), simpson(q[::2], inv[::2])
    assert abs(coarse - fine) / 15.0 <= 1e-7 * fine
    assert fine == pytest.approx(ua, rel=1e-6)
    # far from the log-mean relation: that one would have promised more duty
    assert ex.duty / ex.lmtd < 0.7 * ua


def test_exchanger_round_trip_next_to_a_pinch_at_an_end(mea):
    # the fuzzer's case (benchmarks/fuzz_capture.py 10 471 --only exchanger, #144): a 0.022 K
    # approach at the cold end, where the area grows only like -ln of the distance to the pinch
    hot = {"CO2": 5.17825, "H2O": 109.622, "MEA": 17.1513}
    cold = {"CO2": 7.95994, "H2O": 117.668, "MEA": 18.4101}
    ex = capture.HeatExchanger(mea, approach=0.022).run(hot, 383.513, cold, 318.941)
    assert ex.hot_out_T - 318.941 == pytest.approx(0.022, abs=1e-6)  # the pinch at that end
    assert ex.UA_error <= 1e-6
    back = capture.HeatExchanger(mea, UA=ex.UA).run(hot, 383.513, cold, 318.941)
    assert back.duty == pytest.approx(ex.duty, rel=1e-6)
    # 10 % more area moves the duty by little, the end closer to the pinch, never across
    more = capture.HeatExchanger(mea, UA=1.1 * ex.UA).run(hot, 383.513, cold, 318.941)
    assert 0.0 < more.duty - ex.duty < 1e-3 * ex.duty
    assert 0.0 < more.hot_out_T - 318.941 < 0.022


def test_exchanger_refuses_crosses_and_unbalanced_duties(mea):
    hx = capture.HeatExchanger(mea)
    small = {c: v / 2.0 for c, v in HOT.items()}
    # a hot stream half the cold one cannot heat it by 25 K: it would leave below 320 K
    H_out = hx.enthalpy([small[c] for c in ("CO2", "H2O", "MEA")], 350.0) - (
        hx.enthalpy([COLD[c] for c in ("CO2", "H2O", "MEA")], 345.0)
        - hx.enthalpy([COLD[c] for c in ("CO2", "H2O", "MEA")], 320.0)
    )
    T_out = hx.temperature([small[c] for c in ("CO2", "H2O", "MEA")], H_out, 330.0)
    assert T_out < 320.0
    with pytest.raises(velmora.ConvergenceError, match="temperature cross at the cold end"):
        hx.check(small, 350.0, T_out, COLD, 320.0, 345.0)
    with pytest.raises(velmora.ConvergenceError, match="hot duty .* and cold duty .* differ"):
        hx.check(HOT, 390.0, 350.0, COLD, 320.0, 380.0)
    with pytest.raises(ValueError, match="colder than the cold side"):
        hx.run(HOT, 310.0, COLD, 320.0)
    with pytest.raises(ValueError, match="approach -1"):
        capture.HeatExchanger(mea, approach=-1.0)


# ----------------------------------------------------------------------------- loop
def test_loop_closes_every_element_over_its_boundary(loop_run):
    r = loop_run
    s = r.streams
    mu = dict(r.makeup, CO2=0.0)
    a = atoms([s["flue gas"][0], mu])
    b = atoms([s["treated gas"][0], s["CO2 product"][0]])
    for e in ("C", "H", "N", "O"):
        assert abs(a[e] - b[e]) <= 1e-8 * a[e], (e, a[e], b[e])
    # the CO2 the absorber takes is the CO2 product; the stripper returns the lean CO2
    co2_abs = s["flue gas"][0]["CO2"] - s["treated gas"][0]["CO2"]
    assert s["CO2 product"][0]["CO2"] == pytest.approx(co2_abs, rel=1e-8)
    assert s["lean from stripper"][0]["CO2"] == pytest.approx(
        s["lean to absorber"][0]["CO2"], rel=1e-9
    )
    assert r.capture_pct == pytest.approx(100.0 * co2_abs / s["flue gas"][0]["CO2"], rel=1e-12)


def test_makeup_is_what_leaves_with_the_treated_gas_and_the_product(loop_run):
    s = loop_run.streams
    gin, gout, prod = s["flue gas"][0], s["treated gas"][0], s["CO2 product"][0]
    assert loop_run.makeup["H2O"] == pytest.approx(
        gout["H2O"] + prod["H2O"] - gin["H2O"], rel=1e-6, abs=1e-9
    )
    assert loop_run.makeup["MEA"] == pytest.approx(gout["MEA"] + prod["MEA"], rel=1e-6, abs=1e-12)
    assert loop_run.makeup["MEA"] > 0.0


def test_loop_energy_balance_by_flash_enthalpies(mea, loop_run):
    r, s = loop_run, loop_run.streams
    lean, T_lean = s["lean to absorber"]
    lean_s, T_reb = s["lean from stripper"]
    _, T_hot_out = s["lean to cooler"]
    h_makeup = h_liq(mea, lean, T_lean) - h_liq(mea, lean_s, T_lean)
    cooler = h_liq(mea, lean_s, T_hot_out) - h_liq(mea, lean_s, T_lean)
    assert cooler == pytest.approx(r.cooler_duty, rel=1e-6)
    e_in = h_gas(mea, *s["flue gas"], P_ABS) + h_makeup + r.reboiler_duty
    e_out = (
        h_gas(mea, *s["treated gas"], P_ABS)
        + h_gas(mea, *s["CO2 product"], P_STRIP)
        + r.condenser_duty
        + sum(r.intercooler_duties)
        + cooler
    )
    assert abs(e_in - e_out) <= 1e-6 * abs(e_in)
    # the exchanger: the rich solvent leaves it for the stripper at the hot lean's T less
    # at least the approach, and the stripper's lean is the exchanger's hot inlet
    rich_T = s["rich to stripper"][1]
    assert rich_T == pytest.approx(r.exchanger.cold_out_T) and rich_T <= T_reb - 10.0 + 1e-6
    assert r.exchanger.hot_in_T == pytest.approx(T_reb, abs=1e-6)
    assert s["rich from absorber"][1] < rich_T < T_reb
    # the SRD split adds up; the duty is positive and the reboiler hotter than the feed
    assert r.srd == pytest.approx(r.srd_sensible + r.srd_desorption + r.srd_steam, rel=1e-12)
    assert r.srd_sensible > 0.0 and r.srd_steam > 0.0 and r.srd_desorption > 0.0
    assert r.cyclic_capacity == pytest.approx(r.rich_loading - r.lean_loading)


def test_a_better_exchanger_saves_sensible_heat(mea, loop_run):
    lean = capture.lean_solvent(6804.0, 0.307, 0.2)
    close = make_loop(mea, approach=5.0).run(gas_of(mea), 314.18, lean, 315.18, P_ABS, P_STRIP)
    assert close.capture_pct == pytest.approx(loop_run.capture_pct, rel=1e-12)
    assert close.srd_sensible < loop_run.srd_sensible and close.srd < loop_run.srd
    assert close.exchanger.duty > loop_run.exchanger.duty


def test_an_unconverged_tear_is_an_error_not_an_answer(mea, monkeypatch):
    from velmora.capture import loop as loop_module

    # with the amine kept in the loop by the stripper's reflux the tear settles in one pass
    # (the reboiler T follows from the lean loading and P): a tolerance no pass can meet
    monkeypatch.setattr(loop_module, "MAX_PASSES", 2)
    monkeypatch.setattr(loop_module, "TEAR_T_TOL", -1.0)
    lean = capture.lean_solvent(6804.0, 0.307, 0.2)
    with pytest.raises(
        velmora.ConvergenceError,
        match=r"capture loop: the lean solvent \(tear\) did not converge in 2 "
        r"stripper runs: reboiler T moved [0-9.e-]+ K",
    ):
        make_loop(mea).run(gas_of(mea), 314.18, lean, 315.18, P_ABS, P_STRIP)


def test_stream_table_and_plot(loop_run, tmp_path):
    df = loop_run.to_frame()
    assert {"flue gas", "CO2 product", "make-up", "lean to absorber"} <= set(df.index)
    assert {"CO2", "H2O", "MEA", "N2", "T"} <= set(df.columns)
    loop_run.plot(str(tmp_path / "loop.png"))
    assert (tmp_path / "loop.png").stat().st_size > 1000


# ----------------------------------------------------------------------------- maps
def test_map_trends_and_recorded_failures(mea, tmp_path):
    loop = make_loop(mea)
    m = capture.operating_map(
        loop,
        gas_of(mea),
        314.18,
        P_ABS,
        P_STRIP,
        315.18,
        0.307,
        L_G=[2.0, 3.0, 4.0],
        lean_loading=[0.15, 0.25],
    )
    df = m.to_frame()
    assert len(df) == 6 and df["error"].isna().all()
    assert list(df["lean_loading"][:2]) == [0.15, 0.25]
    for _, part in df.groupby("lean_loading"):
        assert np.all(np.diff(part["capture_pct"].to_numpy()) > 0.0)  # more liquid, more capture
    for _, part in df.groupby("L_G"):
        cap = part.sort_values("lean_loading")["capture_pct"].to_numpy()
        assert cap[0] > cap[1]  # leaner solvent, more capture
    m.plot(str(tmp_path / "map.png"))
    assert (tmp_path / "map.png").stat().st_size > 1000
    # a lean loading the absorber cannot raise: the point is recorded, not raised
    bad = capture.operating_map(
        loop, gas_of(mea), 314.18, P_ABS, P_STRIP, 315.18, 0.307, L_G=[3.0], lean_loading=[-0.1]
    )
    row = bad.to_frame().iloc[0]
    assert math.isnan(row["srd"]) and "ValueError: lean solvent" in row["error"]


def test_loop_at_a_given_duty_finds_the_lean_loading_of_that_duty(mea, loop_run):
    loop = make_loop(mea)
    lean = dict(loop_run.streams["lean to absorber"][0])
    lean["CO2"] = 0.3 * lean["MEA"]  # not used: the duty sets the loading
    r = loop.run_at_duty(gas_of(mea), 314.18, lean, 315.18, P_ABS, P_STRIP, loop_run.reboiler_duty)
    assert r.reboiler_duty == pytest.approx(loop_run.reboiler_duty, rel=1e-7)
    assert r.lean_loading == pytest.approx(loop_run.lean_loading, abs=1e-6)
    assert r.capture_pct == pytest.approx(loop_run.capture_pct, abs=1e-4)
    with pytest.raises(velmora.ConvergenceError, match="is outside .* kW, the duties at lean"):
        loop.run_at_duty(gas_of(mea), 314.18, lean, 315.18, P_ABS, P_STRIP, 1.0)
