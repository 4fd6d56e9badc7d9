"""The capture plant's optimum: the loop's sensitivities against whole loops solved again
(central differences, Richardson-extrapolated), warm starts against cold ones, and the
least-SRD operating point at 90 % capture by SLSQP and Ipopt (capture met, both agreeing, SRD
not lower at the neighbours on the 90 % curve). The pilot's absorber at 2 segments per bed."""

import csv
import sys
import warnings

import numpy as np
import pytest

import velmora
from velmora import capture

CSV = "/work/shared/data/pilot-nccc-2014.csv"
START = (0.25, 2.5)


@pytest.fixture(autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        yield


@pytest.fixture(scope="module")
def plant():
    return capture.pilot_plant(CSV, "K17", segments=2)


@pytest.fixture(scope="module")
def bounds():
    return capture.pilot_bounds(CSV)


@pytest.fixture(scope="module")
def optima(plant, bounds):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", velmora.RangeWarning)
        out = {"scipy": capture.optimal_operation(plant, 90.0, "scipy", START, bounds)}
        try:
            import cyipopt  # noqa: F401
        except ImportError:
            return out
        out["ipopt"] = capture.optimal_operation(plant, 90.0, "ipopt", START, bounds)
        return out


def test_bounds_are_the_campaigns_range_read_from_the_csv():
    with open(CSV) as f:
        rows = list(csv.DictReader(f))
    ll = [float(r["lean_loading"]) for r in rows]
    lg = [float(r["lean_flow_kg_h"]) / float(r["gas_flow_kg_h"]) for r in rows]
    b = capture.pilot_bounds(CSV)
    assert b["lean_loading"] == (min(ll), max(ll)) == (0.062, 0.399)
    assert b["L_G"] == pytest.approx((min(lg), max(lg)), rel=1e-12)
    assert b["L_G"] == pytest.approx((3175 / 2243, 11793 / 1440), rel=1e-12)  # K4 and K19


def test_sensitivities_match_whole_loops_solved_again(plant):
    r = plant.run(*START)
    s = plant.sensitivities(r)
    assert s.point == pytest.approx(START, rel=1e-12)

    def central(k, h):
        e = np.zeros(2)
        e[k] = h
        up, down = plant.run(*(np.array(START) + e), start=r), plant.run(*(START - e), start=r)
        return np.array(
            [
                (getattr(up, q) - getattr(down, q)) / (2.0 * h)
                for q in ("capture_pct", "srd", "reboiler_duty", "rich_loading")
            ]
        )

    # Richardson on steps h and h/2 (capture's third derivative in the loading is large: plain
    # central steps of 1e-3 are off by 1e-3); the loops' tolerances (scaled residuals 1e-10)
    # over steps of 5e-4 leave about 1e-6, the IFT's difference steps 1e-6: 1e-4 is margin
    for k, h in ((0, 1e-3), (1, 1e-2)):
        fd = (4.0 * central(k, h / 2) - central(k, h)) / 3.0
        ift = [s.capture[k], s.srd[k], s.reboiler_duty[k], s.rich_loading[k]]
        assert ift == pytest.approx(fd, rel=1e-4), k
    # signs a capture plant must have: richer lean solvent captures less, more solvent more
    assert s.capture[0] < 0.0 < s.capture[1]


def test_warm_start_lands_on_the_cold_solution(plant):
    r = plant.run(0.22, 2.2)
    cold = plant.run(0.23, 2.3)
    warm = plant.run(0.23, 2.3, start=r)
    assert warm.absorber.iterations < cold.absorber.iterations
    for q in ("capture_pct", "rich_loading", "reboiler_T"):
        assert getattr(warm, q) == pytest.approx(getattr(cold, q), rel=1e-9)
    assert warm.reboiler_duty == pytest.approx(cold.reboiler_duty, rel=1e-7)


def test_optimum_meets_capture_and_is_stationary_along_the_capture_curve(plant, optima):
    o = optima["scipy"]
    assert o.success and o.capture_pct == pytest.approx(90.0, abs=1e-4)
    assert o.srd == pytest.approx(o.result.srd) and o.result.capture_pct == o.capture_pct
    # an interior optimum: neither bound active
    b = capture.pilot_bounds(CSV)
    assert b["lean_loading"][0] + 0.02 < o.lean_loading < b["lean_loading"][1] - 0.02
    assert b["L_G"][0] + 0.1 < o.L_G < b["L_G"][1] - 0.1
    # feasible neighbours on the 90 % curve need no less SRD
    for d in (-0.01, 0.01):
        n = plant.at_capture(o.lean_loading + d, 90.0, o.L_G, start=o.result)
        assert n.capture_pct == pytest.approx(90.0, abs=1e-6)
        assert n.srd > o.srd
    # the multiplier: SRD per % of capture, from the curve's neighbours at +- 0.5 %
    up = plant.at_capture(o.lean_loading, 90.5, o.L_G, start=o.result)
    down = plant.at_capture(o.lean_loading, 89.5, o.L_G, start=o.result)
    assert o.multiplier == pytest.approx(up.srd - down.srd, rel=0.1)
    assert o.cost_in_loops < 200.0 and o.loop_solves < 60


def test_ipopt_and_slsqp_agree(optima):
    if "ipopt" not in optima:
        pytest.skip("no cyipopt")
    a, b = optima["scipy"], optima["ipopt"]
    assert b.success and b.capture_pct == pytest.approx(90.0, abs=1e-4)
    assert b.reboiler_duty == pytest.approx(a.reboiler_duty, rel=0.01)
    assert abs(b.lean_loading - a.lean_loading) < 0.005
    # both stop far closer than those tolerances
    assert b.srd == pytest.approx(a.srd, rel=1e-5) and b.L_G == pytest.approx(a.L_G, rel=1e-3)
    assert b.cost_in_loops < 200.0


def test_errors_name_what_is_wrong(plant, bounds, monkeypatch):
    with pytest.raises(ValueError, match='method "scipy" or "ipopt", not \'bfgs\''):
        capture.optimal_operation(plant, 90.0, "bfgs", START, bounds)
    with pytest.raises(ValueError, match=r"start \(0\.5, 2\.5\) outside the bounds"):
        capture.optimal_operation(plant, 90.0, "scipy", (0.5, 2.5), bounds)
    with pytest.raises(ValueError, match="bounds of lean_loading and L_G"):
        capture.optimal_operation(plant, 90.0, "scipy", START)
    with pytest.raises(ValueError, match="no case 'K99'"):
        capture.pilot_plant(CSV, "K99")
    monkeypatch.setitem(sys.modules, "cyipopt", None)
    with pytest.raises(ImportError, match=r"needs cyipopt and an Ipopt library"):
        capture.optimal_operation(plant, 90.0, "ipopt", START, bounds)
