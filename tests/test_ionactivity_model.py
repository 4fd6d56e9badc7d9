import math
import types

import numpy as np
import pytest

from velmora import ionactivity, ionchem
from enrtl_reports import CO2_NAMES, NACL, NACL_NAMES, doc_example, engine_report

OPTIONS = [
    {"lc_ref": lc, "fixed_Y": fy} for lc in ("water-ratio", "fused-salt") for fy in (True, False)
]


@pytest.fixture(scope="module")
def nacl():
    return ionactivity.species_from_report(NACL, NACL_NAMES, ())[0]


# MEA-CO2-water: two solvents, a Henry solute, two cations and four anions
MEA_NAMES = ["H2O", "MEA", "CO2", "H3O+", "MEAH+", "OH-", "HCO3-", "CO3--", "MEACOO-"]


@pytest.fixture(scope="module")
def mea_report():
    # the engine's report, with alpha 0.1 in two triples so that the mixed alphas vary with Y
    text = engine_report({s: s for s in MEA_NAMES[:3]}, ionchem.builtin("MEA-CO2-H2O"), ["CO2"])
    for line in (
        "MEA  MEAH+  MEACOO-  10 0 0 0  -2 0 0 0  0.2",
        "CO2  MEAH+  HCO3-  15 0 0 0  -8 0 0 0  0.2",
    ):
        assert line in text
        text = text.replace(line, line[:-3] + "0.1")
    return text


@pytest.fixture(scope="module")
def mea(mea_report):
    return ionactivity.species_from_report(mea_report, MEA_NAMES, ["CO2"])[0]


def _gd_residual(sp, x, T, opts, seed):
    """x-weighted sum of d ln gamma along a random change of the amounts (central difference)."""
    dn = np.random.default_rng(seed).uniform(-1, 1, sp.n) * x
    e = 1e-5
    d = (
        ionactivity.ln_gamma(sp, x + e * dn, T, opts)
        - ionactivity.ln_gamma(sp, x - e * dn, T, opts)
    ) / (2 * e)
    return abs(x @ d)


def _mixed(sp):
    x = np.array([0.6, 0.1, 0.05, 0.02, 0.08, 0.03, 0.04, 0.005, 0.02])  # electroneutral
    assert abs(sp.z @ x) < 1e-15
    return x / x.sum()


@pytest.mark.parametrize("opts", OPTIONS)
def test_gibbs_duhem_holds_for_every_exact_derivative(nacl, mea, opts):
    # One salt: Y is constant, so both values of fixed_Y are exact derivatives.
    x = np.array([0.9, 0.05, 0.05])
    for T in (298.15, 360.0):
        assert _gd_residual(nacl, x, T, opts, 1) < 1e-8
    # Mixed solvent with six ions: exact only when Y is differentiated.
    for seed in range(3):
        r = _gd_residual(mea, _mixed(mea), 313.15, opts, seed)
        if opts["fixed_Y"]:
            assert r > 1e-5  # the published closed forms are not a gradient here
        else:
            assert r < 1e-8


@pytest.mark.parametrize("lc_ref", ["water-ratio", "fused-salt"])
def test_held_ion_fractions_change_nothing_where_they_are_constant(nacl, lc_ref):
    # One cation and one anion: Y = 1 whatever the amounts, so the derivative taken by hand with
    # Y held ("fixed_Y" true) and the one in dual numbers ("fixed_Y" false) are the same.
    rng = np.random.default_rng(4)
    for _ in range(20):
        salt = rng.uniform(1e-4, 0.1)
        x = np.array([1.0 - 2 * salt, salt, salt])
        T = rng.uniform(273.15, 473.15)
        held = ionactivity.ln_gamma(nacl, x, T, {"lc_ref": lc_ref, "fixed_Y": True})
        dual = ionactivity.ln_gamma(nacl, x, T, {"lc_ref": lc_ref, "fixed_Y": False})
        np.testing.assert_allclose(held, dual, rtol=1e-13, atol=1e-13)


def _alphas_by_molecule(text, spread):
    """The report with the alpha of every molecule-ion-ion triple set by its molecule, each
    triple's times (1 + spread * its rank), so that with spread 0 every mixing rule sees one
    alpha."""
    by_mol = {"H2O": 0.2, "MEA": 0.1, "CO2": 0.3}
    lines, rank = [], 0
    for line in text.splitlines():
        f = line.split()
        if len(f) >= 12 and f[0] in by_mol and f[1].endswith("+") and f[2].endswith("-"):
            rank += 1
            f[11] = repr(by_mol[f[0]] * (1.0 + spread * rank))
            line = "  ".join(f[:12])
        lines.append(line)
    assert rank == 24
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("opts", OPTIONS)
def test_one_alpha_per_mixing_rule_is_the_limit_of_nearly_equal_ones(mea_report, opts):
    # Where every pair of a mixing rule has the same alpha the model takes it as the mixed alpha
    # (sum_a Y_a alpha = alpha); alphas apart by 1e-13 take the general rule. Both must agree,
    # with alphas that differ between the molecules so that a rule given another's alpha shows.
    same = ionactivity.species_from_report(
        _alphas_by_molecule(mea_report, 0.0), MEA_NAMES, ["CO2"]
    )[0]
    apart = ionactivity.species_from_report(
        _alphas_by_molecule(mea_report, 1e-13), MEA_NAMES, ["CO2"]
    )[0]
    for T, x in ((313.15, _mixed(same)), (380.0, np.sqrt(_mixed(same)))):  # second: other Y
        x = x / x.sum()
        lg_same = ionactivity.ln_gamma(same, x, T, opts)
        lg_apart = ionactivity.ln_gamma(apart, x, T, opts)
        np.testing.assert_allclose(lg_same, lg_apart, rtol=0.0, atol=1e-10)


@pytest.mark.parametrize("opts", OPTIONS)
def test_ln_gamma_is_the_gradient_of_gex_and_scale_free(mea, opts):
    x = _mixed(mea)
    T = 330.0
    lg = ionactivity.ln_gamma(mea, x, T, opts)
    assert x @ lg == pytest.approx(mea._core.gex(x, T, opts), abs=1e-13)  # Euler
    for c in (1e-3, 7.0, 1e4):
        np.testing.assert_allclose(
            ionactivity.ln_gamma(mea, c * x, T, opts), lg, rtol=1e-12, atol=1e-13
        )
    if not opts["fixed_Y"]:
        for i, h in enumerate(np.eye(mea.n) * 1e-6):  # n G^ex/RT by central differences
            up, dn = x + h, x - h
            fd = (
                mea._core.gex(up, T, opts) * up.sum() - mea._core.gex(dn, T, opts) * dn.sum()
            ) / 2e-6
            assert fd == pytest.approx(lg[i], abs=1e-8)


@pytest.mark.parametrize("opts", OPTIONS + [None])
def test_pure_water_is_its_own_reference_and_salt_only_liquids_are_finite(nacl, mea, opts):
    for sp in (nacl, mea):
        for T in (280.0, 298.15, 393.15):
            assert ionactivity.ln_gamma(sp, np.eye(sp.n)[sp.water], T, opts)[sp.water] == 0.0
    assert np.all(np.isfinite(ionactivity.ln_gamma(nacl, [0.0, 0.5, 0.5], 298.15, opts)))
    assert np.all(
        np.isfinite(ionactivity.ln_gamma(mea, np.where(mea.ion, _mixed(mea), 0.0), 313.15, opts))
    )


@pytest.mark.parametrize("fixed_Y", [True, False])
def test_ions_at_infinite_dilution_in_water_tend_to_unity(mea, fixed_Y):
    opts = {"lc_ref": "water-ratio", "fixed_Y": fixed_Y}
    x = _mixed(mea)
    prev = None
    for eps in (1e-6, 1e-10, 1e-14):
        xi = np.where(mea.ion, x * eps, 0.0)
        xi[mea.water] = 1.0
        lg = ionactivity.ln_gamma(mea, xi / xi.sum(), 298.15, opts)[mea.ion]
        assert np.all(np.abs(lg) < 20 * math.sqrt(eps))  # the long-range term goes as sqrt(I)
        if prev is not None:
            assert np.all(np.abs(lg) < np.abs(prev))
        prev = lg


def test_fused_salt_reference_is_the_closed_form_limit(nacl):
    # At infinite dilution in water the unreferred ion term is tau_w,ca + G_ca,w tau_ca,w.
    x = np.array([1.0, 1e-15, 1e-15])
    lg = ionactivity.ln_gamma(nacl, x, 298.15, {"lc_ref": "fused-salt"})
    assert lg[1] == pytest.approx(8.885 + math.exp(0.2 * 4.549) * -4.549, abs=1e-6)
    assert lg[2] == pytest.approx(lg[1], abs=1e-12)
    # ... and the two conventions differ by exactly that reference, molecules untouched.
    x = np.array([0.8, 0.1, 0.1])
    a = ionactivity.ln_gamma(nacl, x, 298.15, {"lc_ref": "fused-salt"})
    b = ionactivity.ln_gamma(nacl, x, 298.15, {"lc_ref": "water-ratio"})
    np.testing.assert_allclose(a - b, [0.0, lg[1], lg[2]], atol=1e-6)


def test_henry_solute_is_symmetric_with_the_molecular_limit_in_water():
    sp = ionactivity.species_from_report(doc_example(), CO2_NAMES, ["CO2"])[0]
    T, w, co2 = 313.15, 0, 1
    x = np.array([1.0, 1e-9, 1e-12, 1e-12, 1e-12, 1e-12])
    tau, alpha = sp.molecule_tau(T)
    expected = tau[w, co2] + math.exp(-alpha[co2, w] * tau[co2, w]) * tau[co2, w]
    assert ionactivity.ln_gamma(sp, x / x.sum(), T)[co2] == pytest.approx(expected, abs=1e-6)


def test_dippr105_density_agrees_with_kell(nacl):
    # Perry's DIPPR-105 water (5.459, 0.30542, 647.13, 0.081 kmol/m3) against the built-in Kell form
    alt = ionactivity.species_from_report(
        NACL.replace("H2O  KELL", "H2O  DIPPR105 5.459 0.30542 647.13 0.081"), NACL_NAMES, ()
    )[0]
    for T in (298.15, 323.15):
        assert alt.solvent_mix([1, 0, 0], T)["rho"] == pytest.approx(
            nacl.solvent_mix([1, 0, 0], T)["rho"], rel=5e-3
        )


def test_born_term_moves_ions_from_water_to_the_solvent_mixture(mea, mea_report):
    # Doubling one ion's Born radius halves its Born term and changes nothing else.
    sp2 = ionactivity.species_from_report(
        mea_report.replace("OH-  3e-10", "OH-  6e-10"), MEA_NAMES, ["CO2"]
    )[0]
    x = _mixed(mea)
    T = 313.15
    d = ionactivity.ln_gamma(mea, x, T) - ionactivity.ln_gamma(sp2, x, T)
    eps_s = mea.solvent_mix(x, T)["eps"]
    eps_w = mea.solvent_mix(np.eye(mea.n)[mea.water], T)["eps"]
    bjerrum = 1.602176634e-19**2 / (4 * math.pi * 8.8541878128e-12 * 1.380649e-23 * T)
    oh = MEA_NAMES.index("OH-")
    expected = 0.5 * bjerrum * (1 / eps_s - 1 / eps_w) * (1 / 3e-10 - 1 / 6e-10)
    assert d[oh] == pytest.approx(expected, rel=1e-9)
    assert np.abs(np.delete(d, [oh, 0, 1])).max() < 1e-12 * abs(expected)  # other ions, the solute


def test_options_ignore_unknown_keys_and_accept_any_mapping(mea):
    x = _mixed(mea)
    base = ionactivity.ln_gamma(mea, x, 313.15)
    same = [
        {"lc_ref": "water-ratio", "fixed_Y": True, "henry_ref": "solvent", "anything": 3},
        types.MappingProxyType({"fixed_Y": np.bool_(True)}),
        {},
    ]
    for o in same:
        np.testing.assert_array_equal(ionactivity.ln_gamma(mea, x, 313.15, o), base)
    assert not np.allclose(ionactivity.ln_gamma(mea, x, 313.15, {"fixed_Y": False}), base)


@pytest.mark.parametrize(
    "x, T, opts, message",
    [
        (
            [0.9, 0.05, 0.05],
            298.15,
            {"lc_ref": "water"},
            "option \"lc_ref\" has the unknown value 'water' "
            '(accepted: "water-ratio", "fused-salt")',
        ),
        (
            [0.9, 0.05, 0.05],
            298.15,
            {"lc_ref": None},
            'option "lc_ref" has the unknown value None (accepted: "water-ratio", "fused-salt")',
        ),
        (
            [0.9, 0.05, 0.05],
            298.15,
            {"fixed_Y": 1},
            'option "fixed_Y" has the unknown value 1 (accepted: True, False)',
        ),
        (
            [0.9, 0.05, 0.05],
            298.15,
            {"fixed_Y": "true"},
            "option \"fixed_Y\" has the unknown value 'true' (accepted: True, False)",
        ),
        ([0.5, 0.5], 298.15, None, "x must be a vector of 3 mole fractions"),
        ([0.0, 0.0, 0.0], 298.15, None, "mole fractions must have a positive sum"),
        ([np.inf, 1.0, 1.0], 298.15, None, "mole fractions must be finite numbers"),
        ([1.0, 0.0, 0.0], 0.0, None, "temperature must be a positive number of kelvin"),
        ([1.0, 0.0, 0.0], float("nan"), None, "temperature must be a positive number of kelvin"),
    ],
)
def test_bad_options_and_arguments_are_value_errors(nacl, x, T, opts, message):
    with pytest.raises(ValueError) as err:
        ionactivity.ln_gamma(nacl, x, T, opts)
    assert str(err.value) == message
