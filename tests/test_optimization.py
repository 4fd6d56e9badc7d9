"""velmora.optimize and velmora.pyomo: the outputs' exact Jacobian against differences of
independent solves, Ipopt on a Pyomo model with a liquid grey box, SciPy's root and least
squares with the exact Jacobian. The Pyomo tests skip where velmora[pyomo] is not installed
(``make ipopt`` installs it)."""

import warnings

import numpy as np
import pytest
import scipy.optimize as so

import velmora
from conftest import richardson
from velmora.optimize import FlashOutputs, LiquidOutputs

T_MEA, P_CO2 = 313.15, 5000.0


@pytest.fixture(scope="module")
def mea():
    return velmora.System("MEA-CO2-H2O")


@pytest.fixture(scope="module")
def brine():
    return velmora.System("brine-H2O")


def mea30(mea, loading):
    return mea.composition(mass_fractions={"MEA": 0.3}, loading=loading)


# -- the Jacobian against Richardson differences -------------------------------------------------
def fd_column(values, x, j, h):
    """d values / d x_j by Richardson differences."""
    return richardson(lambda d: values(np.array(x, dtype=float) + d * (np.arange(len(x)) == j)), h)(
        lambda y: y
    )


def random_cases(mea, brine, count, seed):
    """(LiquidOutputs, x) of random MEA liquids and brines, every kind of output."""
    rng = np.random.default_rng(seed)
    for k in range(count):
        if k % 2 == 0:
            T = rng.uniform(300.0, 390.0)
            app = mea.composition(
                mass_fractions={"MEA": rng.uniform(0.1, 0.4)}, loading=rng.uniform(0.05, 0.55)
            )
            f = LiquidOutputs(
                mea, T, app, ["T", "CO2", "MEA"], ["p_CO2", "pH", "m_MEACOO-", "p_H2O", "H"]
            )
        else:
            T = rng.uniform(280.0, 360.0)
            app = {
                "H2O": 55.5,
                "NaCl": rng.uniform(0.1, 4.0),
                "KCl": rng.uniform(0.01, 0.5),
                "CaCl2": rng.uniform(0.005, 0.1),
                "Na2SO4": rng.uniform(0.005, 0.1),
            }
            f = LiquidOutputs(
                brine,
                T,
                app,
                ["T", "H2O", "CaCl2", "Na2SO4"],
                ["SI_gypsum", "SI_halite", "m_Ca++", "m_SO4--", "p_H2O", "H"],
            )
        yield f, [T] + [app[c] for c in f.inputs[1:]]


def test_jacobian_equals_richardson_differences(mea, brine):
    # saturation indices and molalities from the amounts' and ln gamma's derivatives, partial
    # pressures and pH as the state gives them: each column against differences of solves,
    # to 1e-6 relative plus the solves' noise (1e-10 of an output's size) over the step
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for f, x in random_cases(mea, brine, 40, seed=21):
            J = f.jacobian(x)
            y = f.values(x)
            for j, xj in enumerate(x):
                h = 0.05 if j == 0 else 1e-3 * xj
                fd = fd_column(f.values, x, j, h)
                allowed = 1e-6 * np.abs(fd) + 1e-10 * np.maximum(np.abs(y), 1.0) / h
                bad = np.abs(J[:, j] - fd) > allowed
                assert not bad.any(), (f.outputs, f.inputs[j], x, J[:, j], fd)


def test_outputs_match_the_state_and_unknown_names_are_named(mea, brine):
    app = {"H2O": 55.5, "NaCl": 1.0, "CaCl2": 0.02, "Na2SO4": 0.03, "KCl": 0.1}
    f = LiquidOutputs(brine, 298.15, app, ["H2O"], ["SI_gypsum", "m_Ca++", "pH", "p_H2O", "H"])
    liq = brine.liquid(298.15, app)
    # H of the given amounts: the flash's enthalpy of that liquid (J/mol of feed) times them
    H = brine.flash(app, 101325.0, T=298.15).H * sum(app.values())
    assert f.values([55.5]) == pytest.approx(
        [
            liq.saturation_indices["gypsum"],
            liq.molality["Ca++"],
            liq.pH,
            liq.partial_pressures["H2O"],
            H,
        ],
        rel=1e-9,
    )
    with pytest.raises(
        ValueError,
        match=r"unknown output 'SI_calcite'; outputs: \"pH\", \"H\", "
        r"\"p_<component>\" \(H2O, NaCl, KCl, CaCl2, Na2SO4\)",
    ):
        LiquidOutputs(brine, 298.15, app, ["H2O"], ["SI_calcite"])
    with pytest.raises(
        ValueError,
        match=r"unknown input 'P'; inputs are \"T\" and the "
        r"components H2O, MEA, CO2",
    ):
        LiquidOutputs(mea, 300.0, mea30(mea, 0.3), ["P"], ["pH"])
    with pytest.raises(ValueError, match="an input is listed twice"):
        LiquidOutputs(mea, 300.0, mea30(mea, 0.3), ["CO2", "CO2"], ["pH"])


def test_outputs_of_a_liquid_with_its_solids(brine):
    # a brine that precipitates gypsum: values as the solid-liquid state gives them, the exact
    # Jacobian against Richardson differences of solves, and the water to evaporate for 0.07 mol
    # of gypsum by least squares, checked by an independent solve
    app = {"H2O": 55.508, "NaCl": 1.0, "KCl": 0.1, "CaCl2": 0.1, "Na2SO4": 0.1}
    outputs = ["s_gypsum", "s_halite", "m_Ca++", "H", "SI_halite", "p_H2O"]
    f = LiquidOutputs(brine, 298.15, app, ["T", "H2O", "NaCl"], outputs, solids=True)
    x = [298.15, 55.508, 1.0]
    state = brine.liquid(298.15, app, solids=True)
    assert set(state.solids) == {"gypsum"}
    assert f.values(x) == pytest.approx(
        [
            state.solids["gypsum"],
            0.0,
            state.molality["Ca++"],
            state.H * sum(state.apparent.values()),
            state.saturation_indices["halite"],
            state.partial_pressures["H2O"],
        ],
        rel=1e-12,
    )
    J, y = f.jacobian(x), f.values(x)
    for j, xj in enumerate(x):
        h = 0.05 if j == 0 else 1e-3 * xj
        fd = fd_column(f.values, x, j, h)
        assert np.all(
            np.abs(J[:, j] - fd) <= 1e-6 * np.abs(fd) + 1e-10 * np.maximum(np.abs(y), 1.0) / h
        )
    assert J[1].tolist() == [0.0, 0.0, 0.0]  # halite stays absent near x
    g = LiquidOutputs(brine, 298.15, app, ["H2O"], ["s_gypsum"], solids=True)
    fun, jac = g.residuals([0.07])
    r = so.least_squares(
        fun, [55.508], jac=jac, bounds=(5.0, 100.0), xtol=1e-14, ftol=1e-14, gtol=1e-14
    )
    assert brine.liquid(298.15, dict(app, H2O=r.x[0]), solids=True).solids["gypsum"] == (
        pytest.approx(0.07, rel=1e-9)
    )
    assert 29.0 < r.x[0] < 30.0 and g.solves <= 10
    with pytest.raises(
        ValueError, match=r"^output 's_gypsum': the amount of a solid needs solids=True"
    ):
        LiquidOutputs(brine, 298.15, app, ["H2O"], ["s_gypsum"])


def test_total_enthalpy_of_a_liquid_whose_dissolved_part_takes_another_form():
    # nahcolite out of NaOH and CO2: feed - solids has NaHCO3 < 0, and the dissolved part is
    # written as less NaOH and CO2. The total H (the state's H times its apparent moles) is
    # built from the Jacobian's H per mol of that form and the derivatives of the dissolved
    # part: both must follow the form the state writes, against Richardson differences
    s = velmora.System("NaOH-CO2-H2O")
    app = {"H2O": 55.50929780738274, "NaOH": 3.1096900672804497, "CO2": 2.3160773979415175}
    state = s.liquid(333.8817216555914, app, solids=True)
    assert set(state.solids) == {"nahcolite"} and state.apparent["NaHCO3"] == 0.0
    f = LiquidOutputs(s, 333.8817216555914, app, ["T", "H2O", "NaOH", "CO2"], ["H"], solids=True)
    x = [333.8817216555914, *app.values()]
    J, y = f.jacobian(x), f.values(x)
    for j, xj in enumerate(x):
        h = 0.05 if j == 0 else 1e-4 * xj
        fd = fd_column(f.values, x, j, h)
        assert np.all(np.abs(J[:, j] - fd) <= 1e-6 * np.abs(fd) + 1e-10 * np.abs(y) / h), j


# -- SciPy ---------------------------------------------------------------------------------------
@pytest.mark.filterwarnings("ignore::velmora.RangeWarning")  # iterates beyond loading 0.59
def test_scipy_finds_the_loading_with_fewer_solves_than_differences(mea):
    # 30 wt% MEA at 40 C with p_CO2 = 5 kPa: root and least squares, exact Jacobian against
    # SciPy's own differences; the answer checked by an independent liquid
    app = mea30(mea, 0.3)
    found = {}
    for solver in ("root", "least_squares"):
        for exact in (True, False):
            f = LiquidOutputs(mea, T_MEA, app, ["CO2"], ["p_CO2"])
            fun, jac = f.residuals([P_CO2])
            if solver == "root":
                r = so.root(fun, [app["CO2"]], jac=jac if exact else None, tol=1e-12)
            else:
                r = so.least_squares(
                    fun,
                    [app["CO2"]],
                    jac=jac if exact else "2-point",
                    xtol=1e-14,
                    ftol=1e-14,
                    gtol=1e-14,
                )
            assert r.success
            found[solver, exact] = (r.x[0], f.solves)
        assert found[solver, True][1] < found[solver, False][1]
    loadings = [v[0] / app["MEA"] for v in found.values()]
    assert max(loadings) - min(loadings) < 1e-8
    liq = mea.liquid(T_MEA, dict(app, CO2=found["root", True][0]))
    assert liq.partial_pressures["CO2"] == pytest.approx(P_CO2, rel=1e-8)
    # bracketed by independent liquids: 5 kPa lies between loadings 0.5 and 0.55
    lo, hi = (mea.liquid(T_MEA, mea30(mea, a)).partial_pressures["CO2"] for a in (0.5, 0.55))
    assert lo < P_CO2 < hi and 0.5 < loadings[0] < 0.55


# -- Pyomo and Ipopt -----------------------------------------------------------------------------
def grey_box(system, T, app, vary, outputs, jacobian="exact", solids=False):
    pyo = pytest.importorskip("pyomo.environ")
    pytest.importorskip("cyipopt")
    from pyomo.contrib.pynumero.interfaces.external_grey_box import ExternalGreyBoxBlock

    from velmora.pyomo import LiquidGreyBox

    m = pyo.ConcreteModel()
    m.liq = ExternalGreyBoxBlock(
        external_model=LiquidGreyBox(
            system, T, app, vary, outputs, jacobian=jacobian, solids=solids
        )
    )
    m.liq.inputs["T"].fix(T)
    return pyo, m


def test_grey_box_jacobian_is_the_exact_one_and_differences_agree(mea):
    _, m = grey_box(mea, T_MEA, mea30(mea, 0.4), ["CO2", "MEA"], ["p_CO2", "pH"])
    ex = m.liq.get_external_model()
    assert ex.input_names() == ["T", "CO2", "MEA"]
    J = ex.evaluate_jacobian_outputs()
    assert J.shape == (2, 3)
    x = [m.liq.inputs[k].value for k in ex.input_names()]
    assert np.array_equal(J.toarray(), ex.outputs_of.jacobian(x))
    fd = ex.outputs_of.jacobian_by_differences(x, 1e-5)
    assert np.abs(J.toarray() - fd).max() < 1e-4 * np.abs(fd).max()
    from velmora.pyomo import LiquidGreyBox

    with pytest.raises(ValueError, match='jacobian: "exact" or "differences", not \'fd\''):
        LiquidGreyBox(mea, T_MEA, mea30(mea, 0.4), ["CO2"], ["pH"], jacobian="fd")


def test_ipopt_evaporates_a_brine_to_a_gypsum_yield(brine):
    # the water left for 0.07 mol of gypsum from a brine that holds 0.1 mol of calcium sulfate,
    # checked by an independent solid-liquid equilibrium at the answer
    app = {"H2O": 55.508, "NaCl": 1.0, "KCl": 0.1, "CaCl2": 0.1, "Na2SO4": 0.1}
    pyo, m = grey_box(brine, 298.15, app, ["H2O"], ["s_gypsum"], solids=True)
    m.target = pyo.Constraint(expr=m.liq.outputs["s_gypsum"] == 0.07)
    from velmora.pyomo import solve

    r = solve(m)
    assert r.solved, r
    water = m.liq.inputs["H2O"].value
    assert brine.liquid(298.15, dict(app, H2O=water), solids=True).solids["gypsum"] == (
        pytest.approx(0.07, rel=1e-7)
    )


def test_ipopt_finds_the_loading_at_5_kpa(mea):
    base = mea30(mea, 0.3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # iterates beyond loading 0.59
        for loading in (0.05, 0.45, 0.9):
            runs = {}
            for jacobian in ("exact", "differences"):
                pyo, m = grey_box(
                    mea, T_MEA, dict(base, CO2=loading * base["MEA"]), ["CO2"], ["p_CO2"], jacobian
                )
                m.target = pyo.Constraint(expr=m.liq.outputs["p_CO2"] == P_CO2)
                from velmora.pyomo import solve

                r = solve(m)
                assert r.solved, r
                runs[jacobian] = (
                    m.liq.inputs["CO2"].value,
                    m.liq.get_external_model().outputs_of.solves,
                )
            n_co2 = runs["exact"][0]
            assert runs["differences"][0] == pytest.approx(n_co2, rel=1e-8)
            assert runs["exact"][1] < runs["differences"][1]
            liq = mea.liquid(T_MEA, dict(base, CO2=n_co2))
            assert liq.partial_pressures["CO2"] == pytest.approx(P_CO2, rel=1e-8)


def test_ipopt_largest_recovery_before_gypsum_scales():
    # seawater concentrated by taking water out: the largest recovery with gypsum SI <= 0;
    # beyond it the liquid with solids (an independent solve) precipitates gypsum, before it
    # not
    brine = velmora.System("seawater-H2O")
    feed = dict(velmora.seawater(), H2O=1000.0 / 18.015)
    pyo, m = grey_box(brine, 298.15, feed, ["H2O"], ["SI_gypsum"])
    m.liq.inputs["H2O"].setlb(0.1 * feed["H2O"])
    m.gypsum = pyo.Constraint(expr=m.liq.outputs["SI_gypsum"] <= 0.0)
    m.recovery = pyo.Objective(expr=1.0 - m.liq.inputs["H2O"] / feed["H2O"], sense=pyo.maximize)
    from velmora.pyomo import solve

    r = solve(m)
    assert r.solved, r
    water = m.liq.inputs["H2O"].value
    assert r.objective == pytest.approx(1.0 - water / feed["H2O"], rel=1e-12)
    si = brine.liquid(298.15, dict(feed, H2O=water)).saturation_indices["gypsum"]
    assert abs(si) < 1e-7  # Ipopt's tol 1e-8 is on its scaled error: 1.0005e-8 seen
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        below = brine.liquid(298.15, dict(feed, H2O=water * 1.01), solids=True)
        above = brine.liquid(298.15, dict(feed, H2O=water * 0.99), solids=True)
    # (celestite, SrSO4, saturates a little earlier in seawater)
    assert "gypsum" not in below.solids and above.solids.get("gypsum", 0.0) > 0.0


# optima whose bound lies on a small output or whose inputs are trace amounts (found by
# benchmarks/fuzz_optimize.py): (chemistry, T, start, lower and upper bounds of the varied
# amounts, objective weights (maximized), output, sense of its bound, bound)
SMALL_OPTIMA = [
    (
        "CaCO3-CO2-H2O",
        287.4932880020578,
        {"H2O": 55.50929780738274, "CaCO3": 5.0593627364775576e-05, "CO2": 3.697374041054369e-05},
        {
            "CO2": (9.243435102635922e-06, 0.00021578973257851985),
            "CaCO3": (1.1821177103597257e-05, 0.0002023745094591023),
        },
        {"CO2": 27046.222234925226, "CaCO3": -19765.33512392951},
        "pH",
        ">=",
        7.558090846471358,
    ),
    (
        "BaCl2-H2O",
        373.91154971088923,
        {"H2O": 55.50929780738274, "BaCl2": 0.6485197481388894},
        {
            "BaCl2": (0.16212993703472234, 4.902837542526307),
            "H2O": (13.703033147294235, 222.03719122953095),
        },
        {"BaCl2": -1.5419730900559043, "H2O": -0.018015},
        "m_H3O+",
        "<=",
        1.2379597106180977e-06,
    ),
]


@pytest.mark.parametrize("chem, T, app, box, w, out, sense, bound", SMALL_OPTIMA)
def test_ipopt_optimum_holds_a_small_bound_relatively_and_meets_first_order_conditions(
    chem, T, app, box, w, out, sense, bound
):
    # Without scaling Ipopt held m_H3O+ to 1e-8 absolute (6e-5 of it) and stopped with BaCl2
    # 1e-5 above its bound, off the first-order conditions; with its bounds widened by an
    # absolute 1e-8 it solved CO2 past its bound and returned the point clipped back, pH 1.5e-4
    # above the bound it held, with CaCO3 still free to fall
    system = velmora.System(chem)
    pyo, m = grey_box(system, T, app, list(box), [out])
    for c, (lo, hi) in box.items():
        m.liq.inputs[c].setlb(lo)
        m.liq.inputs[c].setub(hi)
    y = m.liq.outputs[out]
    m.c = pyo.Constraint(expr=(y >= bound) if sense == ">=" else (y <= bound))
    m.obj = pyo.Objective(expr=sum(w[c] * m.liq.inputs[c] for c in box), sense=pyo.maximize)
    from velmora.pyomo import solve

    fresh = velmora.System(chem)  # the checks' own System: its own caches and warm starts

    def output(x):
        state = fresh.liquid(T, dict(app, **x))
        return state.pH if out == "pH" else state.molality[out[2:]]

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = solve(m)
        assert r.solved, r
        x = {c: m.liq.inputs[c].value for c in box}
        assert all(lo <= x[c] <= hi for c, (lo, hi) in box.items())
        # the output on its bound, relatively (maximizing, each objective leaves it active)
        got = output(x)
        assert got == pytest.approx(bound, rel=1e-7)
        assert (got >= bound * (1 - 1e-9)) if sense == ">=" else (got <= bound * (1 + 1e-9))
        # first order on the inputs off their bounds: grad f = lam grad g, lam >= 0 for g <= b
        free = [c for c, (lo, hi) in box.items() if lo * (1 + 1e-7) < x[c] < hi * (1 - 1e-7)]
        assert free
        dg = np.array(
            [
                richardson(lambda d, c=c: output(dict(x, **{c: x[c] * (1 + d)})), 1e-4)(lambda v: v)
                / x[c]
                for c in free
            ]
        )
    df = np.array([w[c] for c in free])
    lam = float(df @ dg / (dg @ dg))
    assert (lam >= 0.0) if sense == "<=" else (lam <= 0.0)
    assert np.abs(df - lam * dg).max() <= 1e-5 * np.abs(df).max()


# -- a TP flash as outputs and as a grey box -----------------------------------------------------
def test_flash_outputs_jacobian_equals_richardson_differences():
    s = velmora.System("MEA-CO2-H2O", gases=["N2"])
    rng = np.random.default_rng(3)
    for _ in range(6):
        # feed in mol (not per mol): the feed columns carry the total
        feed = {
            "H2O": 8.0,
            "MEA": rng.uniform(0.5, 1.5),
            "CO2": rng.uniform(0.2, 0.6),
            "N2": rng.uniform(0.3, 3.0),
        }
        T = rng.uniform(330.0, 370.0)
        f = FlashOutputs(
            s, T, 101325.0, feed, ["T", "P", "CO2", "N2"], ["beta", "x_CO2", "y_CO2", "y_H2O"]
        )
        x = [T, 101325.0, feed["CO2"], feed["N2"]]
        J = f.jacobian(x)
        for j, h in enumerate((0.05, 100.0, 1e-4, 1e-4)):
            fd = fd_column(f.values, x, j, h)
            assert np.abs(J[:, j] - fd).max() <= 1e-6 * np.abs(fd).max() + 1e-7 / h
    with pytest.raises(ValueError, match="unknown output 'z_CO2'"):
        FlashOutputs(s, 350.0, 101325.0, feed, ["T"], ["z_CO2"])


def test_flash_outputs_with_solids_and_the_temperature_of_a_salt_yield():
    # a boiling NaCl-KCl brine at 1 atm that drops halite: the exact Jacobian against Richardson
    # differences, and the T at which half its NaCl has come out, checked by an independent flash
    s = velmora.System("NaCl-KCl-H2O")
    feed = {"H2O": 8.5, "NaCl": 1.2, "KCl": 0.3}  # mol
    T0 = s.flash(feed, 101325.0, vapor_fraction=0.3, solids=True).T
    f = FlashOutputs(
        s,
        T0,
        101325.0,
        feed,
        ["T", "P", "NaCl"],
        ["beta", "x_KCl", "y_H2O", "s_halite", "s_sylvite"],
        solids=True,
    )
    x = [T0, 101325.0, feed["NaCl"]]
    J = f.jacobian(x)
    for j, h in enumerate((0.02, 20.0, 1e-3)):
        fd = fd_column(f.values, x, j, h)
        assert np.abs(J[:, j] - fd).max() <= 1e-6 * np.abs(fd).max() + 1e-8 / h
    assert not J[4].any()  # sylvite stays absent
    g = FlashOutputs(s, T0, 101325.0, feed, ["T"], ["s_halite"], solids=True)
    half = 0.5 * feed["NaCl"] / sum(feed.values())  # mol of halite per mol of feed
    fun, jac = g.residuals([half])
    r = so.least_squares(fun, [T0], jac=jac, xtol=1e-14, ftol=1e-14, gtol=1e-14)
    check = s.flash(feed, 101325.0, T=r.x[0], solids=True)
    assert check.solids["halite"] == pytest.approx(half, rel=1e-9) and g.solves <= 10
    with pytest.raises(ValueError, match=r"unknown output 's_halite'; .*with solids=True"):
        FlashOutputs(s, T0, 101325.0, feed, ["T"], ["s_halite"])


def test_ipopt_finds_the_temperature_of_a_vapor_fraction():
    # the T at which a CO2-rich water feed is 30 % vapor at 1 atm, by Ipopt on the flash grey
    # box; an independent flash at that T has that vapor fraction
    pyo = pytest.importorskip("pyomo.environ")
    pytest.importorskip("cyipopt")
    from pyomo.contrib.pynumero.interfaces.external_grey_box import ExternalGreyBoxBlock

    from velmora.pyomo import FlashGreyBox, solve

    s = velmora.System("CO2-H2O")
    feed = {"H2O": 0.9, "CO2": 0.1}
    m = pyo.ConcreteModel()
    m.fl = ExternalGreyBoxBlock(
        external_model=FlashGreyBox(s, 340.0, 101325.0, feed, [], ["beta", "y_CO2"])
    )
    m.fl.inputs["P"].fix(101325.0)
    m.target = pyo.Constraint(expr=m.fl.outputs["beta"] == 0.3)
    r = solve(m)
    assert r.solved, r
    T = m.fl.inputs["T"].value
    check = s.flash(feed, 101325.0, T=T)
    assert check.vapor_fraction == pytest.approx(0.3, abs=1e-8)
    assert check.vapor["CO2"] == pytest.approx(m.fl.outputs["y_CO2"].value, rel=1e-8)


def test_ipopt_on_a_flash_steps_back_from_one_phase_and_reports_the_violation_left():
    # KOH water at 1 atm from 90 % vapor to 50 %: Ipopt's first step in T leaves the two-phase
    # region (an all-liquid flash has no derivatives); it must step back and solve, checked by
    # an independent flash. A vapor fraction of -0.2 has no answer: not solved, and the
    # violation reported is that of the point returned, by a flash there
    pyo = pytest.importorskip("pyomo.environ")
    pytest.importorskip("cyipopt")
    from pyomo.contrib.pynumero.interfaces.external_grey_box import ExternalGreyBoxBlock

    from velmora.pyomo import FlashGreyBox, solve

    s = velmora.System("KOH-H2O")
    feed, P = {"H2O": 55.5, "KOH": 2.0}, 101325.0
    T0 = s.flash(feed, P, vapor_fraction=0.9).T
    for target in (0.5, -0.2):
        m = pyo.ConcreteModel()
        m.fl = ExternalGreyBoxBlock(external_model=FlashGreyBox(s, T0, P, feed, [], ["beta"]))
        m.fl.inputs["P"].fix(P)
        m.target = pyo.Constraint(expr=m.fl.outputs["beta"] == target)
        r = solve(m, options={"max_iter": 60})
        beta = velmora.System("KOH-H2O").flash(feed, P, T=m.fl.inputs["T"].value).vapor_fraction
        if target > 0.0:
            assert r.solved, r
            assert beta == pytest.approx(target, abs=1e-8)
        else:
            assert not r.solved and "one-phase flash" in r.message
            assert r.constraint_violation == pytest.approx(beta - target, rel=1e-9)
    # from an all-liquid start there is no step to take: refused with the reason
    m = pyo.ConcreteModel()
    m.fl = ExternalGreyBoxBlock(external_model=FlashGreyBox(s, 350.0, P, feed, [], ["beta"]))
    m.fl.inputs["P"].fix(P)
    m.target = pyo.Constraint(expr=m.fl.outputs["beta"] == 0.5)
    with pytest.raises(
        ValueError,
        match=r"^no start for Ipopt: .*one-phase flash result \(vapor "
        r"fraction 0\)",
    ):
        solve(m)
