"""Solids: saturation indices, solid-liquid equilibria and flashes with salts that precipitate.

The core layer dissolves every salt completely and never forms a solid. Here the solids of the
databank (table "solids": a formula, its dissolution into species of the liquid and ln Ksp(T))
are put next to the core's liquid:

- Saturation index of a solid on a liquid: SI = log10(IAP / Ksp) in the molality convention,
  IAP = prod_i (m_i gamma_m,i)^nu_i * a_w^nu_w over the dissolved ions (molal activities) and
  the water of a hydrate. The databank keeps ln Ksp on the mole-fraction basis of the core's
  equilibrium constants; with m_i gamma_m,i = x_i gamma_i * 1000/M_w for an ion the two bases
  give the same SI, and the molal constant is ln Km = ln Kx - sum(nu_ions) ln(M_w/1000).
- Solid-liquid equilibrium: the liquid is the core's speciation of the feed less the solids'
  content; an active-set method finds the solids present (every present solid at SI = 0, every
  absent one at SI < 0). For a fixed set the compiled Electrolyte._solid_newton solves the
  speciation's equations and the solids' saturation together (Newton in ln n and the solids'
  amounts); the liquid it finds is checked by the core's own speciation and fugacities, like
  every liquid. Where that method does not settle, the amounts s solve SI(s) = 0 by Newton's
  method around the core's speciation (its exact derivative at the solution: the core's
  equations linearised in ln n, the activity coefficients' derivatives by differences), carried
  on by Broyden's update.
- Flashes with solids: the same active set around the front door's verified two-phase flash of
  the feed less the solids.

A solid's content in the apparent components is the combination of components that carries the
same reaction invariants (elements and charge) as its dissolution products; so the liquid stays
a composition of the system's components and the core is called as everywhere else.

The modules: ``data`` (the solids, ln Ksp, saturation indices, fitting ln Ksp), ``speciation``
(the core's liquid next to solids, shared), ``active_set`` (which solids are present and their
amounts, shared), ``equilibrium`` (the solid-liquid equilibrium), ``thermo`` (a solid's enthalpy
and entropy), ``flash`` (flashes with solids, the scaling temperature). This package names what
the rest of velmora and its users take from them.
"""

# Imported where used, not here: scipy.optimize (~0.4 s to import), the compiled core and
# activity model, and phasekit (`import velmora.brinequil` runs this package's __init__ and
# loads no sibling of the core but ionactivity).

from .active_set import (
    ACTIVE_MAX,
    BROYDEN_RATE,
    MAX_DROP,
    NEWTON_MAX,
    RANK_TOL,
    ROUGH_TOL,
    SET_REVISITS,
    SI_TOL,
    START_SWEEPS,
    _active_set,
    _exchange,
    _joining,
    _max_solids,
    _newton,
    _start,
)
from .data import LN10, Solids, fit_ksp, ln_iap, saturation_indices
from .equilibrium import _joint_active_set, _verify, solid_liquid
from .flash import (
    DRY_GRID,
    DRY_MARGIN,
    HS_NAMES,
    T_MATCH,
    _boils_dry,
    _finish,
    _flash_hs,
    _flash_t_by_vapor_fraction,
    _Split,
    _three_phase,
    flash_si_tol,
    flash_solids,
    scaling_temperature,
)
from .liquid import (
    FD_STEP,
    ROUGH_SPECIATION_TOL,
    SPECIATION_MAXIT,
    SPECIATION_TOL,
    TRACE_X,
    _app,
    _app_vector,
    _dlnx_ds,
    _every,
    _Liquid,
    _tight_state,
    nonnegative_form,
)
from .thermo import CONTENT_STEP, solid_enthalpy, solid_entropy

__all__ = [
    "Solids",
    "saturation_indices",
    "solid_liquid",
    "flash_solids",
    "flash_si_tol",
    "scaling_temperature",
    "solid_enthalpy",
    "solid_entropy",
    "ln_iap",
    "fit_ksp",
    "SI_TOL",
]
