"""Errors and warnings of the front door.

Bad input raises ValueError (or KeyError for an unknown name) before any computation; an answer
that cannot be verified raises ConvergenceError; results outside the range of the data behind a
correlation or a parameter set come with a RangeWarning.
"""

from collections.abc import Iterable


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

    def __init__(self, message: str, T: float | None = None, P: float | None = None,
                 feed: dict[str, float] | None = None, residual: float | None = None,
                 tried: Iterable[str] = ()) -> None:
        super().__init__(message)
        self.T, self.P, self.feed, self.residual, self.tried = T, P, feed, residual, tuple(tried)


class RangeWarning(UserWarning):
    """A temperature or a composition outside the range a correlation or a parameter set was
    fitted for: the result is an extrapolation."""


class DefaultParameterWarning(UserWarning):
    """A major ion pair of the liquid on the databank's default electrolyte parameters in a
    chemistry that no shipped fit covers: no data in the databank determine the pair. Not a
    range problem (not a RangeWarning); given once per system and pair."""


class ReportError(VelmoraError, RuntimeError):
    """The parameter report of a chemistry cannot be had: not in the cache and no engine to
    write it, or a cache folder that cannot be written."""


class ChemistryError(VelmoraError, ValueError):
    """A chemistry that cannot be used as given (its species and components do not match, an
    unknown name)."""


class SweepError(VelmoraError, RuntimeError):
    """A sweep that cannot return its whole table: a worker process died twice over the same
    points, an executor broke, or a point failed in a sweep asked to stop at the first failure
    (``errors="raise"``). Never a table with rows missing."""
