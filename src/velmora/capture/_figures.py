"""Figures of the capture results: drawn without pyplot (no window, no change of the caller's
matplotlib backend), saved where a path is given."""

from typing import Any


def panels(ncols: int, figsize: tuple[float, float], **kw: Any) -> tuple[Any, Any]:
    """(figure, axes) of one row of ``ncols`` panels."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=figsize)
    return fig, fig.subplots(1, ncols, **kw)


def finish(fig: Any, path: str | None) -> Any:
    """The figure laid out, saved to ``path`` when given (110 dpi)."""
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=110)
    return fig
