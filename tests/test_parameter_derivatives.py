"""Exact derivatives with respect to model parameters: the activity model's d ln gamma / d
coefficient against models rebuilt with the coefficient moved, a fit's residuals against
central differences of whole evaluations on a moved databank, and a fit by exact Jacobians."""

import copy
import warnings

import numpy as np
import pytest

import velmora
from velmora import ionactivity, regress
from velmora.enginebridge import databank
from velmora.regress import data, shipped
from velmora.regress.core import Model, overlay

warnings.filterwarnings("ignore", category=velmora.DefaultParameterWarning)

EL = {
    "A_m_ca": 0,
    "B_m_ca": 1,
    "F_m_ca": 2,
    "G_m_ca": 3,
    "A_ca_m": 4,
    "B_ca_m": 5,
    "F_ca_m": 6,
    "G_ca_m": 7,
    "W1_A": 9,
    "W1_B": 10,
    "W2_A": 11,
    "W2_B": 12,
}
MOL = {
    "A_ij": 0,
    "A_ji": 1,
    "B_ij": 2,
    "B_ji": 3,
    "F_ij": 4,
    "F_ji": 5,
    "G_ij": 6,
    "G_ji": 7,
    "C": 8,
    "D": 9,
}
TAU_STEP = (1e-4, 0.03, 1e-5, 3e-7)  # A, B (over T), F (ln T), G (T): like changes of tau


def moved(sp, kind, key, coef, h):
    """A species object rebuilt from sp's parameters with one coefficient moved by h."""
    model = copy.deepcopy(sp._model)
    table = model["triples" if kind == "electrolyte" else "mol_pairs"]
    nums = list(table[key])
    nums += [0.0] * (13 - len(nums)) if kind == "electrolyte" else []
    nums[coef] += h
    table[key] = nums
    return ionactivity.Species(model)


def step(kind, coef):
    if kind == "electrolyte":
        return TAU_STEP[coef % 4] if coef < 8 else TAU_STEP[(coef - 9) % 2]
    return TAU_STEP[coef // 2] if coef < 8 else (1e-5, 1e-7)[coef - 8]  # alpha's C, D


@pytest.mark.parametrize(
    "chem,T,app,options,pairs",
    [
        # MEA: the amine-water molecule pair (every coefficient, alpha's C and D), the carbamate
        # pair
        (
            "MEA-CO2-H2O",
            333.15,
            {"H2O": 0.75, "MEA": 0.11, "CO2": 0.05},
            {},
            [("molecule", ("H2O", "MEA"), c) for c in MOL.values()]
            + [("electrolyte", ("H2O", "MEAH+", "MEACOO-"), c) for c in EL.values()],
        ),
        # NaOH: the fitted molecule-ion-pair term W, and tau of both sides; exact-gradient form too
        (
            "NaOH-H2O",
            318.15,
            {"H2O": 55.5, "NaOH": 4.0},
            {"fixed_Y": False},
            [("electrolyte", ("H2O", "Na+", "OH-"), c) for c in (0, 1, 2, 4, 5, 6, 9, 10, 11, 12)],
        ),
        # a brine: pairs of several ions sharing water (the mixing rule), one W seeded from zero
        (
            "brine-H2O",
            298.15,
            {"H2O": 55.5, "NaCl": 2.0, "KCl": 0.5, "CaCl2": 0.3, "Na2SO4": 0.2},
            {},
            [("electrolyte", ("H2O", "Na+", "Cl-"), c) for c in (0, 1, 4, 5, 9, 12)]
            + [("electrolyte", ("H2O", "Ca++", "SO4--"), c) for c in (0, 5)],
        ),
    ],
)
def test_ln_gamma_parameter_derivatives_against_moved_models(chem, T, app, options, pairs):
    s = velmora.System(chem)
    el = s.model
    sp = el.sp
    opts = dict(el.options, **options)
    liq = s.liquid(T, app)
    x = np.array([liq.x[k] for k in liq.species])
    index = {"electrolyte": list(sp._model["triples"]), "molecule": list(sp._model["mol_pairs"])}
    dirs = [(kind, index[kind].index(key), c) for kind, key, c in pairs]
    lng, dP = sp._core.ln_gamma_parameter_derivatives(x, T, opts, dirs)
    assert dP.shape == (sp.n, len(pairs))
    assert np.abs(lng - sp._core.ln_gamma(x, T, opts)).max() < 1e-12
    assert np.abs(dP).max() > 0.1
    for k, (kind, key, c) in enumerate(pairs):
        h = step(kind, c)
        fd = (
            moved(sp, kind, key, c, h)._core.ln_gamma(x, T, opts)
            - moved(sp, kind, key, c, -h)._core.ln_gamma(x, T, opts)
        ) / (2 * h)
        scale = max(1e-3, np.abs(fd).max())
        assert np.abs(dP[:, k] - fd).max() < 2e-6 * scale, (kind, key, c)


def test_parameter_derivative_errors():
    sp = velmora.System("NaCl-H2O").model.sp
    x = np.full(sp.n, 1.0 / sp.n)
    npairs = len(sp._model["triples"])
    with pytest.raises(ValueError, match="derivatives with respect to an electrolyte pair's alpha"):
        sp._core.ln_gamma_parameter_derivatives(x, 298.15, None, [("electrolyte", 0, 8)])
    with pytest.raises(ValueError, match=rf"parameter \(0, {npairs}, 0\) is not a coefficient"):
        sp._core.ln_gamma_parameter_derivatives(x, 298.15, None, [("electrolyte", npairs, 0)])
    with pytest.raises(ValueError, match='parameter kind "ion" is not'):
        sp._core.ln_gamma_parameter_derivatives(x, 298.15, None, [("ion", 0, 0)])
    lng, dP = sp._core.ln_gamma_parameter_derivatives(x, 298.15, None, [])
    assert dP.shape == (sp.n, 0) and np.allclose(lng, sp._core.ln_gamma(x, 298.15))


# -- a fit's residuals -----------------------------------------------------------------------------
def _fd_ln_value(base, params, theta, k, d, point):
    """Central difference of ln value of a data point: models rebuilt from databanks moved by
    the overlay (the report route a fit takes), not the derivatives' equations."""
    T, _, comp, _ = point
    h = 1e-5 * max(1.0, abs(theta[k])) * max(1.0, params[k].scale)
    out = []
    for sign in (1, -1):
        t = np.array(theta, float)
        t[k] += sign * h
        m = Model(d.chemistry, databank.derive(base, [overlay(params, t, base)]))
        out.append(np.log(m.value(d.kind, d.species, T, comp)))
    return (out[0] - out[1]) / (2 * h)


CO2_CARB = ("H2O", "MEAH+", "MEACOO-")


@pytest.mark.parametrize(
    "sets,params,picks",
    [
        # p_CO2 over MEA: speciation, the molecule pair (stored the other way round), a ln K shift
        (
            data.mea_sets(loading=(0.1, 0.6))[:2],
            [
                regress.Parameter("molecule_pair", ("MEA", "H2O"), "B_ij", -239.18),
                regress.Parameter("molecule_pair", ("MEA", "H2O"), "A_ji", -0.461),
                regress.Parameter("electrolyte_pair", CO2_CARB, "B_m_ca", 594.6, scale=300.0),
                regress.Parameter("electrolyte_pair", CO2_CARB, "A_ca_m", -4.722),
                regress.Parameter("reaction", "MEA-2", "shift", 0.1),
            ],
            (0, 5, 12),
        ),
        # gamma+- and phi of NaOH with W, and OH- traced in NaCl (no speciation)
        (
            data.salt_sets("NaOH")[1:] + data.acid_base_sets()[2:],
            [
                regress.Parameter("electrolyte_pair", ("H2O", "Na+", "OH-"), "A_m_ca", 8.0),
                regress.Parameter("electrolyte_pair", ("H2O", "Na+", "OH-"), "W1_A", -10.0),
                regress.Parameter(
                    "electrolyte_pair", ("H2O", "Na+", "OH-"), "W2_B", 500.0, scale=300.0
                ),
            ],
            (0, 3, 6),
        ),
        # NaCl: F ln T terms at 100 C, gamma+- and phi
        (
            data.nacl_sets(),
            [
                regress.Parameter("electrolyte_pair", ("H2O", "Na+", "Cl-"), "F_m_ca", 0.5),
                regress.Parameter(
                    "electrolyte_pair", ("H2O", "Na+", "Cl-"), "B_ca_m", 100.0, scale=300.0
                ),
            ],
            (-1, -8),
        ),
        # H2S over MDEA: a Henry component and the amine / ion-pair term
        (
            data.mdea_sets()[1:],
            [
                regress.Parameter("electrolyte_pair", ("MDEA", "MDEAH+", "HS-"), "A_m_ca", 10.0),
                regress.Parameter("electrolyte_pair", ("H2O", "MDEAH+", "HS-"), "A_ca_m", -4.0),
            ],
            (0, 4),
        ),
    ],
)
def test_residual_gradients_against_moved_databanks(sets, params, picks):
    base = databank.active()
    theta = [p.start for p in params]
    db = databank.derive(base, [overlay(params, theta, base)])
    points = [(d, p) for d in sets for p in d.points]
    for i in picks:
        d, point = points[i]
        m = Model(d.chemistry, db)
        value, grad = m.value_gradient(d.kind, d.species, point[0], point[2], params)
        assert value == pytest.approx(m.value(d.kind, d.species, point[0], point[2]), rel=1e-12)
        for k in range(len(params)):
            fd = _fd_ln_value(base, params, theta, k, d, point)
            assert grad[k] == pytest.approx(fd, rel=2e-5, abs=1e-7 / max(1.0, params[k].scale)), (
                d.name,
                i,
                params[k].label,
            )


def test_exact_jacobian_fit_reaches_the_same_parameters_in_fewer_evaluations():
    sets = data.salt_sets("KOH")
    key = ("H2O", "K+", "OH-")
    params = [
        regress.Parameter("electrolyte_pair", key, "A_m_ca", 8.0, 0.0, 20.0),
        regress.Parameter("electrolyte_pair", key, "A_ca_m", -4.0, -15.0, 0.0),
        regress.Parameter("electrolyte_pair", key, "W1_A", 0.0, -60.0, 60.0),
        regress.Parameter("electrolyte_pair", key, "W2_A", 0.0, -60.0, 60.0),
    ]
    base = databank.shipped_without_fit("KOH-H2O")
    exact = regress.fit(sets, params, base=base)
    diff = regress.fit(sets, params, base=base, jac="2-point")
    assert exact.jac == "exact" and diff.jac == "2-point" and exact.success and diff.success
    assert np.all(np.abs(exact.theta - diff.theta) < 0.2 * np.maximum(exact.stderr, 1e-9))
    assert exact.cost == pytest.approx(diff.cost, rel=1e-6)
    assert exact.stderr == pytest.approx(diff.stderr, rel=1e-3)
    # an exact Jacobian costs about one evaluation; differences cost one per parameter
    assert exact.evaluations + exact.jacobians < diff.evaluations / 2
    # a shipped fit through the speciation (H2S over MDEA: Henry component, amine / ion pairs)
    fits = {jac: shipped.run("MDEA-H2S-H2O", jac=jac)[0] for jac in ("exact", "2-point")}
    assert np.all(
        np.abs(fits["exact"].theta - fits["2-point"].theta) < 0.01 * fits["2-point"].stderr
    )
    assert fits["exact"].evaluations + fits["exact"].jacobians < fits["2-point"].evaluations / 2
    # a total pressure has no exact derivatives here: the fit says it took differences
    ds = regress.DataSet(
        "p",
        "total_pressure",
        "NaCl-H2O",
        "H2O",
        data.salt_points("NaCl", [(373.15, 1.0, 97000.0)]),
        "test",
    )
    one = regress.fit([ds], params[:1], base=base, max_nfev=3)
    assert one.jac == "2-point"
    with pytest.raises(ValueError, match="no exact derivatives of a 'total_pressure' point"):
        Model("NaCl-H2O").value_gradient("total_pressure", "H2O", 373.15, ds.points[0][2], params)
    with pytest.raises(ValueError, match="jac must be 'exact' or '2-point', not 'cs'"):
        regress.fit(sets, params, base=base, jac="cs")
