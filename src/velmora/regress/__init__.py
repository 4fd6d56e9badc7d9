"""Regression of databank parameters against published measurements.

Fit chosen parameters of any chemistry of the databank -- molecule / ion-pair parameters of the
electrolyte NRTL model (tau = A + B/T + F ln T), molecule-pair parameters, a shift of ln K of an
equilibrium reaction or of solids' ln Ksp -- to data sets of partial or total pressures, mean
ionic activity coefficients, osmotic coefficients, gas solubilities and the solubilities of
sparingly soluble salts (``DataSet``). The model is the
package's own: the engine's parameter report from the databank with the trial parameters as an
overlay, brinequil's speciation, fugacities and bubble pressure.

    from velmora import regress
    res = regress.fit([dataset, ...], [regress.Parameter("electrolyte_pair", ("H2O", "K+", "Cl-"),
                                                         "A_m_ca", 8.0, 0.0, 20.0), ...])
    print(res.summary()); res.write("kcl.toml"); res.plots("out/")

The objective is a weighted sum of squares of ln(calc/measured): each data set weighs its
points by 1/(sigma sqrt(n)) (sigma: the set's stated scatter in ln units), so that every set
counts alike whatever its number of points; optional priors (centre, width) and extra residuals
(constraints such as an infinite-dilution activity coefficient) are added. Bounded
Trust-Region-Reflective least squares of SciPy with the exact Jacobian of the residuals
(``regress.jacobian``: the activity model's parameter derivatives, through the speciation by the
implicit function theorem; ``jac="2-point"`` for differences); standard errors from the
Jacobian at the solution. The result is an overlay record (``FitResult.overlay``) carrying the data's citations,
which ``velmora.enginebridge.databank.load`` accepts.

``python -m velmora.regress <chemistry>`` repeats a shipped fit and prints its figures.
"""

from .core import DataSet, Parameter, FitResult, Model, evaluate, fit, statistics, to_toml

__all__ = ["DataSet", "Parameter", "FitResult", "Model", "evaluate", "fit", "statistics", "to_toml"]
