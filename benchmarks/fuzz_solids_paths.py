"""Fuzz of the front door where benchmarks/fuzz_front_door.py does not look: the solid-liquid
equilibrium, the vapor-liquid-solid flash, the brine paths, the derivatives of a liquid alone
and of a liquid with its solids, the derivatives of flashes with and without solids, and the
scaling temperature, over the chemistries with solids; and (class ``fluid_derivative``) the
derivatives of the two-phase flashes of every other chemistry.
Run by hand:

    .venv/bin/python benchmarks/fuzz_solids_paths.py [-n 400] [--seed 0] [CLASS ...]

Every answer is checked against quantities worked out apart from ``velmora.checks`` and
``velmora.solids``: the solids' ln Ksp from their databank records (A + B/T + C ln T + D T),
ln gamma from ``ionactivity.ln_gamma`` on the answer's true mole fractions (a fresh core model
of the System's report), elements from the formulas (tests/independent.py's parser), the
derivatives against Richardson central differences of independent calls. Prints per class:
cases, verified, raised (allowed: ConvergenceError, ValueError with a message), failed (by
kind), then the worst case of each kind with a line that reproduces it.
"""

import argparse
import collections
import math
import os
import random
import sys
import time
import types
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import independent as ind  # noqa: E402
import velmora  # noqa: E402
from velmora import ionactivity, paths  # noqa: E402
from velmora.enginebridge import databank  # noqa: E402

LN10 = math.log(10.0)
MW = 18.015  # g/mol of water (substances.toml)
SI_PRESENT = 1e-7  # |SI| of a present solid: ten times the front door's 1e-8
SI_GAS = 1e-4  # the same for a flash whose liquid dissolves gases (ten times 1e-5)
BALANCE = 1e-9  # element / charge imbalance relative to the feed's atoms
DERIV = 1e-4  # relative disagreement of a derivative with the differences

SOLID_CHEMS = [
    "NaCl-H2O",
    "KCl-H2O",
    "Na2SO4-H2O",
    "K2CO3-CO2-H2O",
    "NaOH-CO2-H2O",
    "NaCl-KCl-H2O",
    "CaSO4-NaCl-H2O",
    "CaSO4-Na2SO4-H2O",
    "CaCO3-CO2-H2O",
    "Na2CO3-CO2-H2O",
    "brine-H2O",
    "MgCl2-H2O",
    "MgSO4-H2O",
    "SrSO4-NaCl-H2O",
    "BaSO4-NaCl-H2O",
    "seawater-H2O",
    "seawater-CO2-H2O",
]
CLASSES = (
    "sle",
    "vls",
    "si",
    "evaporate",
    "mix",
    "profile",
    "analysis",
    "derivative",
    "sle_derivative",
    "flash_derivative",
    "vls_derivative",
    "fluid_derivative",
    "scaling",
)
# the chemistries of the class fluid_derivative: the two-phase flashes without solids of every
# other built-in chemistry (acid gases, ammonia, amines, the salts without a solid here)
FLUID_CHEMS = [c for c in velmora.chemistries() if c not in SOLID_CHEMS and c != "water"]


class Fail(Exception):
    pass


class _Kink(Exception):
    """A difference step crossed a phase boundary."""


# ------------------------------------------------------------------------------ references


class Ref(ind.Reference):
    """tests/independent.py's Reference with the solids' records read from the databank."""

    def __init__(self, chem):
        super().__init__(velmora.System(chem))
        self.el = self.fresh()
        recs = databank.table("solids")
        self.solids = {}
        for sid in self.system.solids.names:
            r = recs[sid]
            nu = np.zeros(len(self.names))
            for s, v in r["dissolution"].items():
                nu[self.pos[s]] = float(v)
            a = ind.atoms(r["formula"])
            e = np.array([a.get(x, 0) for x in self.elements], dtype=float)
            self.solids[sid] = (nu, tuple(float(r[k]) for k in "ABCD"), e)
        self.mw = np.array([databank.species(c)["molar_mass"] for c in self.components])

    def si(self, T, n, feed=None):
        """{solid: SI} of true amounts n (array over the species) at T, recomputed; -inf for a
        solid of an element (not H or O) that the feed {component: amount} lacks (without a
        feed: that the liquid holds only at the speciation's floor)."""
        x = np.asarray(n, dtype=float) / float(np.sum(n))
        lng = np.asarray(ionactivity.ln_gamma(self.el.sp, x, T, self.el.options), dtype=float)
        with np.errstate(divide="ignore"):
            lnx = np.log(x)
        # elements the liquid holds beyond the speciation's floor for an absent ion (about 1e-15
        # of the liquid): a solid of an element it lacks has SI -inf
        if feed is not None:
            z = np.array([feed.get(c, 0.0) for c in self.components])
            held = (np.abs(z) @ np.abs(self.E_app)) > 0.0
        else:
            held = np.abs(np.asarray(n, dtype=float) @ self.E_true) > 1e-13 * float(np.sum(n))
        out = {}
        for sid, (nu, (A, B, C, D), e) in self.solids.items():
            lacks = any(
                e[j] and not held[j] for j, x in enumerate(self.elements) if x not in ("H", "O")
            )
            if lacks:
                out[sid] = -math.inf
                continue
            on = nu != 0.0  # a path's molalities leave the dissociated salts out: x = 0
            out[sid] = float(
                (nu[on] @ (lnx[on] + lng[on]) - (A + B / T + C * math.log(T) + D * T)) / LN10
            )
        return out


REFS = {}


def ref_of(chem):
    if chem not in REFS:
        REFS[chem] = Ref(chem)
    return REFS[chem]


# ------------------------------------------------------------------------------ inputs


def brine(chem, rng):
    """{component: mol} with 1 kg of water, from dilute to well past saturation."""
    comps = velmora.System(chem).components if chem not in REFS else REFS[chem].components
    w = {"H2O": ind.WATER_KG}
    if chem.startswith("seawater"):
        f = rng.choice([rng.uniform(0.1, 3.0), rng.uniform(3.0, 15.0), rng.uniform(15.0, 60.0)])
        for k, v in velmora.seawater().items():
            w[k] = v * f * rng.uniform(0.5, 2.0)
        w["BaCl2"] = rng.choice([0.0, rng.uniform(0.0, 1e-5)]) * f
        if "CO2" in comps:
            w["Na2CO3"] = rng.uniform(0.0, 3e-3) * f
            w["NaHCO3"] = rng.uniform(0.0, 3e-3) * f
            w["CO2"] = rng.choice([0.0, rng.uniform(0.0, 0.01)])
        return w
    if chem in ("K2CO3-CO2-H2O", "Na2CO3-CO2-H2O", "CaCO3-CO2-H2O", "NaOH-CO2-H2O"):
        salt = chem.split("-")[0]
        top = {"CaCO3": 0.02, "NaOH": 6.0}.get(salt) or ind.salt_top(salt)
        w[salt] = rng.uniform(0.0, 1.5 * top)
        w["CO2"] = w[salt] * rng.uniform(0.0, 1.0) + rng.choice([0.0, rng.uniform(0.0, 0.3)])
        return w
    salts = [c for c in comps if c != "H2O"]
    scale = rng.choice([rng.uniform(0.0, 0.3), rng.uniform(0.3, 1.2), rng.uniform(1.0, 2.5)])
    for s in salts:
        top = {"CaSO4": 0.03, "SrSO4": 2e-3, "BaSO4": 3e-5}.get(s) or ind.salt_top(s)
        w[s] = rng.uniform(0.0, 1.0) * scale * top
    return w


def fmt(d):
    return "{" + ", ".join(f"{k!r}: {v!r}" for k, v in d.items()) + "}"


# ------------------------------------------------------------------------------ checks


def check_balance(ref, feed_app, n_liq, solids, vapor=None, what=""):
    """feed (apparent {c: amount}) = liquid (true amounts array) + solids {sid: amount}
    (+ vapor element vector); charge of the liquid 0."""
    z = np.array([feed_app.get(c, 0.0) for c in ref.components])
    e_feed = z @ ref.E_app
    out = np.asarray(n_liq, dtype=float) @ ref.E_true
    for sid, v in solids.items():
        out = out + v * ref.solids[sid][2]
    if vapor is not None:
        out = out + vapor
    scale = float(np.abs(e_feed).sum())
    d = np.abs(out - e_feed) / scale
    if not np.all(np.isfinite(d)) or d.max() > BALANCE:
        e = int(np.nanargmax(d))
        raise Fail(
            f"element balance{what}",
            d[e],
            f"{ref.elements[e]}: feed {e_feed[e]:.12g}, phases {out[e]:.12g}",
        )
    q = abs(float(np.asarray(n_liq) @ ref.charge)) / float(np.sum(n_liq))
    if q > BALANCE:
        raise Fail(f"charge balance{what}", q, f"net charge {q:.3g} per mol of liquid")


def si_close(a, b):
    """Two indices within SI_PRESENT, or both -inf (a solid of an element the liquid lacks)."""
    return a == b or abs(a - b) <= SI_PRESENT


def check_si(ref, T, n, present, tol=SI_PRESENT, reported=None, what="", feed=None):
    """Present solids at |SI| <= tol, absent ones at SI <= tol (recomputed); the reported
    indices equal to the recomputed ones."""
    si = ref.si(T, n, feed)
    check_hydrate_water(ref, np.asarray(n, dtype=float), what)
    for sid, v in si.items():
        if sid in present and not abs(v) <= tol:
            raise Fail(f"present solid off saturation{what}", abs(v), f"{sid} SI {v:.3g}")
        if sid not in present and not v <= tol:
            raise Fail(f"absent solid supersaturated{what}", v, f"{sid} SI {v:.3g}")
        if reported is not None and not si_close(reported[sid], v):
            raise Fail(
                f"reported SI{what}",
                abs(reported[sid] - v),
                f"{sid}: reported {reported[sid]:.9g}, recomputed {v:.9g}",
            )
    return si


def check_hydrate_water(ref, n, what=""):
    """A liquid that holds, in its free ions, the salt of a hydrate with less water per formula
    than the hydrate itself (its dissolution record), where no other solid takes the same ions
    with less water: the salt-rich side of the hydrate's solubility, no brine (MgCl2-H2O past
    bischofite's 6 waters)."""
    w = ref.pos["H2O"]
    ions = {sid: np.delete(nu, w) for sid, (nu, _, _) in ref.solids.items()}
    for sid, (nu, _, _) in ref.solids.items():
        on = [i for i in np.flatnonzero(nu > 0.0) if i != w]
        if not nu[w] > 0.0 or not on or np.any(nu < 0.0):
            continue
        lower = False
        for other, v in ions.items():
            r = float(v @ ions[sid]) / float(ions[sid] @ ions[sid])
            if other != sid and r > 0.0 and np.allclose(v, r * ions[sid]):
                lower = lower or ref.solids[other][0][w] < r * nu[w]
        units = min(n[i] / nu[i] for i in on)
        if not lower and units > 0.0 and n[w] < nu[w] * units:
            raise Fail(
                f"liquid past a hydrate's water{what}",
                float(nu[w] - n[w] / units),
                f"{n[w] / units:.4g} mol of water per formula of {sid} ({nu[w]:g} in it)",
            )


def check_nonneg(n, solids, what=""):
    if np.min(n) < 0.0:
        raise Fail(f"negative species{what}", -float(np.min(n)), "")
    bad = {k: v for k, v in solids.items() if not v > 0.0}
    if bad:
        raise Fail(f"solid not positive{what}", -min(bad.values()), f"{bad}")


def state_n(ref, st):
    return np.array([st.amounts[s] for s in ref.names])


# ------------------------------------------------------------------------------ classes


def case_sle(chem, rng):
    ref = ref_of(chem)
    feed = brine(chem, rng)
    T = rng.choice(
        [rng.uniform(273.15, 373.15), rng.uniform(273.15, 283.15), rng.uniform(363.15, 420.0)]
    )
    if rng.random() < 0.3:
        # a liquid at its solids' saturation as the feed: the dissolved part of an answer
        try:
            st = ref.system.liquid(T, feed, solids=True)
            if st.solids:
                feed = {
                    c: v * rng.choice([1.0, 1.0 + 1e-9, 1.0 - 1e-9]) if c == "H2O" else v
                    for c, v in st.apparent.items()
                }
        except ALLOWED:
            pass
    repro = f"velmora.System({chem!r}).liquid({T!r}, {fmt(feed)}, solids=True)"

    def run():
        st = ref.system.liquid(T, feed, solids=True)
        return st, (tuple(st.amounts.values()), tuple(st.solids.values()))

    k = rng.choice([1e-3, 7.0, 1000.0])
    how = rng.choice(["amounts", "molalities", "mass_fractions"])
    return repro, run, lambda st: _sle_checks(ref, st, feed, T, k, how)


def _sle_checks(ref, st, feed, T, k, how):
    n = state_n(ref, st)
    check_nonneg(n, st.solids)
    low = min(st.apparent.values())
    if low < 0.0:  # the dissolved part as reported: no component below 0
        raise Fail("negative apparent", -low, f"{st.apparent}")
    check_balance(ref, feed, n, st.solids)
    check_si(ref, T, n, st.solids, reported=st.saturation_indices, feed=feed)
    # the same liquid in another unit or form: the same solids, in that unit
    if how == "amounts":
        other, scale = ref.system.liquid(T, {c: v * k for c, v in feed.items()}, solids=True), k
    elif how == "molalities":
        kg = feed["H2O"] * MW / 1000.0
        other = ref.system.liquid(
            T, molalities={c: v / kg for c, v in feed.items() if c != "H2O"}, solids=True
        )
        scale = 1.0 / kg * other.feed["H2O"] * MW / 1000.0
    else:
        mass = {c: v * ref.mw[ref.components.index(c)] for c, v in feed.items()}
        tot = sum(mass.values())
        other = ref.system.liquid(
            T, mass_fractions={c: m / tot for c, m in mass.items()}, solids=True
        )
        scale = other.feed["H2O"] / feed["H2O"]
    # relative, and to the balance's rounding of the feed for a trace of a solid (a liquid at
    # its saturation may leave 1e-15 of one in one form and none in the other)
    for sid in set(st.solids) | set(other.solids):
        v, w = st.solids.get(sid, 0.0) * scale, other.solids.get(sid, 0.0)
        if not abs(w - v) <= 1e-7 * v + 1e-12 * sum(feed.values()) * scale:
            raise Fail(
                f"solid amount given as {how}",
                abs(w - v) / max(v, w),
                f"{sid}: {v:.12g} expected, {w:.12g}",
            )


def case_si(chem, rng):
    ref = ref_of(chem)
    feed = brine(chem, rng)
    T = rng.uniform(273.15, 450.0)
    repro = f"velmora.System({chem!r}).liquid({T!r}, {fmt(feed)})"

    def run():
        st = ref.system.liquid(T, feed)
        return st, tuple(st.saturation_indices.values())

    def check(st):
        n = state_n(ref, st)
        si = ref.si(T, n, feed)
        for sid, v in si.items():
            r = st.saturation_indices[sid]
            if not si_close(r, v):
                raise Fail(
                    "reported SI", abs(r - v), f"{sid}: reported {r:.9g}, recomputed {v:.9g}"
                )
        # the molal convention of the docs: log10 of the molal IAP over Km
        lk = ref.system.solids.log10_ksp(T)
        for sid in ref.solids:
            if si[sid] == -math.inf:  # its ion at the speciation's floor: no activity to check
                continue
            s = 0.0
            for sp, v in databank.table("solids")[sid]["dissolution"].items():
                s += v * math.log10(st.water_activity if sp == "H2O" else st.activity[sp])
            if not abs(s - lk[sid] - si[sid]) <= 1e-7:
                raise Fail(
                    "molal SI",
                    abs(s - lk[sid] - si[sid]),
                    f"{sid}: from activities {s - lk[sid]:.9g}, recomputed {si[sid]:.9g}",
                )

    return repro, run, check


def case_vls(chem, rng):
    ref = ref_of(chem)
    feed = brine(chem, rng)
    P = rng.choice([101325.0, rng.uniform(0.2e5, 5e5)])
    kind = rng.choice(["T", "vf", "H", "S"])
    val = rng.uniform(300.0, 440.0) if kind != "vf" else rng.choice([0.0, rng.uniform(0.0, 0.9)])
    kw = {"T": val} if kind == "T" else {"vapor_fraction": val}
    arg = f"T={val!r}" if kind == "T" else f"vapor_fraction={val!r}"
    if kind in ("H", "S"):
        arg = f"{kind}=s.flash(f, {P!r}, T={val!r}, solids=True).{kind}"
        repro = (
            f"s = velmora.System({chem!r}); f = {fmt(feed)}; s.flash(f, {P!r}, {arg}, solids=True)"
        )
    else:
        repro = f"velmora.System({chem!r}).flash({fmt(feed)}, {P!r}, {arg}, solids=True)"
    target = {}

    def run():
        if kind in ("H", "S"):
            r0 = ref.system.flash(feed, P, T=val, solids=True)
            target[kind], target["T"] = getattr(r0, kind), r0.T
            try:
                r = ref.system.flash(feed, P, solids=True, **{kind: target[kind]})
            except ALLOWED as e:  # the flash at T answered: a raise hides that answer
                raise Fail(
                    f"raised although the flash at T has that {kind}", math.inf, repr(e)
                ) from e
            return r, (r.T, r.vapor_fraction, r.H, tuple(r.x.values()), tuple(r.solids.values()))
        try:
            r = ref.system.flash(feed, P, solids=True, **kw)
        except velmora.NoSolutionError as e:
            if "boils dry" in str(e) and not dry_state(ref, feed, val if kind == "vf" else None):
                raise Fail(
                    "'boils dry' where no solids beside the vapor carry the feed",
                    math.inf,
                    str(e)[:200],
                ) from e
            raise
        return r, (
            r.T,
            r.vapor_fraction,
            r.H,
            tuple(r.x.values()),
            tuple(r.vapor.values()),
            tuple(r.solids.values()),
        )

    def check(r):
        total = sum(feed.values())
        zf = {c: v / total for c, v in feed.items()}
        beta = r.vapor_fraction
        if not (0.0 <= beta <= 1.0):
            raise Fail("vapor fraction outside [0, 1]", abs(beta), f"{beta}")
        if kind == "T" and r.T != val:
            raise Fail("T target", abs(r.T - val), f"{r.T}")
        if kind == "vf" and not abs(beta - val) <= 1e-6:
            raise Fail("vapor fraction target", abs(beta - val), f"{beta} for {val}")
        if kind in ("H", "S"):
            got, want = getattr(r, kind), target[kind]
            floor = 1e4 if kind == "H" else 10.0  # J/mol, J/(mol K)
            if not abs(got - want) <= 1e-6 * max(abs(want), floor):
                raise Fail(f"{kind} target", abs(got - want), f"{kind} {got} for {want}")
            # below the bubble point H and S rise with T: only the first flash's T has them
            if beta == 0.0 and abs(r.T - target["T"]) > 1e-4:
                raise Fail(
                    f"T of an {kind} flash",
                    abs(r.T - target["T"]),
                    f"T {r.T:.9g} for the {kind} of {target['T']:.9g} K",
                )
        y = np.array([r.vapor[c] for c in ref.components])
        n = np.array([r.liquid.amounts[s] for s in ref.names])
        check_nonneg(n, r.solids)
        # liquid amount L per mol of feed: the one scalar that closes the balance
        e_rest = np.array([zf.get(c, 0.0) for c in ref.components]) @ ref.E_app - beta * (
            y @ ref.E_app
        )
        for sid, v in r.solids.items():
            e_rest = e_rest - v * ref.solids[sid][2]
        e_l = n @ ref.E_true
        L = float(e_l @ e_rest / (e_l @ e_l))
        if L < -1e-12:
            raise Fail("negative liquid", -L, "")
        check_balance(ref, zf, L * n, r.solids, beta * (y @ ref.E_app))
        tol = SI_GAS if ref.system.henry else SI_PRESENT
        check_si(ref, r.T, n, r.solids, tol)
        # vapor-liquid equilibrium of the volatile components
        if 0.0 < beta < 1.0:
            _, f = ind._liquid_checks(
                ref, ref.fresh(), r.T, np.array([r.x[c] for c in ref.components]), r.liquid
            )
            for c, fl in f.items():
                k = ref.components.index(c)
                if abs(fl - y[k] * P) / P > 1e-5:
                    raise Fail(
                        "f_L != y P",
                        abs(fl - y[k] * P) / P,
                        f"{c}: f_L {fl:.9g}, y P {y[k] * P:.9g}",
                    )

    return repro, run, check


def dry_state(ref, feed, beta=None):
    """Whether solids (atoms from their formulas) beside a vapor of the chemistry's volatile
    components, ``beta`` mol per mol of feed of it (None: any amount), carry the feed's atoms:
    a linear feasibility problem on the elements, the condition of any 'boils dry'."""
    from scipy.optimize import linprog

    total = sum(feed.values())
    want = np.array([feed.get(c, 0.0) / total for c in ref.components]) @ ref.E_app
    vol = [k for k, c in enumerate(ref.components) if c in ref.system._info.volatile]
    cols = [e for _, _, e in ref.solids.values()] + [ref.E_app[k] for k in vol]
    A = np.array(cols).T
    b = want
    if beta is not None:
        A = np.vstack([A, [0.0] * len(ref.solids) + [1.0] * len(vol)])
        b = np.concatenate([want, [beta]])
    out = linprog(np.zeros(A.shape[1]), A_eq=A, b_eq=b, bounds=(0.0, None), method="highs")
    return out.status != 2


def _path_points(ref, path, k):
    """(true amounts array, solids {sid: amount}) of point k of a path, from its molalities and
    water (the dissociated salts, left out, at the speciation's floor)."""
    water = float(path.water[k])
    kg = water * MW / 1000.0
    n = np.zeros(len(ref.names))
    for s, m in path.molality.items():
        n[ref.pos[s]] = m[k] * kg
    n[ref.pos["H2O"]] = water
    return n, {sid: float(v[k]) for sid, v in path.solids.items() if v[k] != 0.0}


def _path_digits(path):
    return tuple(
        np.concatenate(
            [
                np.ravel(v)
                for v in (
                    list(path.solids.values())
                    + list(path.molality.values())
                    + list(path.saturation_indices.values())
                    + [path.water]
                )
            ]
        ).tolist()
    )


def case_evaporate(chem, rng):
    ref = ref_of(chem)
    feed = brine(chem, rng)
    feed = {k: v * 0.5 for k, v in feed.items()}  # half, so that the path has some way
    T = rng.uniform(273.15, 373.15)
    npts = rng.randint(3, 12)
    top = rng.uniform(0.5, 0.97)
    removed = sorted({round(rng.uniform(0.0, top), 6) for _ in range(npts)} | {0.0})
    fractional = rng.random() < 0.3
    repro = (
        f"paths.evaporate(velmora.System({chem!r}), {fmt(feed)}, {T!r}, {removed!r}, "
        f"fractional={fractional})"
    )

    def run():
        p = paths.evaporate(ref.system, feed, T, removed, fractional=fractional)
        return p, (_path_digits(p), tuple(p.appears.items()), tuple(p.dissolves.items()))

    def check(p):
        w0 = feed["H2O"]
        if not np.allclose(p.water_removed, np.array(removed) * w0, rtol=1e-14, atol=0.0) or np.any(
            np.diff(p.water_removed) <= 0.0
        ):
            raise Fail("water removed", 1.0, f"{p.water_removed}")
        for k, r in enumerate(removed):
            n, held = _path_points(ref, p, k)
            if fractional:
                # the step's solids: what came out since the last point; the liquid before
                step = {
                    sid: float(p.precipitated[sid][k])
                    for sid in p.solids
                    if p.precipitated[sid][k] != 0.0
                }
                if any(v < 0.0 for v in step.values()):
                    raise Fail("fractional step dissolves", 1.0, f"point {k}: {step}")
                f_k = dict(feed, H2O=w0 * (1.0 - r))
                check_balance(ref, f_k, n, held, what=" (fractional)")
                present = step
            else:
                for sid, v in held.items():
                    if not v > 0.0:
                        raise Fail("solid not positive", -v, f"point {k}: {sid} {v}")
                check_balance(ref, dict(feed, H2O=w0 * (1.0 - r)), n, held)
                present = held
            rep = {sid: float(v[k]) for sid, v in p.saturation_indices.items()}
            check_si(ref, T, n, present, reported=rep, what=f" (point {k})", feed=feed)
        if not fractional:
            small = 1e-9 * sum(feed.values())

            def at_zero(sid, a, amt, kind):
                """The liquid at a fraction a of the water removed: the solid sid at SI 0 and
                an amount of 0 (beside the largest it reaches on the path)."""
                st = ref.system.liquid(T, dict(feed, H2O=w0 * (1.0 - a)), solids=True)
                si = ref.si(T, state_n(ref, st), feed)[sid]
                if not abs(si) <= 1e-6 or st.solids.get(sid, 0.0) > 1e-6 * max(amt) + small:
                    raise Fail(
                        kind,
                        abs(si),
                        f"{sid} at {a}: SI {si:.3g}, amount {st.solids.get(sid, 0.0):.3g}",
                    )

            for sid, a in p.appears.items():
                before = [k for k, r in enumerate(removed) if r < a]
                after = [k for k, r in enumerate(removed) if r >= a]
                amt = p.solids.get(sid, np.zeros(len(removed)))
                # present at the first point after, unless it dissolved again before it
                gone = p.dissolves.get(sid, math.inf)
                if any(amt[k] != 0.0 for k in before) or (
                    after and not amt[after[0]] > 0.0 and not a < gone < removed[after[0]]
                ):
                    raise Fail("appears off the path's points", 1.0, f"{sid} at {a}: {amt}")
                if a > removed[0]:
                    at_zero(sid, a, amt, "appears not where the solid saturates")
            # where a solid dissolves again its amount has come down to 0 at SI 0
            for sid, a in p.dissolves.items():
                amt = p.solids.get(sid, np.zeros(1))  # it may come and go between points
                at_zero(sid, a, amt, "dissolves not where the solid is used up")

    return repro, run, check


def case_mix(chem, rng):
    ref = ref_of(chem)
    a, b = brine(chem, rng), brine(chem, rng)
    T = rng.uniform(273.15, 373.15)
    fr = sorted({round(rng.uniform(0.0, 1.0), 6) for _ in range(rng.randint(2, 8))} | {0.0, 1.0})
    solids = rng.random() < 0.6
    repro = (
        f"paths.mix(velmora.System({chem!r}), {fmt(a)}, {fmt(b)}, {T!r}, {fr!r}, solids={solids})"
    )

    def run():
        m = paths.mix(ref.system, a, b, T, fr, solids=solids)
        return m, _path_digits(m)

    def check(m):
        mass = {}
        for name, br in (("a", a), ("b", b)):
            mass[name] = sum(v * ref.mw[ref.components.index(c)] for c, v in br.items()) / 1000.0
        for k, f in enumerate(fr):
            feed = {
                c: (1.0 - f) * a.get(c, 0.0) / mass["a"] + f * b.get(c, 0.0) / mass["b"]
                for c in ref.components
            }
            n, held = _path_points(ref, m, k)
            check_balance(ref, feed, n, held, what=f" (point {k})")
            rep = {sid: float(v[k]) for sid, v in m.saturation_indices.items()}
            if solids:
                check_si(ref, T, n, held, reported=rep, what=f" (point {k})", feed=feed)
            else:
                for sid, v in ref.si(T, n, feed).items():
                    if not si_close(rep[sid], v):
                        raise Fail("reported SI", abs(rep[sid] - v), f"{sid} point {k}")

    return repro, run, check


def case_profile(chem, rng):
    ref = ref_of(chem)
    feed = brine(chem, rng)
    Ts = [rng.uniform(273.15, 440.0) for _ in range(rng.randint(2, 6))]
    P = rng.choice([None, None, 101325.0, rng.uniform(2e5, 20e5)])
    repro = f"paths.profile(velmora.System({chem!r}), {fmt(feed)}, {Ts!r}, {P!r})"

    def run():
        p = paths.profile(ref.system, feed, Ts, P)
        return p, (_path_digits(p), tuple(p.vapor_fraction.tolist()))

    def check(p):
        for k, T in enumerate(Ts):
            n, held = _path_points(ref, p, k)
            if p.vapor_fraction[k] == 0.0:
                check_balance(ref, feed, n, held, what=f" (point {k})")
            rep = {sid: float(v[k]) for sid, v in p.saturation_indices.items()}
            tol = SI_GAS if (ref.system.henry and p.vapor_fraction[k] > 0.0) else SI_PRESENT
            check_si(ref, T, n, held, tol, reported=rep, what=f" (point {k})", feed=feed)

    return repro, run, check


QUANTS = ("amounts", "ln_gamma", "molality", "pH", "saturation_indices", "partial_pressures", "H")


def _vec(st, q, keys):
    v = getattr(st, q)
    if isinstance(v, dict):
        return np.array([v[k] for k in keys], dtype=float)
    return np.array([float(v)])


def _compare(ref, feed, q, wrt, keys, dv, v0, d1, d2, h, prefix="", floor=0.0):
    """Fail where the exact derivatives dv of q (keys: its entries) with respect to wrt differ
    from the Richardson differences of d1 (step h) and d2 (h/2) beyond the differences' own
    error and noise; v0 the values at the point, ``prefix`` of the failure's kind, ``floor``
    an absolute noise of the values."""
    rich = (4.0 * d2 - d1) / 3.0
    est = np.abs(d2 - d1)
    # an index of -inf (a solid of an element the feed lacks; allowed for below) leaves its
    # differences NaN: the scales are those of the finite entries
    fin = np.isfinite(rich)
    scale = float(np.max(np.abs(rich[fin]))) if fin.any() else 0.0
    err = np.abs(dv - rich)
    # the differences' own noise: the speciation's digits (1e-9 of the values) over h
    a0 = np.where(np.isfinite(v0), np.abs(v0), 0.0)
    noise = (1e-9 * (a0 + float(np.max(a0))) + floor) / h
    allowed = DERIV * np.abs(rich) + 1e-6 * scale + 10.0 * est + noise + 1e-300
    # a species or solid of an element the feed lacks sits at the speciation's floor, as do
    # the undissociated salts: their amounts and indices are artifacts of the floor
    if keys is not None:
        for i, k in enumerate(keys):
            if k in ref.system._info.salts:
                allowed[i] = np.inf
        have = {
            e for c, v in feed.items() if v > 0.0 for e in ind.atoms(databank.species(c)["formula"])
        }
        for i, k in enumerate(keys):
            f = (
                databank.table("solids")[k]["formula"]
                if k in ref.solids
                else databank.species(k)["formula"]
                if k in ref.pos
                else None
            )
            if f is not None and not set(ind.atoms(f)) <= have:
                allowed[i] = np.inf
    bad = np.flatnonzero(~(err <= allowed) & np.isfinite(allowed))  # (NaN differences of -inf)
    if bad.size:
        i = int(bad[np.argmax((err / allowed)[bad])])
        name = keys[i] if keys else q
        raise Fail(
            f"{prefix}d {q} / d {'T' if wrt == 'T' else 'amount'}",
            float(err[i] / (abs(rich[i]) + 1e-300)),
            f"{name}: exact {dv[i]:.9g}, differences {rich[i]:.9g} (+- {est[i]:.2g})",
        )


def _differences(D, h, tries, shrink):
    """(D(h), D(h/2), h) at the first step h (divided by ``shrink`` at most ``tries`` times)
    whose solves stay on the answer's side of every phase boundary; None where none does or a
    solve raised."""
    for _ in range(tries):
        try:
            return D(h), D(h / 2.0), h
        except _Kink:
            h /= shrink
        except ALLOWED:
            return None
    return None


def _derivative_of(st, q, wrt):
    """((st, keys, d q / d wrt as an array), its values as a tuple) of a state or result."""
    d = st.derivative(q, wrt)
    keys = list(d) if isinstance(d, dict) else None
    dv = np.array([d[k] for k in keys]) if keys else np.array([float(d)])
    return (st, keys, dv), tuple(dv.tolist())


def case_derivative(chem, rng):
    ref = ref_of(chem)
    region = rng.choice(["dilute", "strong", "cold", "hot", "any"])
    feed = brine(chem, rng)
    if region == "dilute":
        feed = {c: (v if c == "H2O" else v * rng.choice([1e-3, 1e-5])) for c, v in feed.items()}
    elif region == "strong":
        feed = {c: (v if c == "H2O" else v * 2.0) for c, v in feed.items()}
    T = {"cold": rng.uniform(273.15, 274.0), "hot": rng.uniform(440.0, 470.0)}.get(
        region, rng.uniform(280.0, 420.0)
    )
    wrt = rng.choice(["T"] + [c for c in ref.components if feed.get(c, 0.0) > 0.0])
    q = rng.choice(QUANTS)
    repro = f"velmora.System({chem!r}).liquid({T!r}, {fmt(feed)}).derivative({q!r}, {wrt!r})"

    def at(h):
        if wrt == "T":
            return ref.system.liquid(T + h, feed)
        return ref.system.liquid(T, dict(feed, **{wrt: feed[wrt] + h}))

    def run():
        return _derivative_of(ref.system.liquid(T, feed), q, wrt)

    def check(got):
        st, keys, dv = got
        # a thousandth of the component: a trace's indices move by 1/amount (the differences'
        # noise in the quantities that hardly move with it is allowed for below)
        h = 0.01 if wrt == "T" else 1e-3 * feed[wrt]
        central = wrt == "T" or feed[wrt] > 2.0 * h

        def D(h):
            if central:
                return (_vec(at(h), q, keys) - _vec(at(-h), q, keys)) / (2.0 * h)
            return (-3.0 * v0 + 4.0 * _vec(at(h), q, keys) - _vec(at(2.0 * h), q, keys)) / (2.0 * h)

        v0 = _vec(st, q, keys)
        d1, d2 = D(h), D(h / 2.0)
        _compare(ref, feed, q, wrt, keys, dv, v0, d1, d2, h)

    return repro, run, check


def case_sle_derivative(chem, rng):
    """A liquid in equilibrium with the solids it holds (a brine past saturation at T); d (a
    quantity of the liquid or the solids' amounts) / d (T, a component of the feed), against
    differences of solid-liquid equilibria whose solids are the same (a step that changes them
    crossed a phase boundary and is made smaller)."""
    ref = ref_of(chem)
    feed = brine(chem, rng)
    T = rng.uniform(275.0, 370.0)
    for _ in range(4):  # concentrated until something comes out
        try:
            if ref.system.liquid(T, feed, solids=True).solids:
                break
        except ALLOWED:
            break
        feed = {c: (v if c == "H2O" else 2.0 * v) for c, v in feed.items()}
    wrt = rng.choice(["T"] + [c for c in ref.components if feed.get(c, 0.0) > 0.0])
    q = rng.choice(QUANTS + ("solids",))
    repro = (
        f"velmora.System({chem!r}).liquid({T!r}, {fmt(feed)}, solids=True)"
        f".derivative({q!r}, {wrt!r})"
    )
    state = {}

    def at(h):
        if wrt == "T":
            return ref.system.liquid(T + h, feed, solids=True)
        return ref.system.liquid(T, dict(feed, **{wrt: feed[wrt] + h}), solids=True)

    def value(st, keys):
        if q == "solids":
            return np.array([st.solids.get(k, 0.0) for k in keys])
        return _vec(st, q, keys)

    def run():
        st = ref.system.liquid(T, feed, solids=True)
        if q == "solids" and not st.solids:
            raise ValueError("no solids: nothing to differentiate")  # counted as raised
        state["solids"] = set(st.solids)
        return _derivative_of(st, q, wrt)

    def check(got):
        st, keys, dv = got
        v0 = value(st, keys)

        def same(h):
            r = at(h)
            if set(r.solids) != state["solids"]:
                raise _Kink
            return value(r, keys)

        def D(h):
            if wrt == "T" or feed[wrt] > 2.0 * h:
                return (same(h) - same(-h)) / (2.0 * h)
            return (-3.0 * v0 + 4.0 * same(h) - same(2.0 * h)) / (2.0 * h)

        got = _differences(D, 0.01 if wrt == "T" else 1e-3 * feed[wrt], 8, 8.0)
        if got is None:
            return
        d1, d2, h = got
        # a present solid's SI is 0 to the solve's digits (about 1e-13), not to rounding
        floor = 1e-12 if q == "saturation_indices" else 0.0
        _compare(ref, feed, q, wrt, keys, dv, v0, d1, d2, h, "solids: ", floor)

    return repro, run, check


TIGHT = {}  # chemistry: its System at a tolerance of 1e-9


def case_flash_derivative(chem, rng, solids=False, fluid=False):
    """A two-phase TP flash of a brine (with its CO2 where the chemistry has one), its T from a
    flash at a drawn vapor fraction; d (vapor fraction, x, vapor) / d (T, P, a component).
    ``solids``: the vapor-liquid-solid flash of a brine past saturation, and d (the solids'
    amounts) too, against flashes holding the same solids; on a System of tolerance 1e-9 (a
    flash with solids verifies their SI to ten times the tolerance where the liquid dissolves a
    gas: at the default, differences of flashes carry that)."""
    ref = ref_of(chem)
    if solids:
        if chem not in TIGHT:
            TIGHT[chem] = velmora.System(chem, tol=1e-9)
        ref = types.SimpleNamespace(system=TIGHT[chem], components=ref.components)
    # ``fluid``: a feed of tests/independent.py's draws (a loaded amine, an ammonia water)
    feed = ind.feed(chem, rng)[0] if fluid else brine(chem, rng)
    total = sum(feed.values())
    feed = {c: v / total for c, v in feed.items()}
    P = rng.choice([101325.0, rng.uniform(0.3e5, 10e5)])
    vf = rng.choice([rng.uniform(0.01, 0.9), rng.uniform(1e-4, 1e-2)])
    for _ in range(3 if solids else 0):  # concentrated until something comes out
        try:
            T = ref.system.flash(feed, P, vapor_fraction=vf, solids=True).T
            if ref.system.flash(feed, P, T=T, solids=True).solids:
                break
        except ALLOWED:
            break
        feed = {c: (v if c == "H2O" else 2.0 * v) for c, v in feed.items()}
        total = sum(feed.values())
        feed = {c: v / total for c, v in feed.items()}
    q = rng.choice(["vapor_fraction", "x", "vapor"] + (["solids"] * 2 if solids else []))
    wrt = rng.choice(["T", "P"] + [c for c in ref.components if feed.get(c, 0.0) > 0.0])
    state = {}

    def run():
        T = ref.system.flash(feed, P, vapor_fraction=vf, solids=solids).T
        r = ref.system.flash(feed, P, T=T, solids=solids)
        if solids and not r.solids:
            raise ValueError("no solids: a two-phase flash (the class without solids)")
        state["T"], state["solids"] = T, set(r.solids) if solids else set()
        return _derivative_of(r, q, wrt)

    repro = (
        f"s = velmora.System({chem!r}{', tol=1e-9' if solids else ''}); f = {fmt(feed)}; "
        f"s.flash(f, {P!r}, T=s.flash(f, {P!r}, vapor_fraction={vf!r}, solids={solids}).T, "
        f"solids={solids}).derivative({q!r}, {wrt!r})"
    )

    def value(r, keys):
        v = getattr(r, q)
        if q == "solids":
            return np.array([v.get(k, 0.0) for k in keys])
        return np.array([v[k] for k in keys]) if keys else np.array([float(v)])

    def check(got):
        r, keys, dv = got
        T = state["T"]

        def at(h):
            if wrt == "T":
                return ref.system.flash(feed, P, T=T + h, solids=solids)
            if wrt == "P":
                return ref.system.flash(feed, P + h, T=T, solids=solids)
            # per mol added to the mol of feed: the feed grows, the answer is per mol of it
            return ref.system.flash(dict(feed, **{wrt: feed[wrt] + h}), P, T=T, solids=solids)

        h = {"T": 1e-3, "P": 1e-4 * P}.get(wrt, 1e-4)
        v0 = value(r, keys)

        def two(h):
            r = at(h)
            if not 0.0 < r.vapor_fraction < 1.0 or (solids and set(r.solids) != state["solids"]):
                raise _Kink
            return value(r, keys)

        def D(h):
            if wrt in ("T", "P") or feed[wrt] > 2.0 * h:
                return (two(h) - two(-h)) / (2.0 * h)
            return (-3.0 * v0 + 4.0 * two(h) - two(2.0 * h)) / (2.0 * h)

        got = _differences(D, h, 12, 4.0)  # steps that stay in the two-phase region
        if got is None:
            return
        d1, d2, h = got
        rich = (4.0 * d2 - d1) / 3.0
        est = np.abs(d2 - d1)
        noise = 1e-9 * (np.abs(v0) + float(np.max(np.abs(v0)))) / h
        if solids and wrt != "T" and "H2O" in r.x:
            # each flash meets its fugacities to the tolerance, as if its T were off by tol / (d
            # ln p_H2O / d T) (the liquid's, by differences of 0.01 K): near a salt's boiling
            # point that moves the values by |d v / d T| times it (halite, brine and vapor
            # with a trace of barium at 1 atm: d vapor fraction / d T 8.7e3 per K)
            lo, hi = (
                ref.system.liquid(r.T + d, r.x).partial_pressures["H2O"] for d in (-0.01, 0.01)
            )
            dT = _derivative_of(r, q, "T")[0][2]
            noise = noise + np.abs(dT) * ref.system.tol / abs(math.log(hi / lo) / 0.02) / h
        allowed = 1e-3 * np.abs(rich) + 1e-5 * float(np.max(np.abs(rich))) + 10.0 * est + noise
        bad = np.flatnonzero(~(np.abs(dv - rich) <= allowed))
        if bad.size:
            i = int(bad[np.argmax((np.abs(dv - rich) / allowed)[bad])])
            raise Fail(
                f"{'vls ' if solids else ''}flash d {q} / d "
                f"{'component' if wrt not in ('T', 'P') else wrt}",
                float(abs(dv[i] - rich[i]) / (abs(rich[i]) + 1e-300)),
                f"{keys[i] if keys else q}: exact {dv[i]:.9g}, differences {rich[i]:.9g} "
                f"(+- {est[i]:.2g}; vapor fraction {r.vapor_fraction:.4g})",
            )

    return repro, run, check


def case_analysis(chem, rng):
    """``paths.brine`` of an ion analysis, balanced on one ion: the salts carry the ions'
    elements, and the ions balanced carry no charge."""
    ref = ref_of(chem)
    ions = [s for s, q in zip(ref.names, ref.charge) if q != 0.0 and s not in ("H3O+", "OH-")]
    an = {
        s: rng.choice([0.0, rng.uniform(0.0, 2.0), 10.0 ** rng.uniform(-8.0, -2.0)]) for s in ions
    }
    an = {s: v for s, v in an.items() if v > 0.0}
    excess = sum(ref.charge[ref.pos[s]] * v for s, v in an.items())
    side = [s for s in ions if ref.charge[ref.pos[s]] * excess < 0.0] or ions
    bal = rng.choice(side)
    repro = f"paths.brine(velmora.System({chem!r}), {fmt(an)}, balance={bal!r})"

    def run():
        b = paths.brine(ref.system, an, balance=bal)
        return b, (tuple(b.amounts.items()), tuple(b.adjusted.items()))

    def check(b):
        got = dict(an)
        got[bal] = got.get(bal, 0.0) + b.adjusted.get(bal, 0.0)
        if min(got.values()) < 0.0:
            raise Fail("negative ion after the balance", -min(got.values()), f"{got}")
        q = sum(ref.charge[ref.pos[s]] * v for s, v in got.items())
        carried = sum(abs(ref.charge[ref.pos[s]]) * v for s, v in got.items())
        if abs(q) > 1e-12 * carried:
            raise Fail("analysis not balanced", abs(q) / carried, f"{q:.3g} eq/kg")
        n = np.zeros(len(ref.names))
        for sp, v in got.items():
            n[ref.pos[sp]] = v
        n[ref.pos["H2O"]] = ind.WATER_KG
        e_ions = n @ ref.E_true
        e_salts = np.array([b.amounts.get(c, 0.0) for c in ref.components]) @ ref.E_app
        d = np.abs(e_ions - e_salts)
        # per element, relative to the element's own amount: a trace ion is not lost (to 1e-8:
        # the combination is solved to 1e-9 of the largest ion's invariants)
        rel = d / np.maximum(np.abs(e_ions), 1e-300)
        if np.any(rel > 1e-8):
            e = int(np.argmax(rel))
            raise Fail(
                "salts do not carry the ions",
                float(rel[e]),
                f"{ref.elements[e]}: ions {e_ions[e]:.12g}, salts {e_salts[e]:.12g}",
            )
        if any(v < 0.0 for v in b.amounts.values()):
            raise Fail("negative salt", 1.0, f"{b.amounts}")

    return repro, run, check


def case_scaling(chem, rng):
    ref = ref_of(chem)
    feed = brine(chem, rng)
    T_min = rng.uniform(273.15, 320.0)
    T_max = rng.uniform(T_min + 20.0, 473.15)
    # an undersaturated liquid at T_min, its salts diluted until it is (a choice of input only)
    for _ in range(30):
        try:
            si = ref.system.liquid(T_min, feed).saturation_indices
        except ALLOWED:
            break
        top = max(si.values(), default=-1.0)
        if top < -rng.uniform(0.0, 0.5):
            break
        feed = {
            c: (v if c == "H2O" else v * 10.0 ** (-0.5 * max(top, 0.1))) for c, v in feed.items()
        }
    if rng.random() < 0.4:
        # a liquid saturated at a T inside the range, a little diluted: its indices reach 0
        # near there, or only touch it
        Ts = rng.uniform(T_min + 1.0, T_max)
        try:
            st = ref.system.liquid(Ts, brine(chem, rng), solids=True)
            if st.solids and min(st.apparent.values()) >= 0.0:
                d = rng.choice([0.0, 1e-6, 1e-4, 1e-2])
                feed = {c: v * (1.0 + d) if c == "H2O" else v for c, v in st.apparent.items()}
        except ALLOWED:
            pass
    repro = (
        f"velmora.System({chem!r}).scaling_temperature({fmt(feed)}, T_min={T_min!r}, "
        f"T_max={T_max!r})"
    )

    def scan(lo, hi, what):
        for t in np.arange(lo, hi, 0.5):
            s = ref.si(float(t), state_n(ref, ref.system.liquid(float(t), feed)))
            over = {k: v for k, v in s.items() if v > 1e-9 and solid in (None, k)}
            if over:
                k = max(over, key=over.get)
                raise Fail(what, over[k], f"{k} SI {over[k]:.3g} at {t:.2f} K")

    solid = rng.choice([None, None, rng.choice(list(ref.solids) or [None])])
    if solid is not None:
        repro = repro[:-1] + f", solid={solid!r})"

    def run():
        try:
            r = ref.system.scaling_temperature(feed, T_min=T_min, T_max=T_max, solid=solid)
        except velmora.NoSolutionError as e:
            if "reaches saturation between" in str(e):
                # the reason given is checked: no index above 0 in the range
                scan(T_min, T_max, "saturation in the range missed")
            raise
        return r, r

    def check(r):
        T, sid = r
        if not T_min <= T <= T_max:
            raise Fail("scaling T outside the range", 1.0, f"{T}")
        si = ref.si(T, state_n(ref, ref.system.liquid(T, feed)))
        if not abs(si[sid]) <= 1e-6:
            raise Fail(
                "scaling solid not saturated", abs(si[sid]), f"{sid} SI {si[sid]:.3g} at {T}"
            )
        # no solid saturated below: a scan every 0.5 K
        scan(T_min, T - 0.01, f"earlier saturation missed (answer {T:.4f} K, {sid})")

    return repro, run, check


CASES = {
    "sle": case_sle,
    "vls": case_vls,
    "si": case_si,
    "evaporate": case_evaporate,
    "mix": case_mix,
    "profile": case_profile,
    "derivative": case_derivative,
    "sle_derivative": case_sle_derivative,
    "flash_derivative": case_flash_derivative,
    "vls_derivative": lambda chem, rng: case_flash_derivative(chem, rng, solids=True),
    "fluid_derivative": lambda chem, rng: case_flash_derivative(chem, rng, fluid=True),
    "analysis": case_analysis,
    "scaling": case_scaling,
}
ALLOWED = (velmora.ConvergenceError, ValueError)


def one(kind, chem, rng):
    """(status, failure kind or raised type, size, detail, reproducer)."""
    repro, run, check = CASES[kind](chem, rng)
    # between the two calls another liquid with solids of the same System: the answer may not
    # depend on what the System did before
    draw = random.Random(rng.random())
    other = ind.feed(chem, draw)[0] if chem in FLUID_CHEMS else brine(chem, draw)
    outs = []
    for j in range(2):
        if j:
            try:
                ref_of(chem).system.liquid(rng.uniform(273.15, 373.15), other, solids=True)
            except ALLOWED:
                pass
        try:
            outs.append(run())
        except Exception as e:  # noqa: BLE001 -- every other type is a finding
            outs.append(e)
    a, b = outs
    if isinstance(a, Fail):
        return "failed", a.args[0], float(a.args[1]), a.args[2], repro
    if isinstance(a, Exception) or isinstance(b, Exception):
        if type(a) is not type(b) or str(a) != str(b):
            return "failed", "not deterministic", math.inf, f"{a!r} then {b!r}", repro
        if isinstance(a, ALLOWED) and str(a).strip():
            return "raised", type(a).__name__, 0.0, str(a)[:200], repro
        return "failed", f"raised {type(a).__name__}", math.inf, repr(a)[:300], repro
    if repr(a[1]) != repr(b[1]):
        return "failed", "not deterministic", math.inf, "digits differ", repro
    try:
        check(a[0])
    except Fail as f:
        kind_, size, detail = f.args
        return "failed", kind_, float(size), detail, repro
    except ALLOWED as e:  # a reference call of the check itself raised
        return "raised", f"{type(e).__name__} in the check", 0.0, str(e)[:200], repro
    return "verified", "", 0.0, "", repro


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=400, help="cases per class")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--jobs", type=int, default=1, help="kept for symmetry: one process")
    ap.add_argument("classes", nargs="*", help=f"default: {' '.join(CLASSES)}")
    a = ap.parse_args(argv)
    warnings.simplefilter("ignore")
    kinds = a.classes or list(CLASSES)
    head = f"{'class':<11} {'cases':>6} {'verified':>8} {'raised':>7} {'failed':>6} {'s':>6}"
    head += "  failures by kind"
    print(f"fuzz of solids, paths, derivatives, scaling: {a.n} cases per class, seed {a.seed}")
    print(head)
    print("-" * len(head))
    worst, first_raised, bad, slow = {}, {}, 0, {}
    for kind in kinds:
        rng = random.Random(f"{a.seed}:{kind}")
        counts = collections.Counter()
        t0 = time.perf_counter()
        slowest = (0.0, "")
        for _ in range(a.n):
            chem = rng.choice(FLUID_CHEMS if kind == "fluid_derivative" else SOLID_CHEMS)
            t1 = time.perf_counter()
            status, what, size, detail, repro = one(kind, chem, rng)
            dt = time.perf_counter() - t1
            if dt > slowest[0]:
                slowest = (dt, repro)
            counts[status] += 1
            if status == "failed":
                counts["kind " + what] += 1
                key = (kind, what)
                if key not in worst or size > worst[key][0]:
                    worst[key] = (size, detail, repro)
            elif status == "raised":
                first_raised.setdefault((kind, what), (detail, repro))
        bad += counts["failed"]
        kinds_ = ", ".join(
            f"{k[5:]} {v}" for k, v in sorted(counts.items()) if k.startswith("kind ")
        )
        print(
            f"{kind:<11} {a.n:>6} {counts['verified']:>8} {counts['raised']:>7} "
            f"{counts['failed']:>6} {time.perf_counter() - t0:>6.0f}  {kinds_}",
            flush=True,
        )
        slow[kind] = slowest
    print("\nworst case of each kind of failure:")
    for (kind, what), (size, detail, repro) in sorted(worst.items()):
        print(f"- {kind}: {what} ({size:.3g}): {detail}\n    {repro}")
    print("\nslowest case of each class (both calls and the checks):")
    for kind, (dt, repro) in slow.items():
        print(f"- {kind}: {dt:.1f} s\n    {repro}")
    print("\nfirst of each kind that raised (allowed):")
    for (kind, what), (detail, repro) in sorted(first_raised.items()):
        print(f"- {kind}: {what}: {detail}\n    {repro}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
