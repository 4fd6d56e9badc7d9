"""A liquid state as a Pyomo grey box, and Ipopt (through cyipopt) for models that hold it.

Needs the optional extra ``velmora[pyomo]`` (Pyomo, cyipopt and an Ipopt library)::

    import pyomo.environ as pyo
    from pyomo.contrib.pynumero.interfaces.external_grey_box import ExternalGreyBoxBlock
    import velmora
    from velmora.pyomo import LiquidGreyBox, solve

    mea = velmora.System("MEA-CO2-H2O")
    app = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.3)
    m = pyo.ConcreteModel()
    m.liq = ExternalGreyBoxBlock(external_model=LiquidGreyBox(
        mea, 313.15, app, vary=["CO2"], outputs=["p_CO2", "pH"]))
    m.liq.inputs["T"].fix(313.15)
    m.target = pyo.Constraint(expr=m.liq.outputs["p_CO2"] == 5000.0)
    result = solve(m)                # Ipopt, limited-memory Hessian
    print(result.status, m.liq.inputs["CO2"].value / app["MEA"])

``LiquidGreyBox`` is an ``ExternalGreyBoxModel``: inputs ``"T"`` [K] and the apparent amounts
of the components in ``vary`` (the others held at ``amounts``), outputs by name as
``velmora.optimize.LiquidOutputs`` takes them (``"p_<component>"`` [Pa], ``"pH"``,
``"SI_<solid>"``, ``"m_<species>"`` [mol/kg], ``"H"`` [J], with ``solids=True``
``"s_<solid>"``); ``evaluate_jacobian_outputs``
gives the exact Jacobian (``jacobian="differences"``: central differences instead, for
comparison). It has no Hessian: Ipopt runs with ``hessian_approximation = limited-memory``.

``FlashGreyBox`` is the same for a TP flash: inputs ``"T"``, ``"P"`` [Pa] and feed amounts,
outputs ``"beta"`` (vapor fraction), ``"x_<component>"`` and ``"y_<component>"``, the exact
Jacobian of a two-phase flash (``FlashResult.jacobian``).

``solve(model)`` hands a Pyomo model with grey boxes to Ipopt through cyipopt. Pyomo's own
cyipopt interface reads the algebraic part of a model through the AMPL solver library
(PyNumero's ``pynumero_ASL``), which neither Debian nor PyPI ships; ``solve`` differentiates the
algebraic constraints and the objective with Pyomo's own reverse-mode differentiation instead.
Fixed variables (also fixed grey-box inputs) are held at their values.
"""

import time
from typing import Any, Mapping, Sequence

import numpy as np
import pyomo.environ as pyo
from pyomo.contrib.pynumero.interfaces.external_grey_box import (
    ExternalGreyBoxBlock,
    ExternalGreyBoxModel,
)
from pyomo.core.expr.calculus.derivatives import Modes, differentiate
from pyomo.core.expr.visitor import identify_variables
from scipy.sparse import coo_matrix

from .errors import VelmoraError
from .optimize import FlashOutputs, LiquidOutputs

INFINITY = 1e20  # Ipopt's "no bound"
SCALE_MIN, SCALE_MAX = 1e-8, 1e8  # bounds of the user scaling factors (a row or variable near 0)
AMOUNT_FLOOR = 1e-9  # lower bound of an amount input, relative to its starting amount


class _GreyBox(ExternalGreyBoxModel):
    """A grey box over an outputs map of ``velmora.optimize`` (``outputs_of``), inputs in the
    map's order starting at ``_x``."""

    outputs_of: Any
    _x: np.ndarray

    def _setup(self, jacobian: str, step: float) -> None:
        if jacobian not in ("exact", "differences"):
            raise ValueError(f'jacobian: "exact" or "differences", not {jacobian!r}')
        self.jacobian_kind, self.step = jacobian, float(step)

    def input_names(self) -> list[str]:
        return list(self.outputs_of.inputs)

    def output_names(self) -> list[str]:
        return list(self.outputs_of.outputs)

    def finalize_block_construction(self, pyomo_block: Any) -> None:
        # start at the given state; amounts and P stay positive, T within the liquid's range
        for name, v in zip(self.input_names(), self._x):
            var = pyomo_block.inputs[name]
            var.value = v
            if name == "T":
                var.setlb(273.15)
                var.setub(473.15)
            else:
                var.setlb(AMOUNT_FLOOR * v)
        for name, v in zip(self.output_names(), self.outputs_of.values(self._x)):
            pyomo_block.outputs[name].value = v

    def set_input_values(self, input_values: Any) -> None:
        self._x = np.array(input_values, dtype=float)

    def evaluate_outputs(self) -> np.ndarray:
        return self.outputs_of.values(self._x)

    def evaluate_jacobian_outputs(self) -> coo_matrix:
        if self.jacobian_kind == "exact":
            J = self.outputs_of.jacobian(self._x)
        else:
            J = self.outputs_of.jacobian_by_differences(self._x, self.step)
        rows, cols = np.indices(J.shape)
        return coo_matrix((J.ravel(), (rows.ravel(), cols.ravel())), shape=J.shape)


class LiquidGreyBox(_GreyBox):
    """The liquid of ``system`` at T and apparent ``amounts`` as a grey box: inputs ``"T"`` and
    the components ``vary``, ``outputs`` by name (see the module). ``jacobian``: "exact" or
    "differences" (central, relative step ``step``). ``solids``: the liquid in equilibrium
    with what precipitates (outputs ``"s_<solid>"`` too). ``outputs_of.solves`` counts the
    liquids solved."""

    def __init__(
        self,
        system: Any,
        T: float,
        amounts: Mapping[str, float],
        vary: Sequence[str],
        outputs: Sequence[str],
        jacobian: str = "exact",
        step: float = 1e-6,
        solids: bool = False,
    ) -> None:
        self._setup(jacobian, step)
        if "T" in vary:
            raise ValueError("vary: components only (T is always an input)")
        self.outputs_of = LiquidOutputs(system, T, amounts, ["T", *vary], outputs, solids)
        self._x = np.array([float(T)] + [float(amounts[c]) for c in vary])


class FlashGreyBox(_GreyBox):
    """The TP flash of ``system`` at T, P and ``feed`` as a grey box: inputs ``"T"``, ``"P"``
    and the feed amounts of ``vary``, ``outputs`` ``"beta"``, ``"x_<component>"``,
    ``"y_<component>"``, with ``solids=True`` ``"s_<solid>"`` (``velmora.optimize.FlashOutputs``);
    exact Jacobian of a two-phase flash, or central differences (``jacobian="differences"``)."""

    def __init__(
        self,
        system: Any,
        T: float,
        P: float,
        feed: Mapping[str, float],
        vary: Sequence[str],
        outputs: Sequence[str],
        jacobian: str = "exact",
        step: float = 1e-6,
        solids: bool = False,
    ) -> None:
        self._setup(jacobian, step)
        if "T" in vary or "P" in vary:
            raise ValueError("vary: components only (T and P are always inputs)")
        self.outputs_of = FlashOutputs(system, T, P, feed, ["T", "P", *vary], outputs, solids)
        self._x = np.array([float(T), float(P)] + [float(feed[c]) for c in vary])

    def evaluate_outputs(self) -> np.ndarray:
        y = self.outputs_of.values(self._x)
        if self.jacobian_kind == "exact":
            # a one-phase flash has no derivatives (ValueError): its point is no answer to Ipopt,
            # whose line search then steps back into the two-phase region rather than stopping
            # at the next Jacobian
            self.outputs_of.jacobian(self._x)
        return y


class IpoptResult:
    """The end of an Ipopt run: ``status`` (Ipopt's code; 0 solved, 1 solved to acceptable
    level), ``message``, ``iterations``, ``objective``, ``constraint_violation`` (largest,
    unscaled), ``evaluations`` (constraint evaluations asked for), ``jacobians``, ``seconds``."""

    def __init__(self, **kw: Any) -> None:
        self.status: int = kw["status"]
        self.message: str = kw["message"]
        self.iterations: int = kw["iterations"]
        self.objective: float = kw["objective"]
        self.constraint_violation: float = kw["constraint_violation"]
        self.evaluations: int = kw["evaluations"]
        self.jacobians: int = kw["jacobians"]
        self.seconds: float = kw["seconds"]

    @property
    def solved(self) -> bool:
        return self.status == 0

    def __repr__(self) -> str:
        return (
            f"IpoptResult(status={self.status}, iterations={self.iterations}, "
            f"objective={self.objective:.8g}, "
            f"constraint_violation={self.constraint_violation:.3g})"
        )


class _NLP:
    """A Pyomo model with grey boxes as Ipopt's callbacks: the free variables x, the
    algebraic constraints, then per grey box its outputs minus the output variables."""

    def __init__(self, model: Any) -> None:
        self.gbs = [
            b
            for b in model.component_data_objects(
                ExternalGreyBoxBlock, active=True, descend_into=True
            )
        ]
        self.cons = list(
            model.component_data_objects(pyo.Constraint, active=True, descend_into=True)
        )
        objs = list(model.component_data_objects(pyo.Objective, active=True, descend_into=True))
        if len(objs) > 1:
            raise ValueError(f"{len(objs)} active objectives; Ipopt takes one")
        self.obj = objs[0] if objs else None
        self.sign = -1.0 if self.obj is not None and self.obj.sense == pyo.maximize else 1.0
        # the free variables, in order of appearance
        self.vars: list[Any] = []
        self.pos: dict[int, int] = {}

        def add(v):
            if not v.fixed and id(v) not in self.pos:
                self.pos[id(v)] = len(self.vars)
                self.vars.append(v)

        self.con_vars = []
        for c in self.cons:
            vs = [v for v in identify_variables(c.body, include_fixed=False)]
            for v in vs:
                add(v)
            self.con_vars.append(vs)
        self.obj_vars = (
            [v for v in identify_variables(self.obj.expr, include_fixed=False)]
            if self.obj is not None
            else []
        )
        for v in self.obj_vars:
            add(v)
        self.gb_io = []
        for b in self.gbs:
            ex = b.get_external_model()
            ins = [b.inputs[k] for k in ex.input_names()]
            outs = [b.outputs[k] for k in ex.output_names()]
            for v in ins + outs:
                add(v)
            self.gb_io.append((ex, ins, outs))
        # Jacobian structure: algebraic rows, then per grey box a dense output x free-input
        # block and -1 on each output variable
        rows, cols = [], []
        for r, vs in enumerate(self.con_vars):
            rows += [r] * len(vs)
            cols += [self.pos[id(v)] for v in vs]
        r0 = len(self.cons)
        self.gb_rows = []
        for _, ins, outs in self.gb_io:
            free = [k for k, v in enumerate(ins) if not v.fixed]
            for i in range(len(outs)):
                for k in free:
                    rows.append(r0 + i)
                    cols.append(self.pos[id(ins[k])])
                if not outs[i].fixed:
                    rows.append(r0 + i)
                    cols.append(self.pos[id(outs[i])])
            self.gb_rows.append((r0, free))
            r0 += len(outs)
        self.m = r0
        self.structure = (np.array(rows, dtype=int), np.array(cols, dtype=int))
        self.evaluations = self.jacobians = self.iterations = 0
        self.refused = ""  # why the last point Ipopt asked for had no answer ("" if it had)

    def bounds(self):
        def b(v, lo):
            x = v.lb if lo else v.ub
            return (-INFINITY if lo else INFINITY) if x is None else float(x)

        lb = [b(v, True) for v in self.vars]
        ub = [b(v, False) for v in self.vars]
        cl = [-INFINITY if c.lb is None else float(c.lb) for c in self.cons]
        cu = [INFINITY if c.ub is None else float(c.ub) for c in self.cons]
        cl += [0.0] * (self.m - len(self.cons))
        cu += [0.0] * (self.m - len(self.cons))
        return lb, ub, cl, cu

    def _set(self, x):
        for v, xv in zip(self.vars, x):
            v.set_value(float(xv), skip_validation=True)
        for ex, ins, _ in self.gb_io:
            ex.set_input_values(np.array([pyo.value(v) for v in ins]))

    def objective(self, x):
        self._set(x)
        return self.sign * pyo.value(self.obj.expr) if self.obj is not None else 0.0

    def gradient(self, x):
        self._set(x)
        g = np.zeros(len(self.vars))
        if self.obj is not None and self.obj_vars:
            d = differentiate(self.obj.expr, wrt_list=self.obj_vars, mode=Modes.reverse_numeric)
            for v, dv in zip(self.obj_vars, d):
                g[self.pos[id(v)]] += self.sign * dv
        return g

    def constraints(self, x):
        import cyipopt

        self._set(x)
        self.evaluations += 1
        out = [pyo.value(c.body) for c in self.cons]
        for ex, _, outs in self.gb_io:
            try:
                y = ex.evaluate_outputs()
            except (VelmoraError, ValueError, ArithmeticError) as exc:
                # no liquid there: Ipopt shortens its step
                self.refused = f"{type(exc).__name__}: {exc}"
                raise cyipopt.CyIpoptEvaluationError(str(exc)) from exc
            out += (y - np.array([pyo.value(v) for v in outs])).tolist()
        return np.array(out)

    def jacobianstructure(self):
        return self.structure

    def jacobian(self, x):
        import cyipopt

        self._set(x)
        self.jacobians += 1
        vals = []
        for c, vs in zip(self.cons, self.con_vars):
            if vs:
                vals += list(differentiate(c.body, wrt_list=vs, mode=Modes.reverse_numeric))
        for (ex, _, outs), (_, free) in zip(self.gb_io, self.gb_rows):
            try:
                J = ex.evaluate_jacobian_outputs().toarray()
            except (VelmoraError, ValueError, ArithmeticError) as exc:
                self.refused = f"{type(exc).__name__}: {exc}"
                raise cyipopt.CyIpoptEvaluationError(str(exc)) from exc
            for i in range(len(outs)):
                vals += J[i, free].tolist()
                if not outs[i].fixed:
                    vals.append(-1.0)
        return np.array(vals)

    def intermediate(self, alg_mod, iter_count, *args):
        self.iterations = iter_count
        return True

    def scaling(self, x0, lb, ub):
        """(objective, variable, constraint) factors for Ipopt's user scaling at the start x0:
        each variable by its size (|x0|, else its largest finite bound, else 1), then the
        objective and each constraint row so that its largest derivative by a scaled variable
        is 1. Ipopt's own gradient-based scaling only scales down: a constraint on an output
        of 1e-6 (a molality of H3O+) would hold to its tolerance of 1e-8 in absolute terms,
        1 % of itself; scaled, every row holds to 1e-8 of a relative change of the inputs."""
        size = np.abs(np.asarray(x0, dtype=float))
        for j, v in enumerate(size):
            if not v > 0.0:
                ends = [abs(b) for b in (lb[j], ub[j]) if abs(b) < INFINITY and b != 0.0]
                size[j] = max(ends) if ends else 1.0
        rows, cols = self.structure
        d = np.abs(self.jacobian(x0)) * size[cols]
        top = np.zeros(self.m)
        np.maximum.at(top, rows, d)
        g = np.abs(self.gradient(x0)) * size
        obj = 1.0 / g.max() if g.size and g.max() > 0.0 else 1.0
        rowscale = np.where(top > 0.0, 1.0 / np.where(top > 0.0, top, 1.0), 1.0)
        clip = (SCALE_MIN, SCALE_MAX)
        return float(np.clip(obj, *clip)), np.clip(1.0 / size, *clip), np.clip(rowscale, *clip)


def solve(model: Any, options: Mapping[str, Any] | None = None, tee: bool = False) -> IpoptResult:
    """Ipopt on a Pyomo ``model`` holding ``ExternalGreyBoxBlock``s (and any algebraic
    constraints and at most one objective; none: a square system), through cyipopt. The
    solution is loaded into the model's variables. ``options``: Ipopt options over
    tol = 1e-8, hessian_approximation = limited-memory (the grey boxes give no Hessian) and
    bound_relax_factor = 0; ``tee``: print Ipopt's log."""
    import cyipopt

    nlp = _NLP(model)
    if not nlp.vars:
        raise ValueError("the model has no free variables")
    lb, ub, cl, cu = nlp.bounds()
    prob = cyipopt.Problem(n=len(nlp.vars), m=nlp.m, problem_obj=nlp, lb=lb, ub=ub, cl=cl, cu=cu)
    opts = {
        "hessian_approximation": "limited-memory",
        "tol": 1e-8,
        # Ipopt widens each bound by 1e-8 max(1, |bound|), an absolute 1e-8 mol for the amounts
        # below 1 mol, and returns its point clipped to the bounds as given: a trace amount
        # (1e-4 mol) converged 1e-8 past its bound came back 5e-5 off the point Ipopt solved,
        # near an equivalence point a pH 1.5e-4 away from the bound it held there
        "bound_relax_factor": 0.0,
        "print_level": 5 if tee else 0,
        "sb": "yes",
    }
    opts.update(options or {})
    for k, v in opts.items():
        prob.add_option(k, v)
    x0 = np.array(
        [v.value if v.value is not None else (v.lb if v.lb is not None else 0.0) for v in nlp.vars],
        dtype=float,
    )
    try:
        nlp.constraints(x0)
        if "nlp_scaling_method" not in opts:
            obj_s, x_s, g_s = nlp.scaling(x0, lb, ub)
            prob.set_problem_scaling(obj_scaling=obj_s, x_scaling=x_s, g_scaling=g_s)
            prob.add_option("nlp_scaling_method", "user-scaling")
    except cyipopt.CyIpoptEvaluationError:
        raise ValueError(
            f"no start for Ipopt: the grey boxes have no answer at the starting "
            f"point ({nlp.refused})"
        ) from None
    t0 = time.perf_counter()
    x, info = prob.solve(x0)
    seconds = time.perf_counter() - t0
    msg = info["status_msg"]
    msg = msg.decode() if isinstance(msg, bytes) else str(msg)
    if nlp.refused and int(info["status"]) not in (0, 1):
        msg += f" Last point without an answer: {nlp.refused}"
    # the violation at the point returned, the grey boxes' outputs evaluated there (Ipopt's
    # own g is not that point's after a failed evaluation)
    nlp._set(x)
    viol = 0.0
    for ex, _, outs in nlp.gb_io:
        try:
            y = ex.evaluate_outputs()
        except (VelmoraError, ValueError, ArithmeticError) as exc:
            viol = float("inf")
            msg += f" The point returned has no answer: {type(exc).__name__}: {exc}"
            continue
        for v, yv in zip(outs, y):
            if v.fixed:
                viol = max(viol, abs(float(yv) - float(v.value)))
            else:
                v.set_value(float(yv), skip_validation=True)
    for c, lo, up in zip(nlp.cons, cl, cu):
        body = float(pyo.value(c.body))
        viol = max(viol, lo - body, body - up)
    return IpoptResult(
        status=int(info["status"]),
        message=msg,
        iterations=nlp.iterations,
        objective=nlp.sign * float(info["obj_val"]),
        constraint_violation=viol,
        evaluations=nlp.evaluations,
        jacobians=nlp.jacobians,
        seconds=seconds,
    )
