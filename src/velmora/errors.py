"""Errors and warnings of the front door.

Bad input raises ValueError (or KeyError for an unknown name) before any computation; an answer
that cannot be verified raises ConvergenceError, also where a solve of the core failed (its error
is the cause); results outside the range of the data behind a correlation or a parameter set
come with a RangeWarning. Every error the package raises of its own is a VelmoraError.
"""

from collections.abc import Iterable

import numpy as np


class VelmoraError(Exception):
    """Base of every error the front door raises of its own (catch this to catch them all;
    bad input stays a ValueError or TypeError as well, see ``ChemistryError``)."""


class ConvergenceError(VelmoraError, RuntimeError):
    """No verified answer: the solver did not converge, and the recoveries tried did not either.

    Attributes: ``T`` [K], ``P`` [Pa], ``feed`` ({component: mole fraction}), ``residual``
    (the largest equilibrium or balance residual of the best attempt) and ``tried`` (the
    attempts made, in order).
    """

    T: float | None
    P: float | None
    feed: dict[str, float] | None
    residual: float | None
    tried: tuple[str, ...]

    def __init__(
        self,
        message: str,
        T: float | None = None,
        P: float | None = None,
        feed: dict[str, float] | None = None,
        residual: float | None = None,
        tried: Iterable[str] = (),
    ) -> None:
        super().__init__(message)
        self.T, self.P, self.feed, self.residual, self.tried = T, P, feed, residual, tuple(tried)


# What the core layer and the activity model say, as a ValueError, when a solve fails on its way
# rather than on its input: an iterate that diverged (brinequil model/true_amounts.cpp,
# equilibrium/flash.cpp), the logarithm of an amount that went non-positive (model/pyfloat.hpp,
# in the words of Python's math module), a root finder without a bracket or with a NaN value
# (equilibrium/solvers.cpp; the front door's Brent searches run it too, so a bracket refused
# there is a failed attempt, which SciPy's brentq's words were not), an iterate handed to the
# activity model off the simplex (ionactivity).
SOLVE_FAILURES = (
    "chemical equilibrium of the liquid diverged",
    "two-phase split of the electrolyte liquid diverged",
    "math domain error",
    "root finder: ",
    "mole fractions must be finite numbers",
    "mole fractions must have a positive sum",
)


def solve_failed(exc: BaseException) -> bool:
    """Whether ``exc``, raised inside a solve, says that the solve failed (an ArithmeticError,
    NumPy's LinAlgError, or a ValueError that starts with one of SOLVE_FAILURES): an attempt
    that found no answer. Any other ValueError there is bad input or a fault, and goes on to
    the caller."""
    if isinstance(exc, (ArithmeticError, np.linalg.LinAlgError)):
        return True
    return isinstance(exc, ValueError) and str(exc).startswith(SOLVE_FAILURES)


class RangeWarning(UserWarning):
    """A temperature or a composition outside the range a correlation or a parameter set was
    fitted for: the result is an extrapolation."""


class DefaultParameterWarning(UserWarning):
    """A major ion pair of the liquid on the databank's default electrolyte parameters in a
    chemistry that no shipped fit covers: no data in the databank determine the pair. Not a
    range problem (not a RangeWarning); given once per system and pair."""


class ReportError(VelmoraError, RuntimeError, ValueError):
    """The parameter report of a chemistry cannot be had or read: not in the cache and no
    engine to write it, a cache folder that cannot be written, or a text that is not a report
    of the format (docs/report-format.md). One class for the front door and the core's reader
    (``velmora.ionactivity.report``): a RuntimeError as the front door's errors of that kind
    are, a ValueError as the reader's always were."""


class NoSolutionError(VelmoraError, ValueError):
    """What is asked has no answer in the range the package covers: a liquid that boils dry, a
    vapor fraction a feed with salts cannot reach, an H, S or vapor fraction not reached between
    200 and 700 K, a bubble point outside them, a liquid saturated already. A ValueError: the
    request, not the solver, is at fault."""


def no_answer(exc: BaseException) -> bool:
    """Whether ``exc``, raised inside an attempt (a solve, a flash tried on the way), says that
    the attempt found no answer: a NoSolutionError, or a solve of the core that failed
    (``solve_failed``). Any other ValueError is bad input or a fault, and goes on."""
    return isinstance(exc, NoSolutionError) or solve_failed(exc)


class ChemistryError(VelmoraError, ValueError):
    """A chemistry that cannot be used as given (its species and components do not match, an
    unknown name)."""


class SweepError(VelmoraError, RuntimeError):
    """A sweep that cannot return its whole table: a worker process died twice over the same
    points, an executor broke, or a point failed in a sweep asked to stop at the first failure
    (``errors="raise"``). Never a table with rows missing."""
