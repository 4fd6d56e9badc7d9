"""Property test of the front door over every built-in chemistry, against independent checks.

Each call (a flash at T, at the H of a flash at another T, at a vapor fraction, a bubble
temperature, a liquid) on a physically valid feed must come back as an answer that passes the
checks of tests/independent.py (element and charge balances from the formulas, fugacities of
every volatile species from a fresh model against y phi P, reaction quotients from
ionactivity.ln_gamma, the call's target, the same digits twice, the same liquid in another
apparent form), or raise ConvergenceError / ValueError with a message; nothing else.

EXAMPLES (25) examples per chemistry, 5-10 s in all on two cores (VELMORA_PROPERTY_EXAMPLES
raises it for a longer run by hand; benchmarks/fuzz_front_door.py runs thousands), derandomized:
the same examples every run.
"""

import copy
import os

import pytest
from hypothesis import HealthCheck, Phase, given, settings, strategies as st

import independent as ind
import velmora

pytestmark = pytest.mark.filterwarnings("ignore::velmora.errors.RangeWarning")

EXAMPLES = int(os.environ.get("VELMORA_PROPERTY_EXAMPLES", 25))


def _param(chem):
    return pytest.param(chem, id=chem)


@pytest.fixture(scope="module")
def refs():
    # reports written in memory by the engine: the user's report cache is not touched
    return {c: ind.Reference(velmora.System(c, cache=False)) for c in velmora.chemistries()}


class _Draws:
    """The draws of tests/independent.py's input makers from a Hypothesis ``draw``."""

    def __init__(self, draw):
        self.draw = draw

    def uniform(self, lo, hi):
        return self.draw(st.floats(lo, hi))

    def choice(self, seq):
        return self.draw(st.sampled_from(seq))


@st.composite
def cases(draw, chem):
    return ind.case(chem, _Draws(draw))


def _report(case, outcome):
    rows = [f"  {f.kind}: {f.size:.3g} ({f.detail})" for f in outcome.failures]
    return "\n".join(
        [f"{case.chem}: {case.kind} call failed the independent checks"]
        + rows
        + ["reproduce: " + case.reproducer()]
    )


@pytest.mark.parametrize("chem", [_param(c) for c in velmora.chemistries()])
def test_front_door_answers_pass_independent_checks(refs, chem):
    # no shrinking: a failure is reported with its reproducer, and shrinking would cost minutes
    @settings(
        max_examples=EXAMPLES,
        derandomize=True,
        database=None,
        deadline=None,
        phases=(Phase.explicit, Phase.generate),
        suppress_health_check=list(HealthCheck),
    )
    @given(case=cases(chem))
    def check(case):
        outcome = ind.run(refs, case)
        assert outcome.status in ("verified", "raised"), _report(case, outcome)

    check()


# The faults above, one call each (the brief's reproducers and those the fuzz found).
W = 1000.0 / 18.015
FAULTS = [
    pytest.param(
        ind.Case("K2CO3-CO2-H2O", "T", {"H2O": W, "KHCO3": 1.0}, 101325.0, 373.15),
        "all-liquid above its bubble point",
        id="KHCO3-flash-keeps-CO2",
    ),
    pytest.param(
        ind.Case("water", "vf", {"H2O": 1.0}, 101325.0, vf=0.5),
        "vapor fraction target",
        id="water-half-vapor",
    ),
    pytest.param(
        ind.Case("K2CO3-CO2-H2O", "bubble", {"H2O": W, "KHCO3": 1.0}, 101325.0),
        "bubble point",
        id="KHCO3-bubble-temperature",
    ),
    pytest.param(
        ind.Case("NaOH-CO2-H2O", "bubble", {"H2O": W, "NaHCO3": 1.0}, 101325.0),
        "bubble point",
        id="NaHCO3-bubble-temperature",
    ),
    pytest.param(
        ind.Case(
            "K2CO3-CO2-H2O",
            "T",
            {"H2O": W + 0.5, "K2CO3": 0.5, "CO2": 0.5},
            101325.0,
            373.15,
            alt={"H2O": W, "KHCO3": 1.0},
        ),
        "apparent forms disagree",
        id="K2CO3+CO2-vs-KHCO3",
    ),
    pytest.param(
        ind.Case(
            "NH3-CO2-H2O",
            "bubble",
            {"H2O": W, "NH3": 4.1751319976922, "CO2": 3.660322257260925},
            4561320.287546831,
        ),
        "reaction quotient",
        id="NH3-bubble-speciation",
    ),
    pytest.param(
        ind.Case(
            "CaCO3-CO2-H2O",
            "T",
            {"H2O": W, "CaCO3": 0.005352934586768057, "CO2": 0.004406877369499132},
            339891.95845077466,
            448.45563711351696,
        ),
        "f_L != y phi P",
        id="CaCO3-residue-CO2",
    ),
]


@pytest.mark.parametrize("case, kind", FAULTS)
def test_faults_found_by_the_fuzz_stay_fixed(refs, case, kind):
    # each of these once came back "verified" and failed the independent check
    outcome = ind.run(refs, case)
    assert kind not in {f.kind for f in outcome.failures}, _report(case, outcome)
    assert outcome.status == "verified", _report(case, outcome)


def test_the_checks_catch_planted_faults(refs):
    """A verified two-phase answer passes; moved off its solution, each check fails."""
    ref = refs["MEA-CO2-H2O"]
    case = ind.Case("MEA-CO2-H2O", "T", {"H2O": 0.85, "MEA": 0.1, "CO2": 0.05}, 101325.0, 380.0)
    r = ref.system.flash(case.feed, case.P, T=case.T)
    z = ind._normalised(ref.system, case.feed)
    assert 0.0 < r.vapor_fraction < 1.0
    fails, f = ind.check_flash(ref, r, z, case.P)
    assert fails == [] and set(f) == {"H2O", "MEA", "CO2"}
    assert ind.check_target(ref, r, case, f) == []

    def kinds(bad):
        return {f.kind for f in ind.check_flash(ref, bad, z, case.P)[0]}

    bad = copy.copy(r)
    bad.vapor_fraction = r.vapor_fraction * (1.0 + 1e-8)  # atoms no longer add up
    assert "element balance" in kinds(bad)
    bad = copy.copy(r)
    bad.vapor = dict(r.vapor, CO2=r.vapor["CO2"] * 1.01, H2O=r.vapor["H2O"] - 0.01 * r.vapor["CO2"])
    assert "f_L != y phi P" in kinds(bad)
    bad = copy.copy(r)
    bad.H = r.H + 10.0  # J/mol
    assert "H of the answer" in kinds(bad)
    bad = copy.copy(r)
    bad.liquid = copy.copy(r.liquid)
    bad.liquid.amounts = dict(r.liquid.amounts)
    bad.liquid.amounts["HCO3-"] *= 1.001  # off equilibrium and charge
    assert {"reaction quotient", "charge balance"} <= kinds(bad)
    off = ind.Case("MEA-CO2-H2O", "vf", case.feed, case.P, vf=r.vapor_fraction + 1e-3)
    assert [f.kind for f in ind.check_target(ref, r, off, f)] == ["vapor fraction target"]


def test_formula_reader():
    assert ind.atoms("HOCH2CH2NHCOO-") == {"H": 6, "O": 3, "C": 3, "N": 1}
    assert ind.atoms("Ca(OH)2") == {"Ca": 1, "O": 2, "H": 2}
    assert ind.atoms("CO3--") == {"C": 1, "O": 3}
    assert ind.atoms("K2CO3.1.5H2O") == {"K": 2, "C": 1, "O": 4.5, "H": 3}
    with pytest.raises(ValueError):
        ind.atoms("Ca(OH")
