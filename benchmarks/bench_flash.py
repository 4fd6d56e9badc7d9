"""TP flashes per second of the MEA-CO2-water liquid with N2 in the vapor (about 30 wt% MEA,
loading 0.4, 6 % N2 in the feed, 1 atm), with the model built from the databank's parameter
report; plus the cost of a flash at a given enthalpy."""

import time

import numpy as np

from engine_model import engine_model
from velmora import enginebridge

COMPS = ["H2O", "MEA", "CO2", "N2"]
HENRY = ["CO2", "N2"]
P = 101325.0


def model():
    el, _ = engine_model(COMPS, HENRY, "MEA-CO2-H2O", extra_species=["N2"])
    return el, enginebridge.property_package(COMPS, henry_comps=HENRY)


def rate(f, seconds=2.0):
    n, t0 = 0, time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        f(n)
        n += 1
    return n / (time.perf_counter() - t0)


el, pp = model()
z = np.array([0.80, 0.10, 0.04, 0.06])
temps = np.linspace(313.15, 393.15, 17)
for T in (313.15, 353.15, 383.15):
    r = el.flash_tp(pp, z, T, P)
    print(f"flash_tp at {T:.2f} K: beta {r['beta']:.4f}, {r['iterations']} iterations")
sweep = rate(lambda i: el.flash_tp(pp, z, temps[i % 17], P))
print(f"TP flashes per second (313-393 K sweep): {sweep:.0f}")
repeated = rate(lambda i: el.flash_tp(pp, z, 353.15, P))
print(f"TP flashes per second (repeated at 353 K): {repeated:.0f}")
H = el.flash_tp(pp, z, 353.15, P)["H"]
print(f"flashes at a given H per second: {rate(lambda i: el.flash(pp, z, P, H=H), 3.0):.1f}")
