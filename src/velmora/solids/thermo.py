"""Molar enthalpy and entropy of a solid on the core's references."""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from ..brinequil import _WarmStart
from ..checks import TRACE
from ..errors import ConvergenceError
from .liquid import _Liquid, _no_liquid

CONTENT_STEP = 1e-6  # central-difference step in a solid's content for its partial properties
# [mol per mol of liquid]


def solid_enthalpy(system: Any, solid: str, T: float) -> float:
    """Molar enthalpy [J/mol] of a solid at T on the core's references: its dissolution products
    at infinite dilution (ions) and as pure liquid (water of a hydrate), less the enthalpy of
    dissolution R T^2 d ln Ksp/dT (van't Hoff, from the Ksp correlation)."""
    import velmora.brinequil as bq

    ss, info, el = system.solids, system._info, system.model
    k = ss.index(solid)
    big = 1e7  # kmol of water: the products at infinite dilution
    n_w = np.zeros(len(info.names))
    n_w[info.iw] = big
    h_w = bq.liquid_enthalpy(el, system.pp, n_w, T, None, el.pure)
    h_p = bq.liquid_enthalpy(el, system.pp, n_w + ss.nu[k], T, None, el.pure)
    A, B, C, D = ss._abcd[k]
    dh_sol = 8.314462618 * (-B + C * T + D * T * T)  # J/mol
    return (h_p - h_w) / 1000.0 - dh_sol


def solid_entropy(
    system: Any,
    solid: str,
    T: float,
    P: float,
    x: ArrayLike,
    h_solid: float | None = None,
    warm: _WarmStart | None = None,
) -> float:
    """Molar entropy [J/(mol K)] of a solid next to the apparent liquid x (mole fractions of the
    components) it is in equilibrium with, on the liquid's own basis: its Gibbs energy is that
    of its content dissolved in that liquid, so S = s_c + (H - h_c)/T with h_c and s_c the
    partial molar enthalpy and entropy of the content in the liquid (the liquid's enthalpy on
    the core's speciation, its entropy the property package's). A salt that comes out of the
    liquid at equilibrium then moves the entropy by its enthalpy of crystallisation over T,
    as a reversible step must; the liquid's entropy carries no ion references from which an
    absolute entropy of the solid could be built. ``warm``: where the liquid's speciations start
    (a _WarmStart of the caller's, left cold; None: cold)."""
    import velmora.brinequil as bq
    from velmora import phasekit

    ss, el, pp = system.solids, system.model, system.pp
    k = ss.index(solid)
    if h_solid is None:
        h_solid = solid_enthalpy(system, solid, T)
    x = np.asarray(x, dtype=float)
    c = ss.content[k]
    step = CONTENT_STEP * x.sum()
    # a trace solid's content can exceed that step in a component it takes from (barite's
    # barium in seawater, 1.5e-7 of the liquid, whose liquid then had none to speciate): the
    # step takes at most 3 % of each such component (barite's s_c 0.001 J/(mol K) from its
    # limit, the enthalpy's differences within 2 ppm), or goes forward only where one is absent
    taken = c > 0.0
    # a component at a trace (checks.TRACE of the liquid; the flash floors an absent one at
    # 1e-300) counts as absent: a step back within it would be too small to difference (calcite
    # next to a seawater with no carbonate left: a step of 4e-302, an entropy of 3e289)
    if (x[taken] <= TRACE * x.sum()).any():
        room = 0.0
    else:
        room = float(np.min(x[taken] / c[taken])) if taken.any() else np.inf
    back = min(step, 0.03 * room)
    if back > 0.0:
        step = back

    if warm is None:
        warm = _WarmStart()

    def hs(app):  # extensive, kmol basis: J, J/K
        n = _Liquid(system, dict(zip(system.components, app.tolist())), T, 2000, warm=warm).n
        tot = app.sum()
        return (
            bq.liquid_enthalpy(el, pp, n, T, P, el.pure),
            tot * phasekit.entropy_liquid(pp, T, app / tot, P),
        )

    try:
        (h1, s1), (h0, s0) = hs(x + step * c), hs(x - step * c if back > 0.0 else x)
    except (ValueError, ArithmeticError) as e:
        if not _no_liquid(e):
            raise
        raise ConvergenceError(
            f"entropy of {solid} at T = {T:g} K, P = {P:g} Pa: the speciation "
            "of its saturated liquid did not converge",
            T=T,
            P=P,
        ) from e
    finally:
        warm.reset()
    span = 2.0 * step if back > 0.0 else step
    h_c, s_c = (h1 - h0) / span / 1000.0, (s1 - s0) / span / 1000.0
    return s_c + (h_solid - h_c) / T
