#!/usr/bin/env python3
"""The ratios CI guards, and the tables and chart of docs/performance.md.

    report.py --guard-cases                            the cases the guard profiles
    report.py --guard --callgrind DIR --iterations N   exit 1 when a ratio exceeds its limit
    report.py --benchmark JSON --callgrind DIR --iterations N --doc PAGE --chart SVG [--commit C --repetitions R]

The page's prose is written by hand: only what stands between <!-- begin NAME -->
and <!-- end NAME --> is replaced.  The guard needs the standard library alone.
"""

import argparse
import json
import os
import re
import sys

CHECKED = "cu_vuser_msg_t"
SIZES = [1, 16, 256, 4096]
HINTS = [("fit", "fits the batch"), ("0", "0"), ("256", "256 B"), ("1k", "1 KiB"), ("16k", "16 KiB"),
         ("64k", "64 KiB"), ("1m", "1 MiB")]
RECORD = {who: (f"{who}/record_send", f"{who}/record_receive") for who in ("parcel", "rpcgen", "floor")}


def batch(n, hint=None):
    return (f"parcel/batch_goheap_{hint}/{n}" if hint else f"parcel/batch_default_heap/{n}",)


# What CI holds parcel to, in instructions of CHECKED's cases: (what,
# numerator, denominator, limit), each side a sum of cases.  The goheap
# limits are what a message cost before the thread cache; the record-stream
# limits what it cost when the stream's windows came in.
GUARDS = [
    ("encode ≤ 2 × floor encode", ("parcel/encode",), ("floor/encode",), 2),
    ("encoded length ≤ 1/3 × encode", ("parcel/length",), ("parcel/encode",), 1 / 3),
    ("decode + free ≤ rpcgen decode + free", ("parcel/decode_free",), ("rpcgen/decode_free",), 1),
    ("message API decode + free ≤ 1.5 × rpcgen decode + free", ("api/decode_free",), ("rpcgen/decode_free",), 1.5),
    ("decode, new goheap ≤ 1.28 × decode, reused goheap", ("parcel/decode_new_goheap",), ("parcel/decode_goheap",),
     1.28),
    ("clone, new goheap ≤ 0.73 × clone + free", ("parcel/clone_new_goheap",), ("parcel/clone_free",), 0.73),
    ("record stream: send + receive ≤ 0.5 × rpcgen's", RECORD["parcel"], RECORD["rpcgen"], 0.5),
    ("record stream: send + receive ≤ 3.6 × the floor's", RECORD["parcel"], RECORD["floor"], 3.6),
] + [(f"batch of {n}, hint {label} ≤ 1.15 × the hint that fits", batch(n, hint), batch(n, "fit"), 1.15)
     for n in SIZES for hint, label in HINTS[1:]
     ] + [(f"batch of {n}, hint {label} ≤ 0.5 × the default heap", batch(n, hint), batch(n), 0.5)
          for n in SIZES[1:] for hint, label in HINTS]


def ratio(values, top, bottom, of=CHECKED):
    """sum(top) / sum(bottom) over the cases of type `of` in `values`, or None."""
    a, b = ([values.get(f"{case}/{of}") for case in side] for side in (top, bottom))
    return None if None in a + b or not sum(b) else sum(a) / sum(b)


def load_instructions(directory, iterations):
    """Instructions per message of each profile in `directory`, net of the
    empty loop's; `parcel_bench --drive` makes max(1, iterations // N) calls
    of a case that handles N messages a call (N: a batch case's size)."""
    totals = {}
    for name in os.listdir(directory) if directory and os.path.isdir(directory) else []:
        if name.endswith(".out"):
            with open(os.path.join(directory, name)) as f:
                count = next(int(line.split()[1]) for line in f if line.startswith(("summary:", "totals:")))
            totals[name[:-4].replace("__", "/")] = count
    loop = totals.pop("baseline/empty", 0) / max(iterations, 1)
    per_call = {case: int(case.split("/")[2]) if "/batch_" in case else 1 for case in totals}
    calls = {case: max(1, iterations // n) for case, n in per_call.items()}
    return {case: (count - loop * calls[case]) / (calls[case] * per_call[case]) for case, count in totals.items()}


def load_benchmark(path):
    """Per case the median CPU ns and allocations per message, and the run's context."""
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for entry in data["benchmarks"]:
        if entry.get("aggregate_name", "median") == "median":
            n = entry.get("messages", 1)
            rows.setdefault(entry.get("run_name", entry["name"]), {
                "ns": entry["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[entry["time_unit"]] / n,
                **{key: entry[counter] / n for key, counter in (("hooks", "hook_allocs"), ("mallocs", "mallocs"))
                   if counter in entry}})
    return rows, data.get("context", {})


def num(value, digits=None):
    """'–' when unmeasured; `digits` decimals, or three figures for times."""
    if value is None:
        return "–"
    return f"{value:.{digits}f}" if digits is not None else f"{value:.1f}" if value < 100 else f"{value:.0f}"


def table(head, rows, align=None):
    """A Markdown table, its columns after the first right-aligned."""
    align = align or ["---"] + ["---:"] * (len(head) - 1)
    return "\n".join(["| " + " | ".join(head) + " |", "|" + "|".join(align) + "|"] +
                     ["| " + " | ".join(map(str, row)) + " |" for row in rows])


# ---- the page's regions ---------------------------------------------------------------------

# CHECKED's cases as the table and the chart list them.
OPERATIONS = ["parcel/encode", "parcel/length", "api/encode", "rpcgen/encode", "floor/encode", "protobuf/serialize",
              "parcel/decode_goheap", "parcel/decode_new_goheap", "parcel/decode_free", "api/decode_free",
              "rpcgen/decode_free", "protobuf/parse", "parcel/clone_free", "parcel/clone_new_goheap",
              *(send for send, _ in RECORD.values()), *(receive for _, receive in RECORD.values())]


def guard_rows(instr):
    """(what, ratio, limit, margin) of every guard; margin: how far under
    the limit the ratio is, as a share of the limit."""
    for what, top, bottom, limit in GUARDS:
        value = ratio(instr, top, bottom)
        yield what, value, limit, None if value is None else 1 - value / limit


def regions(times, ns, instr, context, args):
    names = [key[len("bench.bytes."):] for key in context if key.startswith("bench.bytes.")]  # catalogue order
    rows = [(what, num(value, 2), "1/3" if limit == 1 / 3 else f"{limit:g}",
             "–" if margin is None else f"{100 * margin:.0f}%") for what, value, limit, margin in guard_rows(instr)]
    closest = min((row for row in rows[8:] if row[1] != "–"), key=lambda row: float(row[3][:-1]), default=None)
    if closest:  # the batch ratios stand in full in the batch table
        rows[8:] = [(f"the {len(rows) - 8} ratios of the batch table; the closest: {closest[0]}",) + closest[1:]]
    guard = table(["ratio of instructions", "this run", "limit", "margin"], rows)

    vuser = table(["case", "CPU ns", "instructions", "allocations (hooks)", "allocations (malloc)"], [
        (f"{case}", num(row["ns"]), num(instr.get(f"{case}/{CHECKED}"), 0),
         num(row.get("hooks") if case.startswith(("parcel/", "api/")) else None, 0), num(row.get("mallocs"), 0))
        for case in OPERATIONS if (row := times.get(f"{case}/{CHECKED}"))])

    pairs = [("parcel/encode", "rpcgen/encode"), ("parcel/decode_free", "rpcgen/decode_free"),
             ("parcel/decode_goheap", "rpcgen/decode_free"), ("parcel/encode", "protobuf/serialize"),
             ("api/decode_free", "protobuf/parse")]
    shapes = table(["type"] + [f"{a} / {b}" for a, b in pairs], [
        [f"`{shape}`"] + [num(ratio(ns, (a,), (b,), shape), 2) for a, b in pairs]
        for shape in names if f"rpcgen/encode/{shape}" in ns])

    batches = table(["batch", "hint", "CPU ns", "instructions", "/ the fitting hint (instr.)",
                     "/ the default heap (instr.)", "/ the default heap (time)"], [
        [n, label, num(ns.get(f"{batch(n, hint)[0]}/{CHECKED}")), num(instr.get(f"{batch(n, hint)[0]}/{CHECKED}"), 0)]
        + [num(ratio(values, batch(n, hint), other), 2) if hint else "–"
           for values, other in ((instr, batch(n, "fit")), (instr, batch(n)), (ns, batch(n)))]
        for n in SIZES for hint, label in HINTS + [(None, "default heap")]], ["---:", "---"] + ["---:"] * 5)

    columns = ["parcel/encode", "parcel/length", "parcel/decode_free", "parcel/decode_goheap",
               "parcel/decode_new_goheap", "parcel/clone_free", "api/encode", "api/decode_free"]
    types = table(["type", "bytes"] + columns, [
        [f"`{name}`", context.get(f"bench.bytes.{name}", "")] + [num(ns.get(f"{case}/{name}")) for case in columns]
        for name in names])

    run = (f"- {context.get('date', '?')}, commit {args.commit}; {context.get('num_cpus', '?')} CPUs at "
           f"{context.get('mhz_per_cpu', '?')} MHz; load average "
           f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', [])) or '?'} when the run started\n"
           f"- {args.repetitions} repetitions of each case, medians; callgrind over {args.iterations} messages a case\n"
           f"- protobuf anchors: {context.get('bench.protobuf', '?')}; process-wide malloc counts: "
           f"{context.get('bench.process_wide_mallocs', '?')}")
    return {"guard": guard, "vuser": vuser, "shapes": shapes, "batches": batches, "types": types, "run": run}


def fill(page, texts):
    """`page` with each marked region's text replaced by texts[NAME]."""
    page = re.sub(r"<!-- begin (\S+) -->\n.*?<!-- end \1 -->",
                  lambda m: f"<!-- begin {m[1]} -->\n{texts.pop(m[1])}\n<!-- end {m[1]} -->", page, flags=re.S)
    if texts:
        sys.exit(f"report.py: the page has no region {', '.join(texts)}")
    return page


def chart(path, ns, instr):
    """CHECKED's operations in time and in instructions, coloured by
    implementation; with no date or random ids in the file, so that the
    same numbers give the same bytes."""
    import matplotlib
    matplotlib.use("svg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"svg.hashsalt": "parcel", "svg.fonttype": "none", "font.size": 9})
    colours = {"parcel": "#2f6db5", "api": "#6a9fd8", "rpcgen": "#d07a2c", "floor": "#4a9a55", "protobuf": "#9a5aa8"}
    rows = [case for case in OPERATIONS if f"{case}/{CHECKED}" in ns]
    figure, panels = plt.subplots(1, 2, sharey=True, figsize=(10, 0.25 * len(rows) + 1.2))
    for panel, title, values in ((panels[0], "CPU time, ns (median)", ns), (panels[1], "instructions (callgrind)", instr)):
        heights = [values.get(f"{case}/{CHECKED}", 0) for case in rows]
        panel.bar_label(panel.barh(range(len(rows)), heights, color=[colours[case.split("/")[0]] for case in rows]),
                        labels=[num(h) for h in heights], padding=2)
        panel.set_title(title)
        panel.margins(x=0.15)
        panel.spines[["top", "right"]].set_visible(False)
    panels[0].set_yticks(range(len(rows)), rows)
    panels[0].invert_yaxis()
    figure.suptitle(f"{CHECKED}: cost per message (shorter is faster)")
    figure.tight_layout()
    figure.savefig(path, metadata={"Date": None})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--guard-cases", action="store_true")
    parser.add_argument("--guard", action="store_true")
    for option in ("--benchmark", "--callgrind", "--doc", "--chart", "--commit"):
        parser.add_argument(option)
    parser.add_argument("--iterations", type=int, default=0)
    parser.add_argument("--repetitions", type=int, default=0)
    args = parser.parse_args()
    if args.guard_cases:
        print("\n".join(sorted({f"{case}/{CHECKED}" for guard in GUARDS for case in guard[1] + guard[2]}
                               | {"baseline/empty"})))
        return 0
    instr = load_instructions(args.callgrind, args.iterations)
    if args.guard:
        failed = 0
        for what, value, limit, margin in guard_rows(instr):
            failed += value is None or value > limit
            print(f"  {'FAIL' if value is None or value > limit else 'PASS'}  {what}: {num(value, 3)} "
                  f"(limit {limit:.3g}" + ("" if margin is None else f", margin {100 * margin:.0f}%") + ")")
        print(f"{len(GUARDS) - failed} passed, {failed} failed")
        return 1 if failed else 0
    times, context = load_benchmark(args.benchmark)
    ns = {name: row["ns"] for name, row in times.items()}
    with open(args.doc) as f:
        page = fill(f.read(), regions(times, ns, instr, context, args))
    with open(args.doc, "w") as f:
        f.write(page)
    chart(args.chart, ns, instr)
    print(f"wrote {args.doc} and {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
