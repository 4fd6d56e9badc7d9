"""Data sets, parameters, the model of a chemistry, the fit and its result."""

import dataclasses
import math
import os

import numpy as np

KINDS = ("partial_pressure", "total_pressure", "gamma_mean", "osmotic", "solubility", "ion_gamma_mean",
         "solid_solubility")
M_WATER = 18.015          # kg/kmol, as the databank
MOL_WATER_PER_KG = 1000.0 / M_WATER
T_REF = 298.15            # K: the temperature a solid's shift_B and shift_C turn about


@dataclasses.dataclass(frozen=True)
class DataSet:
    """Published measurements of one kind for one chemistry.

    points: ((T [K], x, composition {databank id: amount}, measured), ...); x is what the plots
    put on the abscissa (loading, molality). measured: Pa for pressures (for "solubility", the
    partial pressure of the gas over the measured liquid), dimensionless for "gamma_mean"
    (molality scale) and "osmotic". species: the gas of a partial pressure or solubility, the
    salt of an activity or osmotic coefficient. "ion_gamma_mean": gamma+- (molality scale) of
    the ion pair species = "cation anion" at the point's true amounts, no speciation (a strong
    acid or base in a salt solution, say HCl traced in NaCl); composition in true species,
    H3O+ counted as H+ and its water as water (its activity a_H+ = a_H3O+ / a_w).
    "solid_solubility": the molality of a sparingly soluble salt saturated with the solid that
    species names (a databank solid, gypsum say); composition in true species [mol/kg], the
    dissolved salt at its measured amount; the value counts the salt's ions in complexes too
    (NaN where the saturated liquid is not found). sigma: the expected scatter of ln(measured);
    the set's points weigh 1/(sigma sqrt(n)) in the fit."""
    name: str
    kind: str
    chemistry: str
    species: str
    points: tuple
    citation: str
    sigma: float = 0.1
    x_label: str = "x"

    def __post_init__(self):
        if self.kind not in KINDS:
            raise ValueError(f"data set {self.name!r}: kind {self.kind!r} is not one of {', '.join(KINDS)}")
        if not self.points:
            raise ValueError(f"data set {self.name!r} has no points")
        if not self.sigma > 0:
            raise ValueError(f"data set {self.name!r}: sigma must be positive")
        for p in self.points:
            if len(p) != 4 or not p[3] > 0 or not p[0] > 0:
                raise ValueError(f"data set {self.name!r}: point {p!r} is not (T > 0, x, composition, value > 0)")

    def temperatures(self):
        """The temperatures of the points [K], those within 3 K of the lowest of a group
        counted as one (their mean): [(T, [points])]."""
        groups = []
        for p in sorted(self.points, key=lambda p: p[0]):
            if groups and p[0] - groups[-1][0][0] <= 3.0:
                groups[-1].append(p)
            else:
                groups.append([p])
        return [(sum(p[0] for p in g) / len(g), g) for g in groups]


def amine_points(amine, w_amine, rows, gas="CO2"):
    """Points of a gas over an aqueous amine: rows (T [K], loading [mol gas/mol amine], p [kPa]),
    w_amine the gas-free mass fraction of the amine; amounts per kg of unloaded solution."""
    from velmora.enginebridge import databank
    n_am = w_amine / databank.species(amine)["molar_mass"]
    n_w = (1.0 - w_amine) / databank.species("H2O")["molar_mass"]
    return tuple((T, a, {"H2O": n_w, amine: n_am, gas: a * n_am}, p * 1e3) for T, a, p in rows)


def salt_points(salt, rows):
    """Points of a salt in water: rows (T [K], m [mol/kg], value)."""
    return tuple((T, m, {"H2O": MOL_WATER_PER_KG, salt: m}, v) for T, m, v in rows)


W_FIELDS = ("W1_A", "W1_B", "W2_A", "W2_B")   # the molecule-ion-pair term, zero unless fitted
# tau's 1/T term moved about T_REF: v added to B and -v/T_REF to A, tau at T_REF kept
SLOPE_FIELDS = ("slope_m_ca", "slope_ca_m")
# tau's ln T term moved about T_REF: v added to F, v T_REF to B and -v (ln T_REF + 1) to A, tau and
# its slope at T_REF kept (a constant heat-capacity contribution)
CURVE_FIELDS = ("curve_m_ca", "curve_ca_m")
FIELDS = {"electrolyte_pair": ("A_m_ca", "B_m_ca", "F_m_ca", "A_ca_m", "B_ca_m", "F_ca_m", "alpha", *W_FIELDS,
                               *SLOPE_FIELDS, *CURVE_FIELDS),
          "molecule_pair": ("A_ij", "B_ij", "F_ij", "A_ji", "B_ji", "F_ji", "alpha"),
          "ion_mixing": ("U_A", "U_B"),
          "dilute_term": ("D_A", "D_B"),
          "dilute_pair": ("D_A", "D_B"),
          "reaction": ("shift",), "solid": ("shift", "shift_B", "shift_C", "shift_D")}


@dataclasses.dataclass(frozen=True)
class Parameter:
    """One fitted number: kind "electrolyte_pair" (key (molecule, cation, anion); "slope_m_ca"
    and "slope_ca_m" add v to that tau's B and -v/T_REF to its A, tau at T_REF unchanged;
    "curve_m_ca" and "curve_ca_m" add v to its F, v T_REF to B and -v (ln T_REF + 1) to A, tau
    and d tau / dT at T_REF unchanged),
    "molecule_pair" (key (i, j)), "ion_mixing" (key (ion, ion_1, ion_2): the common ion and two of
    the other sign; U = U_A + U_B/T), "dilute_term" (key (solvent, ion); D = D_A + D_B/T),
    "dilute_pair" (key (solvent, cation, anion): the salt-pair term; D = D_A + D_B/T),
    "reaction" (key: reaction id, field "shift": added to ln K)
    or "solid" (key: databank solids, each one's ln Ksp = A + B/T + C ln T + D T moved alike:
    "shift" adds to A, "shift_B" adds v (1/T - 1/T_REF), "shift_C" v (ln(T/T_REF) + T_REF/T - 1),
    "shift_D" v (T - T_REF - T_REF ln(T/T_REF)), the last three zero at T_REF, the last two's slope
    too);
    start value, bounds and an optional Gaussian prior (centre, width)."""
    kind: str
    key: object
    field: str
    start: float
    lower: float = -np.inf
    upper: float = np.inf
    prior: tuple = None
    scale: float = 1.0

    def __post_init__(self):
        if self.kind not in FIELDS or self.field not in FIELDS[self.kind]:
            raise ValueError(f"parameter {self.kind} {self.key!r} {self.field!r}: fields of "
                             f"{self.kind}: {', '.join(FIELDS.get(self.kind, ()))}")
        if not self.lower <= self.start <= self.upper:
            raise ValueError(f"parameter {self.label}: start {self.start} outside [{self.lower}, {self.upper}]")

    @property
    def label(self):
        key = "/".join(self.key) if isinstance(self.key, tuple) else self.key
        return f"{key}:{self.field}"


def overlay(params, theta, db, source="fitted (velmora.regress)"):
    """The overlay mapping that sets the parameters to theta on top of ``db``."""
    el, mol, mix, dil, dpair, rx, solids = {}, {}, {}, {}, {}, {}, {}
    for p, v in zip(params, theta):
        if p.kind == "electrolyte_pair":
            if p.key not in el:
                a1, b1, a2, b2, alpha, _ = db.electrolyte_pair(*p.key)
                f1, f2 = db.electrolyte_ln_t(*p.key)
                el[p.key] = dict(zip(("molecule", "cation", "anion"), p.key), A_m_ca=a1, B_m_ca=b1,
                                 F_m_ca=f1, A_ca_m=a2, B_ca_m=b2, F_ca_m=f2, alpha=alpha, source=source)
                el[p.key].update((f, w) for f, w in zip(W_FIELDS, db.electrolyte_w(*p.key)) if w)
            if p.field in SLOPE_FIELDS:
                side = p.field[len("slope_"):]
                el[p.key][f"B_{side}"] += float(v)
                el[p.key][f"A_{side}"] -= float(v) / T_REF
            elif p.field in CURVE_FIELDS:
                side = p.field[len("curve_"):]
                el[p.key][f"F_{side}"] += float(v)
                el[p.key][f"B_{side}"] += float(v) * T_REF
                el[p.key][f"A_{side}"] -= float(v) * (math.log(T_REF) + 1.0)
            else:
                el[p.key][p.field] = float(v)
        elif p.kind == "molecule_pair":
            if p.key not in mol:
                i, j = p.key
                a1, b1, a2, b2, alpha, _ = db.nrtl_pair(i, j) or (0.0, 0.0, 0.0, 0.0, 0.3, "")
                f1, f2 = db.nrtl_ln_t(i, j)
                mol[p.key] = dict(i=i, j=j, A_ij=a1, B_ij=b1, F_ij=f1, A_ji=a2, B_ji=b2, F_ji=f2,
                                  alpha=alpha, source=source)
            mol[p.key][p.field] = float(v)
        elif p.kind == "ion_mixing":
            if p.key not in mix:
                i, j, k = p.key
                old = next((r for r in db.mixing_records(p.key)
                            if r["ion"] == i and {r["ion_1"], r["ion_2"]} == {j, k}), {})
                mix[p.key] = dict(ion=i, ion_1=j, ion_2=k, U_A=old.get("U_A", 0.0),
                                  U_B=old.get("U_B", 0.0), source=source)
            mix[p.key][p.field] = float(v)
        elif p.kind == "dilute_term":
            if p.key not in dil:
                m, c = p.key
                old = next(iter(db.dilute_records([m], [c])), {})
                dil[p.key] = dict(molecule=m, ion=c, D_A=old.get("D_A", 0.0), D_B=old.get("D_B", 0.0),
                                  source=source)
            dil[p.key][p.field] = float(v)
        elif p.kind == "dilute_pair":
            if p.key not in dpair:
                m, c, a = p.key
                old = next(iter(db.dilute_pair_records([m], [c, a])), {})
                dpair[p.key] = dict(molecule=m, cation=c, anion=a, D_A=old.get("D_A", 0.0),
                                    D_B=old.get("D_B", 0.0), source=source)
            dpair[p.key][p.field] = float(v)
        elif p.kind == "solid":
            # about 298.15 K: shift_B leaves ln Ksp there as it is, shift_C and shift_D its slope as well
            v, t0 = float(v), T_REF
            terms = {"shift": {"A": v}, "shift_B": {"A": -v / t0, "B": v},
                     "shift_C": {"A": -v * (math.log(t0) + 1.0), "B": v * t0, "C": v},
                     "shift_D": {"A": v * t0 * (math.log(t0) - 1.0), "C": -v * t0, "D": v}}[p.field]
            for name in p.key:
                rec = solids.setdefault(name, dict(db.table("solids")[name]))
                for f, dv in terms.items():
                    rec[f] += dv
                rec["source"] += f"; {p.field} {v:+.6g} in a fit ({source})"
        else:
            rec = dict(db.reaction_record(p.key))
            rec["A"] -= rec.pop("shift", 0.0)
            rec.update(shift=float(v), source=f"{rec['source']}; ln K shifted by a fit ({source})")
            rx[p.key] = rec
    out = {}
    if el:
        out["nrtl_electrolyte"] = {"pair": list(el.values())}
    if mol:
        out["nrtl_molecular"] = {"pair": list(mol.values())}
    if mix:
        out["nrtl_mixing"] = {"pair": list(mix.values())}
    if dil:
        out["nrtl_dilute"] = {"pair": list(dil.values())}
    if dpair:
        out["nrtl_dilute_pair"] = {"pair": list(dpair.values())}
    if rx:
        out["equilibrium"] = rx
    if solids:
        out["solids"] = solids
    return out


class Model:
    """brinequil's liquid of one chemistry, built from a databank (default: the active one)."""

    def __init__(self, chemistry, db=None, henry=None):
        from velmora import brinequil, ionchem
        from velmora.enginebridge import databank, engine
        self.db = db = db or databank.active()
        with databank.using(db):
            chem = ionchem.builtin(chemistry)
            record = databank.chemistry(chemistry)
            self.reaction_ids = list(record["equilibria"])  # rows of nu
            comps = ionchem.components(chemistry)
            henry = ionchem.henry_components(chemistry) if henry is None else list(henry)
            text = engine.input_header({c: c for c in comps}, "eNRTL", henry=henry or None,
                                       chemistry=(chemistry, chem))
            report = engine.build_report(engine.parse_input(text + "\n" + engine.REQUEST + "\n"))
        self.chemistry, self.components = chemistry, comps
        self.el = brinequil.Electrolyte.from_report(report, chem, comps, henry=henry)
        self.el.options["fixed_Y"] = databank.fixed_ion_fractions(record)
        self.names = list(self.el.names)
        self._ions = {}
        for r, k in zip(chem["reactions"], chem["kinds"]):
            if k == "DISS":
                salt = next(s for s, v in r.items() if v < 0)
                self._ions[salt] = {s: v for s, v in r.items() if v > 0}

    def value(self, kind, species, T, comp):
        """The model's value of a data point (the units of DataSet.points); from a cold start,
        so that it does not depend on the points computed before (or on which worker)."""
        if kind == "ion_gamma_mean":
            return self._ion_gamma_mean(species, T, comp)
        if kind == "solid_solubility":
            return self._solid_solubility(species, T, comp)
        el = self.el
        comp = {c: comp.get(c, 0.0) for c in self.components}
        if kind in ("partial_pressure", "solubility"):
            return el._session(None, "fugacities", comp, T)[0][0][species]
        if kind == "total_pressure":
            return el._session(None, "bubble", comp, T)[0][0]
        n, lng = el._session(None, "true_amounts", comp, T)[0]
        return self._liquid_value(kind, species, np.asarray(n, float), lng)

    def _liquid_value(self, kind, species, n, lng):
        """An osmotic or mean activity coefficient from the true amounts and ln gamma."""
        iw = self.names.index("H2O")
        x_w = n[iw] / n.sum()
        if kind == "osmotic":
            m_solutes = (n.sum() - n[iw]) / n[iw] * MOL_WATER_PER_KG
            return -(math.log(x_w) + lng[iw]) / (M_WATER / 1000.0 * m_solutes)
        ions = self._ions.get(species)
        if ions is None:
            raise ValueError(f"gamma_mean: {species!r} is not a dissociating salt of {self.chemistry}")
        nu = sum(ions.values())
        return math.exp(sum(v * lng[self.names.index(s)] for s, v in ions.items()) / nu + math.log(x_w))


    def value_gradient(self, kind, species, T, comp, params):
        """(value, d ln value / d parameter) of a data point, exact, for the fitted ``params``
        (``Parameter``s; zero for those this chemistry does not have). See regress.jacobian."""
        from .jacobian import directions, ln_value_gradient
        params = tuple(params)
        if getattr(self, "_dirs", (None,))[0] != params:
            self._dirs = params, directions(self, params)
        return ln_value_gradient(self, kind, species, T, comp, self._dirs[1])

    def _true_ln_gamma(self, T, comp):
        from velmora import ionactivity
        n = np.array([comp.get(s, 0.0) for s in self.names], float)
        return n, ionactivity.ln_gamma(self.el.sp, n / n.sum(), T)

    def _solid_solubility(self, solid, T, comp):
        # the salt dissolved at saturation, the rest of the liquid as measured: the measured
        # liquid with as much again of the salt is the feed (on the species) of the engine's
        # joint Newton (speciation and ln IAP = ln Ksp together, the databank's constant at T);
        # the salt dissolved is the feed's less the solid formed, per kg of the liquid's water,
        # whatever complexes its ions form
        from velmora import ionactivity
        rec = self.db.table("solids").get(solid)
        ions = {sp: v for sp, v in rec["dissolution"].items() if sp != "H2O"} if rec else {}
        if not ions or any(s not in self.names for s in comp) or not all(comp.get(s, 0.0) > 0.0 for s in ions):
            raise ValueError(f"solid_solubility: {solid!r} is not a databank solid whose ions are all "
                             f"in the liquid {sorted(comp)} of {self.chemistry}")
        ln_k = rec["A"] + rec["B"] / T + rec["C"] * math.log(T) + rec["D"] * T
        nu_s = np.array([[rec["dissolution"].get(sp, 0.0) for sp in self.names]])
        salt0 = min(comp[sp] / v for sp, v in ions.items())
        liquid = np.array([comp.get(sp, 0.0) for sp in self.names], float)
        n0 = liquid + salt0 * nu_s[0]
        # the start: the measured liquid, the species it lacks at a trace, the excess as solid
        n = np.where(liquid > 0.0, liquid, 1e-10 * liquid.sum())
        lng = np.asarray(ionactivity.ln_gamma(self.el.sp, n / n.sum(), T), float)
        s = np.array([salt0])
        w = self.names.index("H2O")
        for _ in range(5):
            n, lng, s, status, _ = self.el._solid_newton(n0, T, nu_s, np.array([ln_k]), s, n, lng)
            if status != 0:     # a fit's trial parameters may leave no solution: no value
                return math.nan
            # the feed's water such that the liquid keeps the measured water (a hydrate takes
            # its water of crystallisation from it): the other solutes at their measured molality
            water = liquid[w] + nu_s[0, w] * s[0]
            if abs(water - n0[w]) <= 1e-13 * liquid[w]:
                break
            n0[w] = water
        return (2.0 * salt0 - s[0]) * liquid[w] / n[w]

    def _ion_gamma_mean(self, pair, T, comp):
        names = self.names
        ions = pair.split()
        bad = [s for s in ions + list(comp) if s not in names]
        if len(ions) != 2 or bad:
            raise ValueError(f"ion_gamma_mean: {pair!r} / {sorted(comp)} are not two ions and species of {self.chemistry}")
        n, lng = self._true_ln_gamma(T, comp)
        iw = names.index("H2O")
        h = names.index("H3O+") if "H3O+" in names else None
        ln_aw = math.log(n[iw] / n.sum()) + lng[iw]
        kg_w = (n[iw] + (n[h] if h is not None else 0.0)) * M_WATER / 1000.0   # H3O+ = H+ + H2O
        charges = [abs(self.el.sp.z[names.index(s)]) for s in ions]
        nu = (charges[1], charges[0])                  # stoichiometry of the neutral pair
        ln_g = 0.0
        for s, v in zip(ions, nu):
            i = names.index(s)
            # molal activity of the ion (gamma* x_i / (M_w/1000)) over its molality
            ln_a = lng[i] + math.log(n[i] / n.sum() * MOL_WATER_PER_KG) - (ln_aw if i == h else 0.0)
            ln_g += v * (ln_a - math.log(n[i] / kg_w))
        return math.exp(ln_g / sum(nu))


def _models(datasets, db):
    return {name: Model(name, db) for name in {d.chemistry for d in datasets}}


def evaluate(datasets, db=None, executor=None):
    """[(data set, [(T, x, measured, calculated)])] with the databank ``db`` (default: active).
    ``executor``: as for ``velmora.sweep`` (None: here, in this process; a
    ``concurrent.futures.Executor`` or a ``dask.distributed.Client``): each chemistry's model
    travels once per worker and its points go in chunks; the values are the same digits."""
    from velmora.enginebridge import databank
    db = db or databank.active()
    models = _models(datasets, db)
    out = []
    for d in datasets:
        m = models[d.chemistry]
        if executor is None:
            calc = [m.value(d.kind, d.species, T, comp) for T, _, comp, _ in d.points]
        else:
            from velmora.sweep import map_points
            pts = [{"kind": d.kind, "species": d.species, "T": T, "comp": comp}
                   for T, _, comp, _ in d.points]
            calc = [o.value for o in map_points(m, "value", pts, executor=executor,
                                                errors="raise", progress=False)]
        out.append((d, [(T, x, v, c) for (T, x, _, v), c in zip(d.points, calc)]))
    return out


def statistics(rows, x_range=None):
    """{n, aard [%], worst_factor, bias [mean ln(calc/meas)]} of evaluated rows, optionally
    only those with x_range[0] <= x <= x_range[1]."""
    rows = [r for r in rows if x_range is None or x_range[0] <= r[1] <= x_range[1]]
    if not rows:
        return {"n": 0, "aard": float("nan"), "worst_factor": float("nan"), "bias": float("nan")}
    ln = np.array([math.log(c / v) for _, _, v, c in rows])
    return {"n": len(rows), "aard": float(100 * np.mean(np.abs(np.exp(ln) - 1))),
            "worst_factor": float(np.exp(np.max(np.abs(ln)))), "bias": float(np.mean(ln))}


@dataclasses.dataclass
class FitResult:
    params: list
    theta: np.ndarray
    stderr: np.ndarray
    cost: float
    nfev: int
    success: bool
    message: str
    evaluated: list        # evaluate() at the solution
    overlay: dict          # overlay mapping with the [fit] record
    evaluations: int = 0   # residual evaluations, those of difference Jacobians included
    jacobians: int = 0     # exact Jacobians (each about one residual evaluation and its derivatives)
    jac: str = "exact"     # "exact" or "2-point" (differences)

    def summary(self):
        L = [f"{'parameter':40s} {'value':>12s} {'std. error':>12s}"]
        for p, v, s in zip(self.params, self.theta, self.stderr):
            L.append(f"{p.label:40s} {v:12.5g} {s:12.3g}")
        L.append(f"cost {self.cost:.5g}, {self.nfev} iterations, {self.evaluations} residual "
                 f"evaluations, {self.jacobians} exact Jacobians ({self.jac}), {self.message}")
        L.append(f"{'data set':48s} {'T [K]':>8s} {'n':>4s} {'AARD %':>8s} {'worst':>7s} {'bias':>7s}")
        for d, rows in self.evaluated:
            for T, pts in d.temperatures():
                ts = {p[0] for p in pts}
                s = statistics([r for r in rows if r[0] in ts])
                L.append(f"{d.name:48s} {T:8.2f} {s['n']:4d} {s['aard']:8.2f} {s['worst_factor']:7.3f} {s['bias']:+7.3f}")
        return "\n".join(L)

    def to_toml(self, header=""):
        return to_toml(self.overlay, header)

    def write(self, path, header=""):
        with open(path, "w") as fh:
            fh.write(self.to_toml(header))

    def plots(self, folder, stem="fit"):
        """Parity and residual plots as PNG files in folder; returns their paths."""
        return plots(self.evaluated, folder, stem)


def fit(datasets, params, base=None, extra=None, extra_labels=(), source="fitted (velmora.regress)",
        max_nfev=200, verbose=0, executor=None, jac="exact"):
    """Weighted, bounded least squares of ``params`` to ``datasets`` on the databank ``base``
    (default: the active one). ``extra(db, theta)`` may add residuals (constraints).
    ``executor``: where the objective's points are computed (see ``evaluate``).
    ``jac``: "exact" (the activity model's parameter derivatives through the speciation,
    regress.jacobian; the extra residuals by differences; differences for everything where
    the data or parameters have no exact derivatives) or "2-point" (differences, step 1e-5)."""
    from scipy.optimize import least_squares
    from velmora.enginebridge import databank

    from .jacobian import unsupported
    if jac not in ("exact", "2-point"):
        raise ValueError(f"jac must be 'exact' or '2-point', not {jac!r}")
    base = base or databank.active()
    params = list(params)
    if jac == "exact" and unsupported(datasets, params):
        jac = "2-point"
    count = {"residuals": 0, "jacobians": 0}

    def trial(theta):
        return databank.derive(base, [overlay(params, theta, base, source)])

    def residuals(theta):
        count["residuals"] += 1
        db = trial(theta)
        res = []
        for d, rows in evaluate(datasets, db, executor):
            w = 1.0 / (d.sigma * math.sqrt(len(rows)))
            res += [w * math.log(c / v) if c > 0 and math.isfinite(c) else 1e3 for _, _, v, c in rows]
        res += [(t - p.prior[0]) / p.prior[1] for p, t in zip(params, theta) if p.prior]
        if extra is not None:
            res += list(extra(db, theta))
        return np.array(res)

    def jacobian(theta):
        count["jacobians"] += 1
        return _jacobian(datasets, params, trial, theta, extra)

    x0 = np.array([p.start for p in params], float)
    sol = least_squares(residuals, x0, jac=jacobian if jac == "exact" else "2-point", method="trf",
                        bounds=([p.lower for p in params], [p.upper for p in params]),
                        x_scale=[p.scale for p in params], diff_step=1e-5, max_nfev=max_nfev, verbose=verbose)
    J = sol.jac
    dof = max(1, J.shape[0] - J.shape[1])
    try:
        cov = np.linalg.pinv(J.T @ J) * (2 * sol.cost / dof)
        stderr = np.sqrt(np.clip(np.diag(cov), 0, None))
    except np.linalg.LinAlgError:
        stderr = np.full(len(params), np.nan)
    db = trial(sol.x)
    evaluated = evaluate(datasets, db, executor)
    ov = overlay(params, sol.x, base, source)
    ov["fit"] = {
        "chemistries": sorted({d.chemistry for d in datasets}),
        "data": [f"{d.name}: {d.citation}" for d in datasets],
        "parameters": [p.label for p in params],
        "theta": [float(v) for v in sol.x],
        "standard_errors": [float(v) for v in stderr],
        "objective": "sum over data sets of (ln(calc/measured)/(sigma sqrt(n)))^2, plus priors and constraints",
        "sigma": [float(d.sigma) for d in datasets],
        "figures": [[d.name, s["n"], round(s["aard"], 3), round(s["worst_factor"], 4)]
                    for d, rows in evaluated for s in [statistics(rows)]],
        "method": "scipy.optimize.least_squares (trf, bounded)",
    }
    return FitResult(params, sol.x, stderr, float(sol.cost), int(sol.nfev), bool(sol.success),
                     sol.message, evaluated, ov, count["residuals"], count["jacobians"], jac)


def _jacobian(datasets, params, trial, theta, extra):
    """d residual / d theta of ``fit``'s residuals: exact for the data points and priors, the
    extra residuals by forward differences (step 1e-5 max(1, |theta|), as the fit's own)."""
    db = trial(theta)
    models = _models(datasets, db)
    rows = []
    for d in datasets:
        m = models[d.chemistry]
        w = 1.0 / (d.sigma * math.sqrt(len(d.points)))
        for T, _, comp, _ in d.points:
            c, g = m.value_gradient(d.kind, d.species, T, comp, params)
            rows.append(w * g if c > 0 and math.isfinite(c) else np.zeros(len(params)))
    for k, p in enumerate(params):
        if p.prior:
            rows.append(np.eye(len(params))[k] / p.prior[1])
    J = np.array(rows).reshape(-1, len(params))
    if extra is None:
        return J
    e0 = np.asarray(extra(db, theta), float)
    E = np.zeros((len(e0), len(params)))
    for k in range(len(params)):
        t = np.array(theta, float)
        h = 1e-5 * max(1.0, abs(t[k])) * (1.0 if t[k] >= 0 else -1.0)
        if t[k] + h > params[k].upper:
            h = -h
        t[k] += h
        E[:, k] = (np.asarray(extra(trial(t), t), float) - e0) / h
    return np.vstack((J, E))


# ---------------------------------------------------------------------------------------------
def _toml_value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    if isinstance(v, (float, np.floating)):
        return repr(float(v)) if math.isfinite(v) else "nan"
    if isinstance(v, str):
        return '"' + v.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(v, dict):
        return "{ " + ", ".join(f"{_toml_key(k)} = {_toml_value(x)}" for k, x in v.items()) + " }"
    return "[" + ", ".join(_toml_value(x) for x in v) + "]"


def _toml_key(k):
    import re
    return k if re.fullmatch(r"[A-Za-z0-9_-]+", k) else _toml_value(k)


def to_toml(ov, header=""):
    """An overlay mapping as TOML text (the sections the databank reads, [fit] first)."""
    L = [f"# {line}" for line in header.splitlines()]
    if "fit" in ov:
        L += ["", "[fit]"] + [f"{_toml_key(k)} = {_toml_value(v)}" for k, v in ov["fit"].items()]
    for kind, content in ov.items():
        if kind == "fit":
            continue
        if "pair" in content:
            for rec in content["pair"]:
                L += ["", f"[[{kind}.pair]]"] + [f"{_toml_key(k)} = {_toml_value(v)}" for k, v in rec.items()]
        for key, rec in content.items():
            if key == "pair":
                continue
            L += ["", f"[{kind}.{_toml_key(key)}]"] + [f"{_toml_key(k)} = {_toml_value(v)}" for k, v in rec.items()]
    return "\n".join(L).lstrip("\n") + "\n"


def plots(evaluated, folder, stem="fit"):
    """A parity plot (calculated against measured) and a residual plot (ln(calc/measured)
    against x) of evaluated data sets, as PNG files in ``folder``."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    os.makedirs(folder, exist_ok=True)
    paths = []
    fig, ax = plt.subplots(figsize=(6, 6))
    lo, hi = np.inf, 0.0
    for d, rows in evaluated:
        v = np.array([r[2] for r in rows])
        c = np.array([r[3] for r in rows])
        ax.plot(v, c, "o", ms=4, label=d.name)
        lo, hi = min(lo, v.min(), c.min()), max(hi, v.max(), c.max())
    logscale = hi / lo > 20
    if logscale:
        ax.set_xscale("log")
        ax.set_yscale("log")
    ax.plot([lo, hi], [lo, hi], "k-", lw=0.8)
    for f in (1.5, 1 / 1.5):
        ax.plot([lo, hi], [lo * f, hi * f], "k:", lw=0.6)
    ax.set_xlabel("measured")
    ax.set_ylabel("calculated")
    ax.legend(fontsize=6)
    ax.set_title("parity (dotted: factor 1.5)")
    paths.append(os.path.join(folder, f"{stem}-parity.png"))
    fig.savefig(paths[-1], dpi=110, bbox_inches="tight")
    plt.close(fig)
    fig, ax = plt.subplots(figsize=(7, 4))
    for d, rows in evaluated:
        ax.plot([r[1] for r in rows], [math.log(r[3] / r[2]) for r in rows], "o", ms=4, label=d.name)
    ax.axhline(0, color="k", lw=0.8)
    for f in (1.5, 1 / 1.5):
        ax.axhline(math.log(f), color="k", ls=":", lw=0.6)
    ax.set_xlabel(evaluated[0][0].x_label if evaluated else "x")
    ax.set_ylabel("ln(calculated/measured)")
    ax.legend(fontsize=6)
    paths.append(os.path.join(folder, f"{stem}-residuals.png"))
    fig.savefig(paths[-1], dpi=110, bbox_inches="tight")
    plt.close(fig)
    return paths
