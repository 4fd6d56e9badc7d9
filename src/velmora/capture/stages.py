"""Absorber of equilibrium stages, for any amine of the databank.

The rate-based ``Absorber`` needs the CO2-amine kinetics, which the package has for MEA only.
A tertiary amine such as MDEA does not form a carbamate: CO2 reacts through base-catalysed
hydration, orders of magnitude slower, and we found no rate constant we could cite, so its
columns run on equilibrium stages. An equilibrium stage is the limit of fast transfer: it
overstates the capture of a real packed height, the more so the slower the amine, and the
number of stages is the user's stand-in for that height.

Each stage is adiabatic at the column pressure: its liquid and vapor leave at one T, the vapor
in equilibrium with the liquid (y_i P = p*_i of velmora's liquid for CO2, water and the amine),
the inert gases (N2, O2, ...) insoluble. Per stage the unknowns are the liquid's flows and T,
the equations the three component balances and the energy balance; Newton's method as the
other columns (a banded Jacobian whose liquid part comes from the liquids' exact derivatives).
Every answer is checked from fresh liquid states: elements to 1e-8, energy to 1e-6, else
``ConvergenceError`` naming the column, the stage and the residual.
"""

import copy
import math
import time
from collections.abc import Mapping
from typing import Any

import numpy as np

from ..checks import warns_at_caller
from ..errors import ConvergenceError
from .absorber import (
    _pressure,
    BALANCE_TOL,
    ENERGY_TOL,
    NEWTON_TOL,
    AbsorberResult,
    GasSide,
    Thermo,
    element_balance,
    newton,
    solve_stages,
)

NV = 4  # per stage: L_CO2, L_H2O, L_amine, T


class StageAbsorber:
    """``StageAbsorber(system, stages=10)``: ``run(gas, gas_T, liquid, liquid_T, P)`` ->
    ``AbsorberResult`` as ``Absorber.run`` (flows [mol/s], T [K], P [Pa]); the profiles are
    per stage from the bottom (``z`` the stage number), without flooding (no packing)."""

    name = "absorber"

    def __init__(self, system: Any, stages: int = 10) -> None:
        if stages < 1:
            raise ValueError("absorber: at least one equilibrium stage")
        self.system, self.stages = system, int(stages)
        Thermo(system, rate_based=False)  # checks the chemistry

    @warns_at_caller(once=True)
    def run(
        self,
        gas: Mapping[str, float],
        gas_T: float,
        liquid: Mapping[str, float],
        liquid_T: float,
        P: float,
        start: AbsorberResult | None = None,
    ) -> AbsorberResult:
        """``start``: a result of this column whose profiles Newton's method starts from."""
        _pressure(P)
        t0 = time.perf_counter()
        col = _Stages(self, gas, float(gas_T), liquid, float(liquid_T), float(P))
        x, its = solve_stages(col, NV, start, "absorber", "bottom", float(P))
        r = col.result(x, its)
        r.seconds = time.perf_counter() - t0
        r._x = x
        return r


class _Stages(GasSide):
    def __init__(self, ab: StageAbsorber, gas, gas_T, liquid, liquid_T, P):
        self.th = th = Thermo(ab.system, rate_based=False)
        self.ab, self.n, self.P = ab, ab.stages, P
        self.names = th.names
        self.comps = list(ab.system.components)
        self.inert_flows = {c: float(v) for c, v in gas.items() if c not in self.names and v > 0.0}
        if not self.inert_flows:
            raise ValueError("absorber: the gas needs an inert (N2)")
        self.g_in = np.array([float(gas.get(c, 0.0)) for c in self.names])
        self.l_in = np.array([float(liquid.get(c, 0.0)) for c in self.names])
        if self.l_in[1] <= 0.0 or self.l_in[2] <= 0.0 or self.g_in[0] <= 0.0:
            raise ValueError(
                f"absorber: the solvent needs water and {th.amine}, the gas CO2 "
                f"(solvent {dict(liquid)}, gas {dict(gas)})"
            )
        self.Tg_in, self.Tl_in = gas_T, liquid_T
        self.inert_total = sum(self.inert_flows.values())
        self.S = float(self.g_in.sum() + self.inert_total + self.l_in.sum())
        self.SE = self.S * 1e3
        self.H_lean = th.liquid_enthalpy(self.l_in, liquid_T)
        self.H_gas_in = self.gas_enthalpy(self.g_in, gas_T)

    def vapor(self, liq, T):
        """The vapor [mol/s of CO2, water, amine] leaving with the liquid liq at T: in
        equilibrium with it, the inerts carrying it."""
        p = self.th.liquid(liq, T).partial_pressures
        pv = np.array([p.get(c, 0.0) for c in self.names])
        free = self.P - pv.sum()
        if not free > 0.0:
            return None
        return self.inert_total * pv / free

    def residual(self, x):
        v = x.reshape(self.n, NV)
        F = np.empty_like(x)
        vap = []
        for j in range(self.n):
            g = self.vapor(v[j, 0:3], v[j, 3])
            if g is None:  # the liquid boils at P: no vapor in equilibrium with the inerts
                return np.full(x.size, math.inf)
            vap.append(g)
        for j in range(self.n):
            liq, T = v[j, 0:3], v[j, 3]
            if j == self.n - 1:
                l_up, H_up = self.l_in, self.H_lean
            else:
                l_up, H_up = v[j + 1, 0:3], self.th.liquid_enthalpy(v[j + 1, 0:3], v[j + 1, 3])
            if j == 0:
                g_dn, Hg_dn = self.g_in, self.H_gas_in
            else:
                g_dn, Hg_dn = vap[j - 1], self.gas_enthalpy(vap[j - 1], v[j - 1, 3])
            r = F[NV * j : NV * (j + 1)]
            r[0:3] = (liq + vap[j] - l_up - g_dn) / self.S
            r[3] = (
                self.th.liquid_enthalpy(liq, T) + self.gas_enthalpy(vap[j], T) - H_up - Hg_dn
            ) / self.SE
        return F

    def steps(self, x):
        v = x.reshape(self.n, NV)
        h = 1e-6 * np.maximum(np.abs(v), 1e-6 * self.S)
        h[:, 3] = 1e-4
        return h.ravel()

    def feasible(self, x):
        v = x.reshape(self.n, NV)
        return bool(np.all(v[:, 0:3] > 0.0) and np.all((v[:, 3] > 273.0) & (v[:, 3] < 420.0)))

    def newton(self, x0, maxit=40):
        return newton(
            self.residual, x0, self.n, NV, self.steps, self.feasible, (3,), NEWTON_TOL,
            maxit=maxit, thermo=self.th,
        )  # fmt: skip

    def guess(self):
        """Half of the CO2 absorbed, evenly over the stages (up to a loading of 0.4), no
        water or amine exchanged, every stage at the mean inlet T."""
        cap = max(0.4 * self.l_in[2] - self.l_in[0], 0.05 * self.l_in[2])
        total = min(0.5 * self.g_in[0], cap)
        v = np.zeros((self.n, NV))
        for j in range(self.n):
            v[j, 0:3] = self.l_in + [total * (self.n - j) / self.n, 0.0, 0.0]
            v[j, 3] = 0.5 * (self.Tl_in + self.Tg_in)
        return v.ravel()

    def with_stages(self, n):
        """This column with n stages (the same feeds, pressure and liquid model)."""
        col = copy.copy(self)
        col.n = n
        return col

    def result(self, x, its):
        v = x.reshape(self.n, NV)
        th, sysm, names = self.th, self.ab.system, self.names
        g_out = self.vapor(v[-1, 0:3], v[-1, 3])
        l_out, T_rich, T_top = v[0, 0:3], float(v[0, 3]), float(v[-1, 3])
        gin = dict(zip(names, self.g_in.tolist()), **self.inert_flows)
        gout = dict(zip(names, g_out.tolist()), **self.inert_flows)
        lin, lout = dict(zip(names, self.l_in.tolist())), dict(zip(names, l_out.tolist()))
        balance = element_balance([gin, lin], [gout, lout])
        # energy from fresh liquid states (not the cached ones the solve used)
        h_rich = sysm.liquid(T_rich, lout).H * l_out.sum()
        h_lean = sysm.liquid(self.Tl_in, lin).H * self.l_in.sum()
        e_in = h_lean + self.H_gas_in
        energy = abs(e_in - h_rich - self.gas_enthalpy(g_out, T_top)) / (
            abs(h_lean) + abs(self.H_gas_in)
        )
        worst = max(balance.values())
        if worst > BALANCE_TOL or energy > ENERGY_TOL:
            F = self.residual(x)
            j = int(np.argmax(np.abs(F))) // NV
            raise ConvergenceError(
                f"absorber: {'element' if worst > BALANCE_TOL else 'energy'} balance off by "
                f"{max(worst, energy):.3g} (relative); largest stage residual in stage "
                f"{j + 1} of {self.n} from the bottom",
                residual=max(worst, energy),
            )
        ys = [self.gas_y(self.vapor(v[j, 0:3], v[j, 3]))[0] for j in range(self.n)]
        r = AbsorberResult()
        r.gas_in, r.gas_out, r.liquid_in, r.liquid_out = gin, gout, lin, lout
        r.gas_in_T, r.gas_out_T, r.lean_T, r.rich_T = self.Tg_in, T_top, self.Tl_in, T_rich
        r.capture_pct = 100.0 * (1.0 - g_out[0] / self.g_in[0])
        r.lean_loading = float(self.l_in[0] / self.l_in[2])
        r.rich_loading = float(l_out[0] / l_out[2])
        r.cyclic_capacity = r.rich_loading - r.lean_loading
        r.intercooler_duties = []
        r.amine_loss = float(g_out[2])
        below = [self.g_in] + [self.vapor(v[j, 0:3], v[j, 3]) for j in range(self.n - 1)]
        r.profiles = {
            "z": np.arange(1.0, self.n + 1.0),
            "T_L": v[:, 3].copy(),
            "T_G": v[:, 3].copy(),
            "loading": v[:, 0] / v[:, 2],
            "y_CO2": np.array([y["CO2"] for y in ys]),
            "y_H2O": np.array([y["H2O"] for y in ys]),
            "N_CO2": np.array(
                [below[j][0] - self.vapor(v[j, 0:3], v[j, 3])[0] for j in range(self.n)]
            ),
            "flooding": np.full(self.n, math.nan),
        }
        r.flooding_fraction = math.nan
        r.balance, r.energy_balance = balance, float(energy)
        r.iterations, r.liquid_calls = its, th.calls
        return r
