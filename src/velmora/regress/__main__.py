"""python -m velmora.regress <chemistry> [--write] [--plots=DIR] [--max-nfev=N] [--jac=2-point]

Repeats the shipped fit of a chemistry (see velmora.regress.shipped.FITS; "all" runs every one)
from the shipped databank without that fit's record, and prints the fitted parameters with
their standard errors and, per data set and temperature, the number of points, AARD and worst
factor. --write rewrites databank/fits/<chemistry>.toml beside the databank module it runs
from (run it from a source checkout to change the shipped fit); --plots=DIR writes the parity
and residual plots; --jac=2-point takes the Jacobian by differences instead of the exact one.
"""

import pathlib
import sys

from .shipped import FITS, run


def main(argv):
    names = [a for a in argv if not a.startswith("--")]
    opts = dict(a[2:].split("=", 1) if "=" in a else (a[2:], "1") for a in argv if a.startswith("--"))
    if not names:
        print(__doc__)
        print("fits:", ", ".join(FITS))
        return 2
    if names == ["all"]:
        names = list(FITS)
    for name in names:
        res, _ = run(name, max_nfev=int(opts.get("max-nfev", 200)), jac=opts.get("jac", "exact"))
        print(f"== {name}")
        print(res.summary())
        if "plots" in opts:
            print("plots:", ", ".join(res.plots(opts["plots"], stem=name)))
        if "write" in opts:
            from velmora.enginebridge import databank
            path = pathlib.Path(databank.FITS) / f"{name}.toml"
            res.write(path, header=f"Fit of {name} (written by python -m velmora.regress {name} --write;\n"
                                   "do not edit by hand). Data, parameters and figures under [fit].")
            print("written", path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
