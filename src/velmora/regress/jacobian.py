"""Exact derivatives of a fit's residuals with respect to its parameters.

A residual is ln(calculated/measured) of a data point. The activity model gives d ln gamma /
d parameter exactly (``Model.ln_gamma_parameter_derivatives``: the coefficient carried as a
tangent through tau, G and W); where the point goes through the speciation, the true amounts
follow by the implicit function theorem, as for T and the amounts of a liquid state
(``velmora.derivatives``): dF_eq/dp = nu (d ln gamma/dp - d ref/dp) at fixed n, and -1 on the
reaction whose ln K a "shift" parameter moves. The Henry references and mixed Henry constants
take the molecular term's parameter derivatives at their own compositions.

Not covered (the fit then takes differences): total pressures (bubble points), solid
solubilities and the alpha of an electrolyte pair.
"""

import math
from types import SimpleNamespace

import numpy as np

from velmora import derivatives

EXACT_KINDS = ("partial_pressure", "solubility", "gamma_mean", "osmotic", "ion_gamma_mean")
# Parameter fields -> the core's coefficient index (ElectrolytePair::p / MoleculePair::p)
_EL_COEF = {"A_m_ca": 0, "B_m_ca": 1, "F_m_ca": 2, "A_ca_m": 4, "B_ca_m": 5, "F_ca_m": 6,
            "W1_A": 9, "W1_B": 10, "W2_A": 11, "W2_B": 12}
_MOL_COEF = {"A_ij": 0, "A_ji": 1, "B_ij": 2, "B_ji": 3, "F_ij": 4, "F_ji": 5, "alpha": 8}


def unsupported(datasets, params):
    """Why the residuals of ``datasets`` have no exact Jacobian in ``params`` (None if they do)."""
    kinds = sorted({d.kind for d in datasets} - set(EXACT_KINDS))
    if kinds:
        return f"data of kind {', '.join(kinds)}"
    alphas = [p.label for p in params if p.kind == "electrolyte_pair" and p.field not in _EL_COEF]
    if alphas:
        return f"the electrolyte pair fields {', '.join(alphas)}"
    return None


class _View:
    """What velmora.derivatives reads of a system, for a fit's model."""

    def __init__(self, el):
        sp = el.sp
        self.model = el
        self._info = SimpleNamespace(names=list(el.names), ion=np.asarray(sp.ion, bool),
                                     iw=int(sp.water), henry_idx=[int(i) for i in sp.henry])


def directions(model, params):
    """Per fitted parameter, where it enters ``model`` (a regress Model): ("electrolyte" or
    "molecule", pair index, coefficient) for the activity model, ("reaction", row of nu), or
    None where the chemistry does not have it."""
    sp_model = model.el.sp._model
    triples = {k: i for i, k in enumerate(sp_model["triples"])}
    mols = {k: i for i, k in enumerate(sp_model["mol_pairs"])}
    mixing = {k: i for i, k in enumerate(sp_model.get("mixing", {}))}
    dilute = {k: i for i, k in enumerate(sp_model.get("dilute", {}))}
    # the salt-pair terms follow the like-ion ones in the core's list (ionactivity.solution)
    dilute |= {k: len(dilute) + i for i, k in enumerate(sp_model.get("dilute_pair", {}))}
    out = []
    for p in params:
        if p.kind == "electrolyte_pair":
            k = triples.get(tuple(p.key))
            out.append(None if k is None else ("electrolyte", k, _EL_COEF[p.field]))
        elif p.kind == "ion_mixing":
            i, j, k = p.key
            t = mixing.get((i, j, k), mixing.get((i, k, j)))
            out.append(None if t is None else ("mixing", t, ("U_A", "U_B").index(p.field)))
        elif p.kind in ("dilute_term", "dilute_pair"):
            t = dilute.get(tuple(p.key))
            out.append(None if t is None else ("dilute", t, ("D_A", "D_B").index(p.field)))
        elif p.kind == "molecule_pair":
            i, j = p.key
            coef = _MOL_COEF[p.field]
            if (i, j) in mols:
                out.append(("molecule", mols[(i, j)], coef))
            elif (j, i) in mols:     # stored the other way round: ij <-> ji
                out.append(("molecule", mols[(j, i)], coef if coef == 8 else coef ^ 1))
            else:
                out.append(None)
        else:
            rows = model.reaction_ids
            out.append(("reaction", rows.index(p.key)) if p.key in rows else None)
    return out


def ln_value_gradient(model, kind, species, T, comp, dirs):
    """(value, d ln value / d parameter) of a data point (``Model.value``'s units) for the
    parameters ``dirs`` (``directions``)."""
    if kind not in EXACT_KINDS:
        raise ValueError(f"no exact derivatives of a {kind!r} point (exact: {', '.join(EXACT_KINDS)})")
    el = model.el
    names = model.names
    ns = len(names)
    core = el.sp._core
    act = [k for k, d in enumerate(dirs) if d is not None and d[0] != "reaction"]
    pdirs = [dirs[k] for k in act]
    # with the ions absent only the molecule pairs act (the Henry references)
    mol_act = [k for k in act if dirs[k][0] == "molecule"]
    mol_dirs = [dirs[k] for k in mol_act]
    grad = np.zeros(len(dirs))

    def scatter(cols, where=act):          # species x some parameters -> x all parameters
        full = np.zeros((cols.shape[0], len(dirs)))
        full[:, where] = cols
        return full

    if kind == "ion_gamma_mean":
        value = model.value(kind, species, T, comp)
        n = np.array([comp.get(s, 0.0) for s in names], float)
        if pdirs:
            _, dP = core.ln_gamma_parameter_derivatives(n / n.sum(), T, None, pdirs)
            dl = scatter(dP)
            ions = species.split()
            charges = [abs(model.el.sp.z[names.index(s)]) for s in ions]
            nu = (charges[1], charges[0])
            h = names.index("H3O+") if "H3O+" in names else None
            iw = names.index("H2O")
            for s, v in zip(ions, nu):
                i = names.index(s)
                grad += v * (dl[i] - (dl[iw] if i == h else 0.0))
            grad /= sum(nu)
        return value, grad

    full = {c: comp.get(c, 0.0) for c in model.components}  # (each from a cold start)
    if kind in ("partial_pressure", "solubility"):
        f, n, lng = el._session(None, "fugacities", full, T)[0]
        value = f[species]
    else:
        n, lng = el._session(None, "true_amounts", full, T)[0]
        value = model._liquid_value(kind, species, np.asarray(n, float), lng)
    n = np.asarray(n, float)
    N = float(n.sum())
    x = n / N
    view = model.__dict__.get("_view")
    if view is None or view.model is not el:
        view = model._view = _View(el)
    mol = derivatives._Molecular(view, T)
    _, Jx, _ = core.ln_gamma_derivatives(x, T, el.options, list(range(ns)))
    Jn = Jx / N
    _, dref_x, _ = derivatives._reference(view, mol, x)
    dx_dn = (np.eye(ns) - np.outer(x, np.ones(ns))) / N
    # direct parameter terms at fixed n: ln gamma, the Henry references
    dl = np.zeros((ns, len(dirs)))
    dref = np.zeros((ns, len(dirs)))
    if pdirs:
        dl = scatter(core.ln_gamma_parameter_derivatives(x, T, el.options, pdirs)[1])
    if mol_dirs:
        for i, xw in derivatives.reference_points(el, view._info, x):
            dref[i] = scatter(_molecular_dp(el, xw, T, mol_dirs), mol_act)[i]
    rhs_eq = el.nu @ (dl - dref)
    for k, d in enumerate(dirs):
        if d is not None and d[0] == "reaction":
            rhs_eq[d[1], k] -= 1.0             # ln K + shift
    idle = ~el.nu.any(axis=0) & (n == 0.0)
    rhs = np.vstack((rhs_eq, np.zeros((el.B.shape[0], len(dirs)))))
    dn = derivatives.speciation_response(el.nu, el.B, n, Jn - dref_x @ dx_dn, idle, rhs)
    dlng = Jn @ dn + dl
    dN = dn.sum(axis=0)
    iw = names.index("H2O")
    if kind in ("partial_pressure", "solubility"):
        i = names.index(species)
        grad = dn[i] / n[i] - dN / N + dlng[i]
        if i in view._info.henry_idx:
            _, hx, _ = derivatives._henry_mix(view, mol, x, i, T)
            grad = grad + hx @ (dx_dn @ dn)
            if mol_dirs:
                grad -= _henry_mix_dp(el, names, x, i, T, mol_dirs, lambda c: scatter(c, mol_act))
        return value, grad
    dln_aw = dn[iw] / n[iw] - dN / N + dlng[iw]
    if kind == "osmotic":
        ln_aw = math.log(x[iw]) + lng[iw]
        return value, dln_aw / ln_aw + dn[iw] / n[iw] - (dN - dn[iw]) / (N - n[iw])
    ions = model._ions[species]
    nu = sum(ions.values())
    grad = sum(v * dlng[names.index(s)] for s, v in ions.items()) / nu + dn[iw] / n[iw] - dN / N
    return value, grad


def _molecular_dp(el, xw, T, pdirs):
    """d ln gamma / d parameter of the molecular term at xw (ions absent)."""
    xw = xw.copy()
    xw[np.asarray(el.sp.ion, bool)] = 0.0
    return el.sp._core.ln_gamma_parameter_derivatives(xw, T, el.options, pdirs)[1]


def _henry_mix_dp(el, names, x, i, T, mol_dirs, scatter):
    """d ln gamma_inf,mix / d parameter of Henry component i at fixed x (the solvents' ln gamma
    infinity weighted as in (H/gamma_inf)_mix)."""
    num, den = 0.0, 0.0
    for _, _, w, xa in derivatives.henry_points(el, names, x, i):
        num = num + w * scatter(_molecular_dp(el, xa, T, mol_dirs))[i]
        den += w
    return num / den if den else 0.0
