"""Shared test doubles: species object, activity model (fixtures `activity`, `ideal_activity`),
reference chemistries, engine (fixtures `engine`, `report_cache`) and a carbonate chemistry."""

import math
import os
import pickle
import sys
import types

import numpy as np
import pytest
from hypothesis import settings

import velmora.ionactivity
from velmora import phasekit

# CI runs (CI set in the environment) replay the same examples every time, so that a run cannot
# fail by chance; local runs keep exploring at random.
settings.register_profile("ci", derandomize=True, database=None, deadline=None)
if os.environ.get("CI"):
    settings.load_profile("ci")


class Species:
    """Species object double. tau: dict {(a, b): value} of molecule–molecule NRTL tau (per name),
    constant or callable tau(T); alpha: nonrandomness of every pair."""

    def __init__(
        self, names, charges=None, henry=(), solvents=None, water="H2O", tau=None, alpha=0.3
    ):
        self.names = list(names)
        self.n = len(self.names)
        self.z = z = np.array([(charges or {}).get(s, 0) for s in self.names], float)
        self.ion = [bool(c != 0) for c in z]
        self.mol = [i for i in range(self.n) if not self.ion[i]]
        self.henry = [self.names.index(h) for h in henry]
        if solvents is None:
            solvents = [s for i, s in enumerate(self.names) if i in self.mol and s not in henry]
        self.solv = [self.names.index(s) for s in solvents]
        self.water = self.names.index(water) if water in self.names else 0
        self._tau = dict(tau or {})
        self.alpha = alpha
        self.tau_calls = []

    def tau(self, T):
        """The tau matrix at T (not counted as a molecule_tau call)."""
        tau = np.zeros((self.n, self.n))
        for (a, b), v in self._tau.items():
            tau[self.names.index(a), self.names.index(b)] = v(T) if callable(v) else v
        return tau

    def molecule_tau(self, T):
        self.tau_calls.append(T)
        alpha = np.full((self.n, self.n), float(self.alpha))
        np.fill_diagonal(alpha, 0.0)
        return self.tau(T), alpha


class ActivityDouble:
    """Stand-in for ionactivity.ln_gamma(sp, x, T, options=None) that records its calls: a
    symmetric two-suffix Margules model, g^E/RT = 1/2 sum_ij x_i x_j W_ij,
    ln gamma_k = sum_j W_kj x_j - g^E/RT (Gibbs–Duhem consistent), W = -a z_i z_j between charges
    and the symmetric part of tau at 298.15 K between molecules; `ideal=True` gives ln gamma = 0."""

    def __init__(self, ideal=False, a=2.0, record=True, cache=False):
        self.ideal = ideal
        self.a = a
        self.record = record  # keep (x, T, options) of every call in self.calls
        self.cache = cache  # W once per species object (for benchmarks; sp must not change)
        self.calls = []
        self._W = {}

    def W(self, sp):
        z = np.asarray(sp.z, float)
        W = -self.a * np.outer(z, z)
        tau = (
            sp.tau(298.15) if hasattr(sp, "_tau") else np.zeros((sp.n, sp.n))
        )  # other species objects: 0
        mol = np.ix_(sp.mol, sp.mol)
        W[mol] = 0.5 * (tau + tau.T)[mol]
        np.fill_diagonal(W, 0.0)
        return W

    def __call__(self, sp, x, T, options=None):
        x = np.array(x, dtype=float)
        if self.record:
            self.calls.append((x.copy(), T, options))
        if self.ideal:
            return np.zeros(len(x))
        if not self.cache or id(sp) not in self._W:
            self._W[id(sp)] = self.W(sp)
        W = self._W[id(sp)]
        g = 0.5 * x @ W @ x
        return W @ x - g


@pytest.fixture
def activity(monkeypatch):
    double = ActivityDouble()
    monkeypatch.setattr(velmora.ionactivity, "ln_gamma", double)
    return double


@pytest.fixture
def ideal_activity(monkeypatch):
    double = ActivityDouble(ideal=True)
    monkeypatch.setattr(velmora.ionactivity, "ln_gamma", double)
    return double


def cold(system):
    """A copy of a System that fails on any computation (AttributeError): a guard must answer
    first."""
    s = pickle.loads(pickle.dumps(system))
    s.model = None
    return s


def ln_f_gap(system, r):
    """max |ln f_L - ln f_V| of a flash result, from the core layer's pieces (the activity
    model's fugacities, phasekit's vapor ln phi)."""
    el = system.model
    x = [r.x[c] for c in system.components]
    y = np.array([r.vapor[c] for c in system.components])
    f = el.fugacities(dict(zip(system.components, x)), r.T)[0]
    lnphi = phasekit.phi_vapor(system.pp, y, r.T, r.P)
    return max(
        abs(math.log(f[c]) - math.log(y[k] * r.P) - lnphi[k])
        for k, c in enumerate(system.components)
        if c in f
    )


def richardson(at, h):
    """d/dv of any quantity get(state) from the states at(v) at +-h and +-h/2, central
    differences combined (Richardson): error O(h^4), a reference independent of the
    derivatives' equations. Returns d(get)."""
    p1, m1, p2, m2 = at(h), at(-h), at(h / 2), at(-h / 2)
    return lambda get: (4.0 * (get(p2) - get(m2)) / h - (get(p1) - get(m1)) / (2 * h)) / 3.0


# ---- reference chemistries ------------------------------------------------------------------
# ln K = A + B/T + C ln T + D T, mole-fraction basis (Edwards et al. 1978; Austgen et al. 1989).
K_WATER = {"A": 132.899, "B": -13445.9, "C": -22.4773, "D": 0.0}
K_CO2 = {"A": 231.465, "B": -12092.1, "C": -36.7816, "D": 0.0}
K_HCO3 = {"A": 216.049, "B": -12431.7, "C": -35.4819, "D": 0.0}
K_MEAH = {"A": 2.1211, "B": -8189.38, "C": 0.0, "D": -0.007484}
K_MEACOO = {"A": 2.8898, "B": -3635.09, "C": 0.0, "D": 0.0}
# ln H[Pa] of CO2 in water (IAPWS G7-04 refit), vapor pressure of water (DIPPR-101).
HENRY_CO2_H2O = (199.2582, -9126.69, -26.99262, 0.0136553)
ANTOINE_H2O = (73.649, -7258.2, 0.0, 0.0, -7.3037, 4.1653e-06, 2.0)
ANTOINE_MEA = (92.624, -10367.0, 0.0, 0.0, -9.4699, 1.9e-18, 6.0)

R_WATER = {"H2O": -2, "H3O+": 1, "OH-": 1}
R_CO2 = {"CO2": -1, "H2O": -2, "H3O+": 1, "HCO3-": 1}
R_HCO3 = {"HCO3-": -1, "H2O": -1, "H3O+": 1, "CO3--": 1}
CHARGES = {
    "H3O+": 1,
    "OH-": -1,
    "HCO3-": -1,
    "CO3--": -2,
    "MEAH+": 1,
    "MEACOO-": -1,
    "Na+": 1,
    "Cl-": -1,
}


def water_system(**kw):
    """2 H2O = H3O+ + OH-; returns (sp, reactions, kinds, k, apparent)."""
    sp = Species(["H2O", "H3O+", "OH-"], CHARGES, **kw)
    return sp, [dict(R_WATER)], ["EQUIL"], [dict(K_WATER)], ["H2O"]


def carbonate_system(**kw):
    """Water + CO2 (Henry component) with the carbonate equilibria."""
    names = ["H2O", "CO2", "H3O+", "OH-", "HCO3-", "CO3--"]
    sp = Species(
        names,
        CHARGES,
        henry=("CO2",),
        tau=kw.pop("tau", {("H2O", "CO2"): 3.0, ("CO2", "H2O"): -0.5}),
        **kw,
    )
    reactions = [dict(R_WATER), dict(R_CO2), dict(R_HCO3)]
    return sp, reactions, ["EQUIL"] * 3, [dict(K_WATER), dict(K_CO2), dict(K_HCO3)], ["H2O", "CO2"]


def salt_system(**kw):
    """A salt NaHCO3 that dissociates completely (DISS), then the carbonate/water equilibria."""
    names = ["H2O", "NaHCO3", "Na+", "HCO3-", "H3O+", "OH-", "CO3--"]
    sp = Species(names, CHARGES, **kw)
    reactions = [{"NaHCO3": -1, "Na+": 1, "HCO3-": 1}, dict(R_WATER), dict(R_HCO3)]
    return (
        sp,
        reactions,
        ["DISS", "EQUIL", "EQUIL"],
        [None, dict(K_WATER), dict(K_HCO3)],
        ["H2O", "NaHCO3"],
    )


def mea_system(**kw):
    """MEA–CO2–water: 9 true species, 5 equilibria, CO2 a Henry component."""
    names = ["H2O", "MEA", "CO2", "MEAH+", "MEACOO-", "HCO3-", "CO3--", "H3O+", "OH-"]
    tau = kw.pop(
        "tau",
        {
            ("H2O", "MEA"): -1.0,
            ("MEA", "H2O"): 0.5,
            ("H2O", "CO2"): 3.0,
            ("CO2", "H2O"): -0.5,
            ("MEA", "CO2"): 1.0,
            ("CO2", "MEA"): 0.0,
        },
    )
    sp = Species(names, CHARGES, henry=("CO2",), tau=tau, **kw)
    reactions = [
        dict(R_WATER),
        dict(R_CO2),
        dict(R_HCO3),
        {"MEAH+": -1, "H2O": -1, "MEA": 1, "H3O+": 1},
        {"MEACOO-": -1, "H2O": -1, "MEA": 1, "HCO3-": 1},
    ]
    k = [dict(K_WATER), dict(K_CO2), dict(K_HCO3), dict(K_MEAH), dict(K_MEACOO)]
    return sp, reactions, ["EQUIL"] * 5, k, ["H2O", "MEA", "CO2"]


def model(system, *, antoine=None, henry=None, vc=None, options=None, **kw):
    """An Electrolyte of one of the systems above."""
    from velmora.brinequil import Electrolyte

    sp, reactions, kinds, k, apparent = system(**kw)
    return Electrolyte(sp, reactions, kinds, k, apparent, antoine, henry, vc, options)


# ---- parameter reports --------------------------------------------------------------------------


class FakeEngine(types.ModuleType):
    """Stands in for velmora.enginebridge (insert it into sys.modules) and records its calls."""

    def __init__(self, available=True, report="REPORT\nnone\n"):
        super().__init__("velmora.enginebridge")
        self.available, self.report, self.calls = available, report, []

    def engine_available(self):
        return self.available

    def input_header(self, aliases, method, henry=None, chemistry=None):
        self.calls.append(("input_header", dict(aliases), method, henry, chemistry))
        return "TITLE test"

    def run_input(self, text, runid="run"):
        self.calls.append(("run_input", text, runid))
        return (self.report, "run log")


NO_ENGINE = "the eNRTL parameters need the simulation engine once (not available here)"
ALIASES = {"Water": "H2O", "Carbon dioxide": "CO2"}
# Species deliberately not in the apparent order: a model's order is apparent first.
CARB = {
    "species": ["H3O+", "HCO3-", "H2O", "CO2"],
    "reactions": [R_CO2],
    "kinds": ["EQUIL"],
    "k": [K_CO2],
}


def raiser(exc):
    """A callable that raises exc whatever it is given."""

    def run(*args, **kwargs):
        raise exc

    return run


@pytest.fixture(scope="module")
def module_cache(tmp_path_factory):
    """A report cache of the module's own (the user's is never touched), the engine on."""
    with pytest.MonkeyPatch.context() as mp:
        d = tmp_path_factory.mktemp("local")
        mp.setenv("LOCALAPPDATA", str(d))
        mp.delenv("VELMORA_NO_ENGINE", raising=False)
        yield d / "Velmora" / "elec"


def module_systems(*names, **kw):
    """A module fixture {name: velmora.System(name, **kw)} on the module's own report cache."""

    @pytest.fixture(scope="module")
    def systems(module_cache):
        return {name: velmora.System(name, **kw) for name in names}

    return systems


@pytest.fixture
def report_cache(tmp_path, monkeypatch):
    """This test's own report cache (LOCALAPPDATA and HOME in tmp_path): the user's is never
    touched."""
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path / "local"))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    return tmp_path / "local" / "Velmora" / "elec"


@pytest.fixture
def engine(monkeypatch, report_cache):
    """A FakeEngine installed as velmora.enginebridge, writing into this test's report cache."""
    fake = FakeEngine()
    monkeypatch.setitem(sys.modules, "velmora.enginebridge", fake)
    return fake


def session_methods(monkeypatch, el):
    """The names of the methods the front door calls through ``el._session``, in order."""
    methods = []
    real = el._session
    monkeypatch.setattr(el, "_session", lambda w, m, *a: methods.append(m) or real(w, m, *a))
    return methods


def session_outcomes(monkeypatch, el, method):
    """The engine's outcome codes (the first item of the first result) of each call of
    ``method`` through ``el._session``, as they come; every call passes through unchanged."""
    outcomes = []
    real = el._session

    def session(w, m, *a):
        out = real(w, m, *a)
        if m == method:
            outcomes.append(out[0][0])
        return out

    monkeypatch.setattr(el, "_session", session)
    return outcomes


def engine_calls(monkeypatch, name, aside):
    """The calls of the engine's split ``velmora.flashes.<name>``: "engine" where it answered or
    refused, ``aside`` where it stepped aside (returned None: the loop then ran)."""
    from velmora import flashes

    calls = []
    real = getattr(flashes, name)

    def counted(*a):
        try:
            out = real(*a)
        except flashes._NoAnswer:
            calls.append("engine")
            raise
        calls.append("engine" if out is not None else aside)
        return out

    monkeypatch.setattr(flashes, name, counted)
    return calls


def loop_only(m):
    """The loop in Python for every split the engine would make: the check's fugacity_mismatch
    replaced by a wrapper of itself (the same function, called from Python), the switch the
    front door reads."""
    from velmora import checks

    real = checks.fugacity_mismatch
    m.setattr(checks, "fugacity_mismatch", lambda *a: real(*a))


# the engine splits' cases (tests/test_split_engine.py, tests/test_tp_split_engine.py): (chemistry,
# feed in mol, None for the seawater with its carbonate, P [Pa])
SPLIT_CASES = [
    ("CO2-H2O", {"H2O": 0.99, "CO2": 0.01}, 101325.0),
    ("NH3-CO2-H2O", {"H2O": 0.95, "NH3": 0.04, "CO2": 0.01}, 3e5),
    ("MEA-CO2-H2O", {"H2O": 0.88, "MEA": 0.1, "CO2": 0.02}, 3e5),
    ("MDEA-H2S-H2O", {"H2O": 0.9, "MDEA": 0.08, "H2S": 0.02}, 101325.0),
    ("NaCl-H2O", {"H2O": 0.95, "NaCl": 0.05}, 3e5),
    ("seawater-CO2-H2O", None, 101325.0),
]
