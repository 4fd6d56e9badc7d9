"""Engine input texts and the parameter run.

Input text (written by ``input_header``, one statement per line, names in double quotes when
they contain blanks):

    TITLE velmora engine input
    PROPERTY-METHOD eNRTL
    COMPONENTS
        <component name> <alias>            one line per component
    HENRY-COMPS <name> ...                  optional
    CHEMISTRY <cid>
        SPECIES <name> ...
        REACTION <kind> <coef> <name> ... [K <A> <B> <C> <D>]
    END

and requests as paragraphs after it ("PARAMETER-REPORT ALL"). The components are looked up
in the databank by alias (case-insensitive when not exact); the chemistry's other species by
their own names. The report follows docs/report-format.md, under the component names.
"""

import re

from . import databank

REQUEST = "PARAMETER-REPORT ALL"
_TOKEN = re.compile(r'"([^"]*)"|(\S+)')


def _q(name):
    name = str(name)
    if '"' in name or "\n" in name or not name:
        raise ValueError(f"name {name!r} cannot be written in an engine input")
    return f'"{name}"' if re.search(r"[\s#]", name) else name


def _num(v):
    return f"{float(v):.10g}"


def input_header(aliases, method, henry=None, chemistry=None):
    """The head of an engine input for the components {name: alias} with ``method``, the
    Henry components ``henry`` (names, or None) and ``chemistry`` (cid, chem) or None."""
    lines = ["TITLE velmora engine input", f"PROPERTY-METHOD {_q(method)}", "COMPONENTS"]
    for name, alias in aliases.items():
        lines.append(f"    {_q(name)} {_q(alias)}")
    if henry:
        lines.append("HENRY-COMPS " + " ".join(_q(h) for h in henry))
    if chemistry is not None:
        cid, chem = chemistry
        lines.append(f"CHEMISTRY {_q(cid)}")
        lines.append("    SPECIES " + " ".join(_q(s) for s in chem["species"]))
        for reac, kind, k in zip(chem["reactions"], chem["kinds"], chem["k"]):
            terms = " ".join(f"{_num(v)} {_q(s)}" for s, v in reac.items())
            line = f"    REACTION {_q(kind)} {terms}"
            if k is not None:
                line += " K " + " ".join(_num(k[c]) for c in "ABCD")
            lines.append(line)
        lines.append("END")
    return "\n".join(lines) + "\n"


def _tokens(line):
    return [m.group(1) if m.group(1) is not None else m.group(2) for m in _TOKEN.finditer(line)]


def parse_input(text):
    """The run described by an input text: a dict with "method", "aliases", "henry",
    "chemistry" (cid, species, reactions) and "requests"."""
    run = {"method": None, "aliases": {}, "henry": [], "cid": None, "species": [],
           "reactions": [], "requests": []}
    block = None
    for lineno, raw in enumerate(text.splitlines(), start=1):
        tok = _tokens(raw)
        if not tok or tok[0].startswith(";"):
            continue
        head = tok[0].upper()
        indented = raw[:1].isspace()
        if head == "TITLE":
            block = None
        elif head == "PROPERTY-METHOD" and len(tok) == 2:
            run["method"], block = tok[1], None
        elif head == "COMPONENTS" and len(tok) == 1:
            block = "components"
        elif head == "HENRY-COMPS":
            run["henry"].extend(tok[1:])
            block = None
        elif head == "CHEMISTRY" and len(tok) == 2:
            run["cid"], block = tok[1], "chemistry"
        elif head == "END" and block == "chemistry":
            block = None
        elif block == "chemistry" and head == "SPECIES":
            run["species"].extend(tok[1:])
        elif block == "chemistry" and head == "REACTION":
            run["reactions"].append(_parse_reaction(tok[1:], lineno))
        elif block == "components" and indented and len(tok) == 2:
            run["aliases"][tok[0]] = tok[1]
        elif " ".join(tok).upper() == REQUEST:
            run["requests"].append(REQUEST)
            block = None
        else:
            raise ValueError(f"engine input line {lineno}: cannot read {raw.strip()!r}")
    return run


def _parse_reaction(tok, lineno):
    kind, rest, k = tok[0], tok[1:], None
    at = [i for i in range(0, len(rest), 2) if rest[i] == "K"]  # a species may be named K
    if at:
        rest, kvals = rest[:at[0]], rest[at[0] + 1:]
        if len(kvals) != 4:
            raise ValueError(f"engine input line {lineno}: K needs 4 numbers (A B C D)")
        k = dict(zip("ABCD", map(float, kvals)))
    if len(rest) % 2:
        raise ValueError(f"engine input line {lineno}: a reaction is pairs of coefficient and species")
    stoich = {rest[i + 1]: float(rest[i]) for i in range(0, len(rest), 2)}
    return kind, stoich, k


def _lookup(alias):
    """Databank id of an alias: exact, else the unique case-insensitive match, else None."""
    if databank.known(alias):
        return alias
    hits = [s for s in databank.table("substances") if s.upper() == str(alias).upper()]
    return hits[0] if len(hits) == 1 else None


def _component_id(name, alias):
    """Databank id of the component `name` under `alias`; UnknownSpecies naming both if none."""
    sid = _lookup(alias)
    if sid is None:
        raise databank.UnknownSpecies(f"component {name!r} (alias {alias!r}) is not in the databank")
    return sid


def _species_ids(run):
    """[(name, databank id)] of the report's species: the components, then the chemistry's
    other species. A name the databank does not know raises UnknownSpecies naming it."""
    out, seen = [], set()
    for name, alias in run["aliases"].items():
        out.append((name, _component_id(name, alias)))
        seen.add(name)
    for name in run["species"]:
        if name in seen:
            continue
        sid = _lookup(name)
        if sid is None:
            raise databank.UnknownSpecies(f"species {name!r} is not in the databank")
        twin = [n for n, s in out if s == sid]
        if twin:
            raise ValueError(f"chemistry species {name!r} is the databank species of component "
                             f"{twin[0]!r}: name it {twin[0]!r} in the chemistry")
        out.append((name, sid))
        seen.add(name)
    for _, stoich, _ in run["reactions"]:
        for name in stoich:
            if name not in seen:
                raise ValueError(f"reaction species {name!r} is not a species of the chemistry")
    return out


def _src(text):
    return f"  # {text}" if text else ""


def build_report(run, overrides=None):
    """The parameter report (docs/report-format.md) of a parsed input run.

    ``overrides`` (for regressions): {(i, j): (A_ij, B_ij, A_ji, B_ji, alpha, note)} for
    molecule pairs and {(m, c, a): (A1, B1, A2, B2, alpha, note)} for molecule / ion-pair
    parameters, keyed by databank ids, used instead of the databank's values."""
    overrides = overrides or {}

    def mol_pair(i, j):
        if (i, j) in overrides:
            return overrides[(i, j)]
        if (j, i) in overrides:
            a1, b1, a2, b2, al, note = overrides[(j, i)]
            return a2, b2, a1, b1, al, note
        return databank.nrtl_pair(i, j)

    def el_pair(m, c, a):
        return overrides.get((m, c, a)) or databank.electrolyte_pair(m, c, a)

    if run["method"] is not None and run["method"].upper() != "ENRTL":
        raise ValueError(f"property method {run['method']!r}: the engine reports eNRTL parameters only")
    sp = _species_ids(run)
    ids = dict(sp)
    kind = {n: databank.kind(s) for n, s in sp}
    henry = list(run["henry"])
    for h in henry:
        if h not in ids:
            raise ValueError(f"Henry component {h!r} is not a component of the input")
    mols = [n for n, _ in sp if kind[n] != "ion"]
    solvents = [n for n in mols if kind[n] in ("water", "solvent") and n not in henry]
    cations = [n for n, s in sp if kind[n] == "ion" and databank.species(s)["charge"] > 0]
    anions = [n for n, s in sp if kind[n] == "ion" and databank.species(s)["charge"] < 0]
    born = databank.table("solvents")["born_radius"]
    tab = databank.table

    L = ["ENRTL-PARAMETER-REPORT 1",
         "# Written by the velmora engine from its databank (src/velmora/enginebridge/databank).",
         f"# databank {databank.digest()}",
         f"# Property method eNRTL; chemistry {run['cid'] or '(none)'}; "
         f"Henry components: {', '.join(henry) or 'none'}."]
    for kindr, stoich, k in run["reactions"]:
        eq = " + ".join(f"{-v:g} {s}" for s, v in stoich.items() if v < 0) + " = " + \
             " + ".join(f"{v:g} {s}" for s, v in stoich.items() if v > 0)
        kk = "" if k is None else "  ln K = {A} + {B}/T + {C} ln T + {D} T".format(**k)
        L.append(f"#   {kindr} {eq}{kk}")

    L += ["", "[SPECIES]                       kind, charge, molar mass kg/kmol"]
    for n, s in sp:
        rec = databank.species(s)
        L.append(f"{_q(n)}  {kind[n]}  {rec['charge']:+d}  {_num(rec['molar_mass'])}".replace(" +0 ", " 0 ")
                 + _src(f"{s}: IUPAC standard atomic weights" if n != s else "IUPAC standard atomic weights"))

    ions = cations + anions
    if ions:
        L += ["", "[BORN-RADIUS]                   m"]
        L += [f"{_q(n)}  {_num(born)}  # default estimate" for n in ions]

    L += ["", "[SOLVENT-DENSITY]               kg/m3"]
    for n in solvents:
        rec = (databank.solvent(ids[n]) or {}).get("density")
        if rec is None:
            raise ValueError(f"the databank has no density of solvent {n!r}")
        if rec["form"] == "kell":
            L.append(f"{_q(n)}  KELL" + _src(rec["source"]))
        else:
            c1 = rec["slope"]
            c0 = rec["rho_ref"] - c1 * rec["t_ref"]
            L.append(f"{_q(n)}  POLY  {_num(c0)} {_num(c1)}" + _src(rec["source"]))
    L += ["", "[SOLVENT-DIELECTRIC]            relative permittivity"]
    for n in solvents:
        rec = (databank.solvent(ids[n]) or {}).get("dielectric")
        if rec is None:
            raise ValueError(f"the databank has no dielectric constant of solvent {n!r}")
        form = "BRADLEY-PITZER" if rec["form"] == "bradley-pitzer" else "POLY"
        L.append(f"{_q(n)}  {form}  " + " ".join(map(_num, rec["coeffs"])) + _src(rec["source"]))

    pairs = []
    for a in range(len(mols)):
        for b in range(a + 1, len(mols)):
            p = mol_pair(ids[mols[a]], ids[mols[b]])
            if p is not None:
                pairs.append((mols[a], mols[b], p))
    if pairs:
        L += ["", "[NRTL-MOLECULE]                 tau_ij = A + B/T + F ln T + G T; alpha = C + D (T - 273.15)",
              "#  i  j  A_ij A_ji  B_ij B_ji  F_ij F_ji  G_ij G_ji  C D"]
        for i, j, (aij, bij, aji, bji, alpha, src) in pairs:
            fij, fji = (0.0, 0.0) if (ids[i], ids[j]) in overrides or (ids[j], ids[i]) in overrides \
                else databank.nrtl_ln_t(ids[i], ids[j])
            L.append(f"{_q(i)}  {_q(j)}  {_num(aij)} {_num(aji)}  {_num(bij)} {_num(bji)}  "
                     f"{_num(fij)} {_num(fji)}  0 0  {_num(alpha)} 0" + _src(src))

    if cations and anions:
        L += ["", "[NRTL-ELECTROLYTE]              tau_m,ca (A1 B1 F1 G1), tau_ca,m (A2 B2 F2 G2), alpha"
              " [, W1 (A B), W2 (A B)]"]
        for m in mols:
            if databank.species(ids[m])["kind"] == "salt":
                continue
            for c in cations:
                for a in anions:
                    a1, b1, a2, b2, alpha, src = el_pair(ids[m], ids[c], ids[a])
                    f1, f2 = (0.0, 0.0) if (ids[m], ids[c], ids[a]) in overrides \
                        else databank.electrolyte_ln_t(ids[m], ids[c], ids[a])
                    w = (0.0,) * 4 if (ids[m], ids[c], ids[a]) in overrides \
                        else databank.electrolyte_w(ids[m], ids[c], ids[a])
                    tail = "  " + " ".join(map(_num, w)) if any(w) else ""
                    L.append(f"{_q(m)}  {_q(c)}  {_q(a)}  {_num(a1)} {_num(b1)} {_num(f1)} 0  "
                             f"{_num(a2)} {_num(b2)} {_num(f2)} 0  {_num(alpha)}{tail}" + _src(src))

    sid_name = {s: n for n, s in sp}
    mixing = databank.mixing_records([ids[n] for n in cations + anions])
    if mixing:
        L += ["", "[NRTL-MIXING]                   U = U_A + U_B/T of a common ion and two of the other sign"]
        for rec in mixing:
            names = " ".join(_q(sid_name[rec[f]]) for f in ("ion", "ion_1", "ion_2"))
            L.append(f"{names}  {_num(rec['U_A'])} {_num(rec.get('U_B', 0.0))}" + _src(rec["source"]))

    dilute = databank.dilute_records([ids[n] for n in solvents], [ids[n] for n in cations + anions])
    if dilute:
        L += ["", "[NRTL-DILUTE]                   D = D_A + D_B/T of a solvent and an ion"]
        for rec in dilute:
            names = " ".join(_q(sid_name[rec[f]]) for f in ("molecule", "ion"))
            L.append(f"{names}  {_num(rec['D_A'])} {_num(rec.get('D_B', 0.0))}" + _src(rec["source"]))
    pairs = databank.dilute_pair_records([ids[n] for n in solvents], [ids[n] for n in cations + anions])
    if pairs:
        L += ["", "[NRTL-DILUTE-PAIR]              D = D_A + D_B/T of a solvent, a cation and an anion"]
        for rec in pairs:
            names = " ".join(_q(sid_name[rec[f]]) for f in ("molecule", "cation", "anion"))
            L.append(f"{names}  {_num(rec['D_A'])} {_num(rec.get('D_B', 0.0))}" + _src(rec["source"]))

    def per_molecule(file, what, fields):
        """Lines of the molecules that `file` has a record of; every solvent needs one."""
        for n in mols:
            rec = tab(file).get(ids[n])
            if rec is None:
                if n in solvents:
                    raise ValueError(f"the databank has no {what} of solvent {n!r}")
                continue
            L.append(f"{_q(n)}  {fields(ids[n], rec)}" + _src(rec["source"]))

    L += ["", "[VAPOR-PRESSURE]                ln(P/Pa) = C1 + C2/(T+C3) + C4 T + C5 ln T + C6 T^C7; Tmin Tmax in K"]
    per_molecule("vapor_pressure", "vapor pressure", lambda s, rec: " ".join(map(_num, databank.antoine(s)))
                 + f"  {_num(rec['tmin'])} {_num(rec['tmax'])}")

    L += ["", "[HENRY]                         ln(H/Pa) = a + b/T + c ln T + d T + e/T^2; Tmin Tmax in K"]
    for h in mols:
        lines = []
        for s in solvents:
            rec = databank.henry_record(ids[h], ids[s]) if h != s else None
            if rec is not None:
                c = list(rec["coeffs"]) + [0.0] * (5 - len(rec["coeffs"]))
                lines.append(f"{_q(h)}  {_q(s)}  " + " ".join(map(_num, c))
                             + f"  {_num(rec['tmin'])} {_num(rec['tmax'])}" + _src(rec["source"]))
        if h in henry and not lines:
            raise ValueError(f"the databank has no Henry constant of {h!r} in the solvents of this system")
        L += lines

    L += ["", "[CRITICAL-VOLUME]               m3/kmol"]
    per_molecule("critical_volume", "critical volume", lambda s, rec: _num(databank.vc(s)))

    if ions:
        L += ["", "[AQUEOUS-FORMATION-ENTHALPY]    J/kmol at 298.15 K"]
        # the complexes with the ions: their enthalpy is on the same reference
        ions = ions + [m for m in mols if databank.species(ids[m])["kind"] == "complex"]
        for n in ions:
            rec = tab("aqueous").get(ids[n])
            if rec is None:
                raise ValueError(f"the databank has no aqueous formation enthalpy of ion {n!r}")
            L.append(f"{_q(n)}  {_num(databank.dhf_aq(ids[n]))}" + _src(rec["source"]))
        L += ["", "[AQUEOUS-HEAT-CAPACITY]         Cp = C1 + C2 T + ... + C6 T^5, J/(kmol K)"]
        for n in ions:
            L.append(f"{_q(n)}  " + " ".join(map(_num, databank.cp_aq(ids[n])))
                     + _src(tab("aqueous")[ids[n]]["source"]))
    return seal("\n".join(L) + "\n")


CHECKSUM = "# checksum sha1 "


def seal(text):
    """The report text with its last line a SHA-1 checksum of every line above it, so that a
    truncated or edited copy (in a cache, say) can be told from the report the engine wrote."""
    import hashlib
    return f"{text}{CHECKSUM}{hashlib.sha1(text.encode('utf-8')).hexdigest()}\n"


def checksum_ok(text):
    """True when ``text`` ends with the checksum line of ``seal`` and the checksum matches."""
    import hashlib
    body, sep, tail = text.rstrip("\n").rpartition("\n")
    if not sep or not tail.startswith(CHECKSUM):
        return False
    return hashlib.sha1((body + "\n").encode("utf-8")).hexdigest() == tail[len(CHECKSUM):].strip()


def run_input(text, runid="run"):
    """Run an engine input. Returns (report text, listing): the report is the parameter
    report when the input requests PARAMETER-REPORT ALL."""
    if not databank.present():
        raise RuntimeError("the engine's databank is missing (package data not installed)")
    run = parse_input(text)
    if REQUEST not in run["requests"]:
        raise ValueError(f"engine run {runid}: the input requests no report ({REQUEST})")
    report = build_report(run)
    listing = (f"engine run {runid}: {len(run['aliases'])} components, "
               f"{len(run['species'])} chemistry species, {len(run['reactions'])} reactions; "
               f"report of {report.count(chr(10))} lines\n")
    return report, listing
