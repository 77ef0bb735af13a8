#!/usr/bin/env python3
"""Turns a parcel_bench run into docs/performance.md and its chart.

Reads the Google Benchmark JSON (medians of the repetitions) and the
callgrind profiles of the cu_vuser_msg_t cases, prints the ratio checks with
PASS or FAIL, and writes the Markdown page and an SVG chart.  A missed ratio
is reported, never an error: the exit status is 0 whenever the inputs could
be read.

    report.py --benchmark run.json --callgrind DIR --iterations N
              --doc docs/performance.md --chart docs/performance.svg
"""

import argparse
import datetime
import json
import os
import re
import subprocess
import sys
from html import escape

CHECKED = "cu_vuser_msg_t"

# Operations of the per-type table: (case prefix, column heading).
PARCEL_COLUMNS = [
    ("parcel/encode", "encode"),
    ("parcel/length", "length"),
    ("parcel/decode_free", "decode + free"),
    ("parcel/decode_goheap", "decode, reused goheap"),
    ("parcel/decode_new_goheap", "decode, new goheap"),
    ("parcel/clone_free", "clone + free"),
    ("api/encode", "API encode"),
    ("api/decode_free", "API decode + free"),
]

# What each case of the checked type does, in the order the page lists them.
VUSER_CASES = [
    ("parcel/encode", "parcel encode (xdr_encode_T)"),
    ("parcel/length", "parcel encoded length"),
    ("api/encode", "message API encode"),
    ("rpcgen/encode", "rpcgen encode"),
    ("floor/encode", "floor encode"),
    ("protobuf/serialize", "protobuf serialize"),
    ("parcel/decode_goheap", "parcel decode, reused goheap"),
    ("parcel/decode_new_goheap", "parcel decode, new goheap + destroy"),
    ("parcel/decode_free", "parcel decode + xdr_free_p_T"),
    ("api/decode_free", "message API decode + free"),
    ("rpcgen/decode_free", "rpcgen decode + xdr_free"),
    ("floor/decode_arena", "floor decode, strings in an arena"),
    ("floor/decode_free", "floor decode + free"),
    ("protobuf/parse", "protobuf parse, fresh message"),
    ("parcel/clone_free", "parcel clone + free"),
]

IMPLEMENTATION_COLOURS = {
    "parcel": "#2f6db5",
    "api": "#6a9fd8",
    "rpcgen": "#d07a2c",
    "floor": "#4a9a55",
    "protobuf": "#9a5aa8",
}


# The batch cases: N decodes into one goheap made with each hint (or onto the
# default heap), the goheap made and destroyed inside the timed part.
BATCH_SIZES = [1, 16, 256, 4096]
BATCH_HINTS = [("fit", "fits the batch"), ("0", "0"), ("256", "256 B"), ("1k", "1 KiB"),
               ("16k", "16 KiB"), ("64k", "64 KiB"), ("1m", "1 MiB")]
HINT_LIMIT = 1.15      # any hint against the one that fits the batch
DEFAULT_HEAP_LIMIT = 0.5  # a goheap per batch against the default heap


def batch_case(n, hint=None):
    kind = "batch_default_heap" if hint is None else f"batch_goheap_{hint}"
    return f"parcel/{kind}/{n}"


# On a record stream over memory a message costs its send plus its receive:
# a ratio's side is then the sum of two cases.
def record_pair(implementation, suffix=""):
    return (f"{implementation}/record_send{suffix}", f"{implementation}/record_receive{suffix}")


def cases_of(side):
    """The cases a side of a ratio adds up: one case, or a tuple of them."""
    return side if isinstance(side, tuple) else (side,)


def total(source, side):
    """The sum over the cases of `side` of their value in `source` (CPU ns
    of a timing row, or instructions), or None when one is missing."""
    values = []
    for case in cases_of(side):
        value = source.get(f"{case}/{CHECKED}")
        if isinstance(value, dict):
            value = value["cpu"]
        if value is None:
            return None
        values.append(value)
    return sum(values)


# The targets on a record stream (time and instructions), as the checks
# report them: parcel's send + receive against rpcgen's and the floor's.
RECORD_RPCGEN_TARGET = 0.4
RECORD_FLOOR_TARGET = 3.0


# What CI holds parcel to, in callgrind instructions (scripts/bench-guard.sh):
# (numerator, denominator, limit, what), a side being a case or a tuple of
# cases added up.  The ratios that hold today and the batch ratios; a
# single message's goheap against the decode or clone itself may not cost
# more than before the thread cache (1020/798 and 1083/1497 instructions
# then); a message sent and received on a record stream may not cost more,
# against rpcgen and the floor, than when its windows came in (0.45 and
# 3.2 in instructions; the targets of 0.4 and 3 are met in time, see the
# checks).  The margin CI has is printed and written beside each.
def guards():
    rows = [
        ("parcel/encode", "floor/encode", 2.0, "encode ≤ 2 × floor encode"),
        ("parcel/length", "parcel/encode", 1 / 3, "encoded length ≤ 1/3 × encode"),
        ("parcel/decode_free", "rpcgen/decode_free", 1.0, "decode + xdr_free_p_T ≤ rpcgen decode + free"),
        ("api/decode_free", "rpcgen/decode_free", 1.5, "message API decode + free ≤ 1.5 × rpcgen decode + free"),
        ("parcel/decode_new_goheap", "parcel/decode_goheap", 1.28,
         "decode into a new goheap ≤ 1.28 × decode into a reused goheap (before: 1.28)"),
        ("parcel/clone_new_goheap", "parcel/clone_free", 0.73,
         "clone into a new goheap ≤ 0.73 × clone + free (before: 0.72)"),
        (record_pair("parcel"), record_pair("rpcgen"), 0.5,
         "record stream: send + receive ≤ 0.5 × rpcgen send + receive"),
        (record_pair("parcel"), record_pair("floor"), 3.6,
         "record stream: send + receive ≤ 3.6 × floor send + receive"),
    ]
    for n in BATCH_SIZES:
        for hint, label in BATCH_HINTS[1:]:
            rows.append((batch_case(n, hint), batch_case(n, "fit"), HINT_LIMIT,
                         f"batch of {n}, hint {label} ≤ {HINT_LIMIT} × hint that fits"))
    for n in BATCH_SIZES[1:]:
        for hint, label in BATCH_HINTS:
            rows.append((batch_case(n, hint), batch_case(n), DEFAULT_HEAP_LIMIT,
                         f"batch of {n}, hint {label} ≤ {DEFAULT_HEAP_LIMIT} × default heap"))
    return rows


def guard_results(instructions):
    """(what, value, limit, margin, verdict) of every guard; the margin is
    how far below its limit the ratio is, as a share of the limit."""
    results = []
    for top, bottom, limit, what in guards():
        a = total(instructions, top)
        b = total(instructions, bottom)
        value = a / b if a is not None and b else None
        if value is None:
            results.append((what, None, limit, None, "n/a"))
        else:
            results.append((what, value, limit, 1 - value / limit, "PASS" if value <= limit else "FAIL"))
    return results


def load_benchmark(path):
    """Median CPU ns and counters per case, and the run's context."""
    with open(path) as f:
        data = json.load(f)
    results = {}
    plain = {}
    for entry in data["benchmarks"]:
        name = entry.get("run_name", entry["name"])
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
        # Batch cases time a whole batch: per message is what compares.
        messages = entry.get("messages", 1) or 1
        row = {
            "cpu": entry["cpu_time"] * scale / messages,
            "real": entry["real_time"] * scale / messages,
            "hook_allocs": entry.get("hook_allocs"),
            "mallocs": entry.get("mallocs"),
            "items_per_second": entry.get("items_per_second"),
            "bytes_per_second": entry.get("bytes_per_second"),
        }
        if entry.get("aggregate_name") == "median":
            results[name] = row
        elif entry.get("run_type", "iteration") == "iteration":
            plain.setdefault(name, row)
    for name, row in plain.items():  # a run without repetitions
        results.setdefault(name, row)
    return results, data.get("context", {})


def callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise ValueError(f"{path}: no totals line")


def case_file(case):
    return case.replace("/", "__") + ".out"


def messages_per_call(case):
    """Messages one call of a case handles: N for the batch cases
    (parcel/batch_.../N/T), else 1."""
    parts = case.split("/")
    return int(parts[2]) if len(parts) == 4 and parts[1].startswith("batch_") else 1


def load_instructions(directory, iterations):
    """Instructions per message of every profiled case, net of the loop.
    `parcel_bench --drive` makes max(1, iterations // N) calls of a case
    that handles N messages a call."""
    if not directory or not os.path.isdir(directory) or iterations <= 0:
        return {}
    totals = {}
    for name in os.listdir(directory):
        if name.endswith(".out"):
            totals[name[:-4].replace("__", "/")] = callgrind_total(os.path.join(directory, name))
    baseline = totals.get("baseline/empty", 0) / iterations
    per_message = {}
    for case, total in totals.items():
        if case == "baseline/empty":
            continue
        n = messages_per_call(case)
        calls = max(1, iterations // n)
        per_message[case] = (total - baseline * calls) / (calls * n)
    return per_message


def annotate(path, *options, cwd=None):
    try:
        return subprocess.run(["callgrind_annotate", "--threshold=100", *options, path],
                              capture_output=True, text=True, check=True, cwd=cwd).stdout
    except (OSError, subprocess.CalledProcessError):
        return ""


COST = re.compile(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)$")


def function_costs(path):
    """The instructions of each function of a profile on its own (code
    inlined into it counts as its), each function's shared object, and the
    profile's total."""
    rows = {}
    objects = {}
    total = None
    for line in annotate(path, "--auto=no").splitlines():
        m = COST.match(line)
        if not m:
            continue
        count = int(m.group(1).replace(",", ""))
        what = m.group(2)
        if what.startswith("PROGRAM TOTALS"):
            total = count
            continue
        obj = ""
        om = re.search(r"\s\[([^\]]+)\]$", what)
        if om:
            obj = os.path.basename(om.group(1))
            what = what[: om.start()]
        # "file:function": code inlined from another file comes as a row of
        # its own under the function it was inlined into.
        _, _, function = what.partition(":")
        function = function.strip() or what
        if function.startswith("0x"):
            function = f"{obj}+{function} (no symbol)"
        function = function.replace("bench::(anonymous namespace)::", "")
        rows[function] = rows.get(function, 0) + count
        if obj:
            objects.setdefault(function, obj)
    return rows, objects, total


def hot_spots(path, limit=8):
    """The functions with the most instructions of their own in a profile:
    (function, shared object, instructions, share of the total)."""
    rows, objects, total = function_costs(path)
    if not total:
        return []
    ranked = sorted(rows.items(), key=lambda kv: -kv[1])[:limit]
    return [(name, objects.get(name, ""), count, 100.0 * count / total) for name, count in ranked]


# Where a profile's instructions are, by library: (label, shared objects
# whose names begin so).
LIBRARIES = [
    ("parcel's field codec (libfieldcodec)", ("libfieldcodec",)),
    ("parcel's filters and records (libparcel)", ("libparcel",)),
    ("parcel's services (heapkit, taskbase, hostshim)", ("libheapkit", "libtaskbase", "libhostshim")),
    ("the record stream (libtirpc)", ("libtirpc",)),
    ("the C library (copies, string routines, malloc)", ("libc.",)),
    ("the benchmark, with rpcgen's routines", ("parcel_bench",)),
]


def by_library(path, iterations):
    """Instructions per operation of a profile in each of LIBRARIES (the
    rest, the dynamic linker's, is left out)."""
    rows, objects, _ = function_costs(path)
    sums = [0.0] * len(LIBRARIES)
    for function, count in rows.items():
        obj = objects.get(function, "")
        for i, (_, prefixes) in enumerate(LIBRARIES):
            if obj.startswith(prefixes):
                sums[i] += count / iterations
                break
    return sums


def hot_lines(path, root, limit=10):
    """The library's source lines with the most instructions of their own:
    (file relative to the repository, line, source text, instructions)."""
    rows = []
    source = None
    number = None
    # callgrind_annotate names files below its working directory relatively.
    for line in annotate(path, "--auto=yes", "--context=0", cwd=root).splitlines():
        if line.startswith("-- Auto-annotated source:"):
            source = os.path.normpath(os.path.join(root, line.split(":", 1)[1].strip()))
            number = None
            continue
        if line.startswith("---") or "events annotated" in line:
            number = None
            continue
        m = re.match(r"-- line (\d+) -", line)
        if m:
            number = int(m.group(1))
            continue
        m = COST.match(line)
        if not m or number is None or source is None or line.lstrip().startswith("=>"):
            continue
        if m.group(2).startswith("=>"):
            continue
        if source.startswith(os.path.join(root, "COMMUNICATION_MSGS") + os.sep):
            rows.append((os.path.relpath(source, root), number, m.group(2).strip(),
                         int(m.group(1).replace(",", ""))))
        number += 1
    return sorted(rows, key=lambda r: -r[3])[:limit]


def fmt_ns(value):
    if value is None:
        return "–"
    return f"{value:.1f}" if value < 100 else f"{value:.0f}"


def fmt_count(value):
    if value is None:
        return "–"
    return f"{value:.0f}" if abs(value - round(value)) < 0.005 else f"{value:.2f}"


def fmt_ratio(value):
    return "–" if value is None else f"{value:.2f}"


class Checks:
    def __init__(self, times, instructions):
        self.times = times
        self.instructions = instructions
        self.rows = []

    def ratio(self, numerator, denominator, limit, what):
        for measure, source in (("time", self.times), ("instructions", self.instructions)):
            top = total(source, numerator)
            bottom = total(source, denominator)
            value = top / bottom if top is not None and bottom else None
            verdict = "n/a" if value is None else ("PASS" if value <= limit else "FAIL")
            self.rows.append((what, measure, value, limit, verdict))

    def allocations(self, prefix, expected, what, at_most=False):
        offenders = []
        measured = 0
        for name, row in self.times.items():
            if name.startswith(prefix + "/") and row.get("hook_allocs") is not None:
                measured += 1
                counts = [row["hook_allocs"]] + ([row["mallocs"]] if row.get("mallocs") is not None else [])
                if any(c - expected > 1e-9 or (not at_most and expected - c > 1e-9) for c in counts):
                    offenders.append(f"{name.split('/')[-1]} ({'/'.join(fmt_count(c) for c in counts)})")
        verdict = "n/a" if measured == 0 else ("PASS" if not offenders else "FAIL")
        self.rows.append((what, "allocations", None, expected, verdict, measured, offenders))


def run_checks(times, instructions, have_protobuf):
    c = Checks(times, instructions)
    c.ratio("parcel/encode", "rpcgen/encode", 0.25, "encode ≤ 1/4 × rpcgen encode")
    c.ratio("parcel/encode", "floor/encode", 2.0, "encode ≤ 2 × floor encode")
    c.ratio("parcel/length", "parcel/encode", 1 / 3, "encoded length ≤ 1/3 × encode")
    c.ratio("parcel/decode_goheap", "rpcgen/decode_free", 0.25, "decode into a reused goheap ≤ 1/4 × rpcgen decode + free")
    c.ratio("parcel/decode_free", "rpcgen/decode_free", 1.0, "decode + xdr_free_p_T ≤ rpcgen decode + free")
    if have_protobuf:
        c.ratio("api/decode_free", "protobuf/parse", 1.0, "message API decode + free ≤ protobuf parse")
    else:
        c.ratio("api/decode_free", "rpcgen/decode_free", 1.5, "message API decode + free ≤ 1.5 × rpcgen decode + free")
    c.ratio("api/encode", "parcel/encode", 1.2, "message API encode ≤ 1.2 × encode")
    c.ratio(record_pair("parcel"), record_pair("rpcgen"), RECORD_RPCGEN_TARGET,
            f"record stream: send + receive ≤ {RECORD_RPCGEN_TARGET:g} × rpcgen send + receive")
    c.ratio(record_pair("parcel"), record_pair("floor"), RECORD_FLOOR_TARGET,
            f"record stream: send + receive ≤ {RECORD_FLOOR_TARGET:g} × floor send + receive")
    c.allocations("parcel/encode", 0, "encode allocates nothing (all types)")
    c.allocations("parcel/length", 0, "encoded length allocates nothing (all types)")
    c.allocations("api/encode", 0, "message API encode allocates nothing (all messages)")
    c.allocations("parcel/decode_new_goheap", 1, "decode into a new goheap allocates at most the goheap (all types)",
                  at_most=True)
    return c.rows


def limit_text(limit):
    for text, value in (("1/4", 0.25), ("1/3", 1 / 3)):
        if abs(limit - value) < 1e-9:
            return text
    return f"{limit:g}"


# ---- the chart --------------------------------------------------------------------


def operation_group(case):
    """encode, decode or clone: the chart separates the three."""
    operation = case.split("/")[1]
    for group in ("decode", "parse", "clone"):
        if operation.startswith(group):
            return "decode" if group == "parse" else group
    return "encode"


def chart_svg(times, instructions):
    rows = [(label, case) for case, label in VUSER_CASES if f"{case}/{CHECKED}" in times]
    label_w, panel_w, gap, row_h, top = 300, 330, 60, 22, 64
    width = label_w + 2 * panel_w + gap + 20
    height = top + row_h * len(rows) + 40
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="DejaVu Sans, Arial, sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{width / 2}" y="20" text-anchor="middle" font-size="15" font-weight="bold">'
        f"{CHECKED}: cost per operation (shorter is faster)</text>",
    ]
    panels = [
        ("CPU time, ns (median)", lambda case: times.get(f"{case}/{CHECKED}", {}).get("cpu")),
        ("instructions (callgrind)", lambda case: instructions.get(f"{case}/{CHECKED}")),
    ]
    for p, (title, get) in enumerate(panels):
        x0 = label_w + p * (panel_w + gap)
        values = [get(case) for _, case in rows]
        peak = max([v for v in values if v is not None] or [1.0])
        out.append(f'<text x="{x0 + panel_w / 2}" y="{top - 22}" text-anchor="middle" font-weight="bold">{escape(title)}</text>')
        out.append(f'<line x1="{x0}" y1="{top - 8}" x2="{x0}" y2="{top + row_h * len(rows)}" stroke="#444"/>')
        for i, ((_, case), value) in enumerate(zip(rows, values)):
            y = top + i * row_h
            if value is None:
                out.append(f'<text x="{x0 + 4}" y="{y + 14}" fill="#888">not measured</text>')
                continue
            w = max(1.0, (panel_w - 70) * value / peak)
            colour = IMPLEMENTATION_COLOURS.get(case.split("/")[0], "#777")
            out.append(f'<rect x="{x0}" y="{y + 3}" width="{w:.1f}" height="{row_h - 7}" fill="{colour}"/>')
            text = fmt_ns(value) if p == 0 else f"{value:.0f}"
            out.append(f'<text x="{x0 + w + 4:.1f}" y="{y + 15}">{text}</text>')
    for i, (label, case) in enumerate(rows):
        y = top + i * row_h
        out.append(f'<text x="{label_w - 8}" y="{y + 15}" text-anchor="end">{escape(label)}</text>')
        if i > 0 and operation_group(case) != operation_group(rows[i - 1][1]):
            out.append(f'<line x1="10" y1="{y}" x2="{width - 10}" y2="{y}" stroke="#ccc" stroke-dasharray="4 3"/>')
    legend_y = top + row_h * len(rows) + 24
    x = 20
    for name, colour in IMPLEMENTATION_COLOURS.items():
        out.append(f'<rect x="{x}" y="{legend_y - 10}" width="12" height="12" fill="{colour}"/>')
        out.append(f'<text x="{x + 16}" y="{legend_y}">{name}</text>')
        x += 100
    out.append("</svg>")
    return "\n".join(out) + "\n"


def throughput_svg(rows):
    """Messages per second of the throughput cases, one bar each."""
    label_w, bar_w, row_h, top = 330, 420, 24, 44
    width = label_w + bar_w + 130
    height = top + row_h * len(rows) + 20
    peak = max([row["items_per_second"] for _, row in rows] or [1.0])
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="DejaVu Sans, Arial, sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{width / 2}" y="20" text-anchor="middle" font-size="15" font-weight="bold">'
        "Receiver throughput, messages per second (longer is faster)</text>",
        f'<line x1="{label_w}" y1="{top - 6}" x2="{label_w}" y2="{top + row_h * len(rows)}" stroke="#444"/>',
    ]
    for i, (name, row) in enumerate(rows):
        y = top + i * row_h
        value = row["items_per_second"]
        w = max(1.0, bar_w * value / peak)
        colour = IMPLEMENTATION_COLOURS.get(name.split("/")[1], "#777")
        label = name[len("throughput/"):].replace("/real_time", "")
        out.append(f'<text x="{label_w - 8}" y="{y + 15}" text-anchor="end">{escape(label)}</text>')
        out.append(f'<rect x="{label_w}" y="{y + 3}" width="{w:.1f}" height="{row_h - 7}" fill="{colour}"/>')
        out.append(f'<text x="{label_w + w + 4:.1f}" y="{y + 15}">{value / 1e6:.2f} M/s</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


# ---- the page ----------------------------------------------------------------------


def git_state(root):
    try:
        commit = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no", "--",
                                "COMMUNICATION_MSGS"], capture_output=True, text=True, check=True).stdout.strip()
        return commit + (" with uncommitted library changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


# The two record streams of the benchmark: (case suffix, what it is).
RECORD_STREAMS = [("", "memory"), ("_cached", "cache")]


def record_section(w, times, instructions, args):
    """The record-stream cases: send, receive and both, parcel against rpcgen
    and the floor, in time and in instructions, and where the instructions
    go."""
    if f"parcel/record_send/{CHECKED}" not in times:
        return
    w("## On a record stream")
    w("")
    w("A receiver reads messages from a record-marked stream (`xdrrec_create`,")
    w("RFC 5531 record marking) and runs the type's filter on it; a sender writes")
    w("them so. Here the stream's far end is memory (its read and write callbacks")
    w("copy from and to a buffer), so that neither a socket nor a second thread")
    w(f"enters: each `{CHECKED}`, all nine fields set, is one record. parcel's")
    w("sender runs the type's filter and ends the record; its receiver starts the")
    w("next record and runs `mxdr_p_T` into one `goheap_create(0)` per 256 messages,")
    w("made and destroyed inside the measured operation. rpcgen decodes into a")
    w("zeroed structure freed with `xdr_free`. The floor moves the same bytes")
    w("through the same stream with `XDR_PUTBYTES` and `XDR_GETBYTES` and no codec.")
    w("The sender pushes its 64 KiB buffer out every 256 records and whenever it")
    w("fills. In *memory*, the stream's bytes are 200 000 records (29 MB) that come")
    w("from and go to memory as a connection's do; in *cache*, 1024 records")
    w("(150 KB) that stay in the caches, which leaves the codecs' own cost. CPU ns")
    w("(median) and instructions (callgrind) per message; the ratios are of send +")
    w(f"receive. Targets: at most {RECORD_RPCGEN_TARGET:g} × rpcgen's and {RECORD_FLOOR_TARGET:g} × the floor's.")
    w("")
    w("| stream | implementation | send ns | receive ns | both ns | send instr. | receive instr. | both instr. "
      "| / rpcgen (time) | / rpcgen (instr.) | / floor (time) | / floor (instr.) |")
    w("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for suffix, stream in RECORD_STREAMS:
        for implementation in ("parcel", "rpcgen", "floor"):
            send, receive = record_pair(implementation, suffix)
            both = (send, receive)
            counts = [total(instructions, side) for side in (send, receive, both)]
            cells = [fmt_ns(total(times, send)), fmt_ns(total(times, receive)), fmt_ns(total(times, both))]
            cells += ["–" if count is None else f"{count:.0f}" for count in counts]
            for anchor, target in (("rpcgen", RECORD_RPCGEN_TARGET), ("floor", RECORD_FLOOR_TARGET)):
                for source in (times, instructions):
                    a, b = total(source, both), total(source, record_pair(anchor, suffix))
                    value = a / b if a is not None and b and implementation == "parcel" else None
                    cells.append("–" if value is None else f"{value:.2f}" + ("" if value <= target else " ✗"))
            w(f"| {stream} | {implementation} | " + " | ".join(cells) + " |")
    w("")
    w("✗: the target is missed. parcel reads and writes the stream's buffer in")
    w("place through the windows a record stream lends (`XDR_INLINE`): one window")
    w("for a whole message when sending, one per run of fixed-width fields when")
    w("receiving (a string's length word closes a run, its text opens the next),")
    w("and one word through the stream's operations where a record begins, since")
    w("a stream lends nothing of a fragment before its header is read; where a")
    w("window would cross a fragment's or the buffer's end the stream refuses it")
    w("and the codec moves that item through the stream's operations instead. In")
    w("instructions the floor is mostly the copying of bytes, which callgrind")
    w("counts one per byte for the `rep movsb` of `memcpy`, and which takes few")
    w("cycles; the codec's work (a walk over the plan, a byte swap per word, a")
    w("check, an allocation and a copy per string) is where parcel's instructions")
    w("beyond the floor go: see the profiles of `parcel/record_send` and")
    w("`parcel/record_receive` below, and by library here (the stream in memory,")
    w("instructions per message):")
    w("")
    profiles = {}
    for implementation in ("parcel", "rpcgen", "floor"):
        for case in record_pair(implementation):
            path = os.path.join(args.callgrind or "", case_file(f"{case}/{CHECKED}"))
            if args.callgrind and os.path.exists(path):
                profiles[case] = by_library(path, args.iterations)
    if len(profiles) == 6:
        heads = [f"{case.split('/')[0]} {case.split('/')[1].split('_')[1]}" for case in profiles]
        w("| library | " + " | ".join(heads) + " |")
        w("|---|" + "---:|" * len(heads))
        for i, (label, _) in enumerate(LIBRARIES):
            w(f"| {label} | " + " | ".join(f"{row[i]:.0f}" for row in profiles.values()) + " |")
        w("")
        parcel_rows = [profiles[case] for case in record_pair("parcel")]
        floor_rows = [profiles[case] for case in record_pair("floor")]
        own = sum(row[i] for row in parcel_rows for i in range(3))
        stream = sum(row[3] for row in parcel_rows)
        libc = sum(row[4] for row in parcel_rows)
        floor_stream = sum(row[3] for row in floor_rows)
        floor_libc = sum(row[4] for row in floor_rows)
        parcel_total = total(instructions, record_pair("parcel"))
        rpcgen_total = total(instructions, record_pair("rpcgen"))
        floor_total = total(instructions, record_pair("floor"))
        if parcel_total and rpcgen_total and floor_total:
            allowed = min(RECORD_RPCGEN_TARGET * rpcgen_total, RECORD_FLOOR_TARGET * floor_total)
            w(f"In instructions the targets would allow parcel {allowed:.0f} per message sent and")
            w(f"received, {allowed - floor_total:.0f} beyond the floor's {floor_total:.0f}. parcel's own code")
            w(f"(the first three rows) takes {own:.0f}; the record stream takes {stream:.0f} where the")
            w(f"floor's takes {floor_stream:.0f} (a call to lend each window, and the word that opens a")
            w(f"record); the C library {libc:.0f} where the floor's {floor_libc:.0f} (measuring, checking")
            w("and copying the three strings besides the stream's own copies).")
            memory = [os.path.join(args.callgrind, case_file(f"{case}/{CHECKED}"))
                      for case in ("parcel/encode", "parcel/decode_goheap")]
            if all(os.path.exists(path) for path in memory):
                on_memory = sum(sum(by_library(path, args.iterations)[:3]) for path in memory)
                w(f"On an aligned memory stream parcel's own code takes {on_memory:.0f} for an encode")
                w("and a decode into a goheap: the rest of what it takes here is the windows")
                w("a record stream lends, each asked for and its size counted first.")
            w("")


def before_section(w, times, instructions, before, args):
    """The cases of the checked type next to the same cases of an earlier
    library (--before, and --before-callgrind for its instructions)."""
    before_times, before_instructions = before
    w("## Against the library before")
    w("")
    w(f"The `{CHECKED}` cases, timed on the same machine just before this run with")
    w(f"the library as it was before ({args.before_label}), and counted by")
    w("callgrind where both were profiled. Per message.")
    w("")
    w("| case | ns before | ns now | now / before | instr. before | instr. now | now / before |")
    w("|---|---:|---:|---:|---:|---:|---:|")
    for case in sorted(before_times):
        if not case.endswith(f"/{CHECKED}") or case not in times or "/batch_" in case:
            continue
        a, b = before_times[case]["cpu"], times[case]["cpu"]
        x, y = before_instructions.get(case), instructions.get(case)
        w(f"| {case[:-len(CHECKED) - 1]} | {fmt_ns(a)} | {fmt_ns(b)} | {fmt_ratio(b / a if a else None)} | "
          f"{'–' if x is None else f'{x:.0f}'} | {'–' if y is None else f'{y:.0f}'} | "
          f"{fmt_ratio(y / x if x and y is not None else None)} |")
    w("")


def page(times, instructions, context, checks, hot, chart_name, args, throughput=(), throughput_chart="",
         before=None):
    types = []
    seen = set()
    for name in times:
        if name.startswith("parcel/encode/"):
            t = name.split("/")[-1]
            if t not in seen:
                seen.add(t)
                types.append(t)
    have_protobuf = any(n.startswith("protobuf/") for n in times)
    anchors = sorted({n.split("/")[-1] for n in times if n.startswith("rpcgen/")},
                     key=lambda t: types.index(t) if t in types else 99)
    cpu = lambda case: times.get(case, {}).get("cpu")

    def ratio(a, b):
        x, y = cpu(a), cpu(b)
        return x / y if x is not None and y else None

    lines = []
    w = lines.append
    w("# Performance")
    w("")
    w("How fast parcel encodes, measures, decodes and clones each of the thirty")
    w("types, next to three anchors on the same shapes and the same values: the")
    w("routines rpcgen generates for the same wire format (over libtirpc memory")
    w("streams), a hand-written big-endian codec of `cu_vuser_msg_t` (the floor),")
    w("and protobuf messages with the same fields.")
    w("")
    w("This page is written by `bash scripts/bench.sh`; every number below comes")
    w("from its last run. Do not edit it by hand: run the script again.")
    w("")
    w(f"![{CHECKED}: time and instructions per operation]({chart_name})")
    w("")
    w("## What is measured")
    w("")
    w("- encode: `xdr_encode_T` of a record with every field set, into a reused buffer;")
    w("  encoded length: `xdr_length_of_encoded_T` of the same record.")
    w("- decode + free: `xdr_decode_p_T` onto the default heap, then `xdr_free_p_T`.")
    w("- decode, reused goheap: `xdr_decode_p_T_to_given_goheap`, 256 decodes into")
    w("  one arena; the arena is made and destroyed between batches, outside the")
    w("  timed part (heapkit has no reset).")
    w("- decode, new goheap: `xdr_decode_p_T_to_new_goheap`, then `goheap_destroy`.")
    w("- clone + free: `xdr_clone_T` onto the default heap, then `xdr_free_p_T`.")
    w("- message API (seventeen messages): `parcel_encode_<msg>` into a reused")
    w("  buffer; `parcel_decode_<msg>`, then `parcel_free_<msg>`.")
    w("- rpcgen: the routines generated from `bench/anchors/shapes.x` over")
    w("  `xdrmem_create` streams; decode into a fresh zeroed structure, then `xdr_free`.")
    w("- floor: `bench/anchors/floor.cpp`, a direct big-endian codec of")
    w("  `cu_vuser_msg_t` with the same checks as parcel's decoder.")
    w("- protobuf: `bench/anchors/shapes.proto` (proto3, every field optional);")
    w("  `SerializeToArray` into a reused buffer; `ParseFromArray` into a fresh message.")
    w("- record stream: a message sent on and received from an `xdrrec_create`")
    w("  stream over memory by parcel, rpcgen and the floor (see below).")
    w("")
    w(f"## Checks on `{CHECKED}`")
    w("")
    w("Time is median CPU time per operation; instructions are counted by")
    w("callgrind over a fixed number of operations, net of the empty loop.")
    w("")
    w("| check | measure | ratio | limit | result |")
    w("|---|---|---:|---:|---|")
    for row in checks:
        if row[1] == "allocations":
            what, _, _, expected, verdict, measured, offenders = row
            detail = f"{measured} cases" + (": " + ", ".join(offenders) if offenders else "")
            w(f"| {what} | allocations (hooks/malloc) | {detail} | {expected} | **{verdict}** |")
        else:
            what, measure, value, limit, verdict = row
            w(f"| {what} | {measure} | {fmt_ratio(value)} | {limit_text(limit)} | **{verdict}** |")
    w("")
    w("How parcel gets there: each struct type's descriptor headers point at a")
    w("plan compiled from the catalogue (field offsets, storage shapes, masks of")
    w("the fields of each shape), so the field codec never asks which routine an")
    w("entry holds; it measures a record once and writes it in one pass over")
    w("the stream's buffer, and reads it likewise (on an aligned memory stream in")
    w("one pass, on a record stream one run of fixed-width fields at a time);")
    w("arena blocks are taken inline (`heapkit.h`); new records are zeroed with")
    w("plain stores.")
    w("What an encode still spends beyond the floor is a step of the generic")
    w("walk per field (table loads, a shape test, a byte swap, a store), the XDR")
    w("memory stream that every call creates and destroys, the C library's")
    w("string routines, and calls between the libraries. The message API's")
    w("encoder also sets each field of its record through the field codec, one")
    w("call per field: that, not the encoding, is what it adds to an encode.")
    w("")
    w("## A goheap per batch")
    w("")
    w(f"A receiver decodes a batch of `{CHECKED}` messages into one goheap and")
    w("destroys it: `goheap_create(hint)`, N × `xdr_decode_p_T_to_given_goheap`,")
    w("`goheap_destroy`, all inside the timed part, against N × `xdr_decode_p_T`")
    w("onto the default heap followed by N × `xdr_free_p_T`. Per message: CPU ns")
    w("(median) and instructions (callgrind). Targets: every hint within")
    w(f"{HINT_LIMIT} × the hint that fits the batch, and at most {DEFAULT_HEAP_LIMIT} × the default heap.")
    w("")
    w("| batch | hint | ns | instructions | / fitting hint (time) | / fitting hint (instr.) "
      "| / default heap (time) | / default heap (instr.) |")
    w("|---:|---|---:|---:|---:|---:|---:|---:|")

    def per(source, case):
        value = source.get(f"{case}/{CHECKED}")
        return value["cpu"] if isinstance(value, dict) else value

    def verdict(value, limit):
        return "–" if value is None else (f"{value:.2f}" + ("" if value <= limit else " ✗"))

    for n in BATCH_SIZES:
        fit, default = batch_case(n, "fit"), batch_case(n)
        for hint, label in BATCH_HINTS + [(None, "default heap")]:
            case = batch_case(n, hint)
            count = per(instructions, case)
            cells = [fmt_ns(per(times, case)), "–" if count is None else f"{count:.0f}"]
            for limit, other in ((HINT_LIMIT, fit), (DEFAULT_HEAP_LIMIT, default)):
                for source in (times, instructions):
                    a, b = per(source, case), per(source, other)
                    cells.append("–" if hint is None or a is None or not b else verdict(a / b, limit))
            w(f"| {n} | {label} | " + " | ".join(cells) + " |")
    w("")
    w("✗: the target is missed.")
    reused = instructions.get(f"parcel/decode_goheap/{CHECKED}")
    single = instructions.get(f"{batch_case(1)}/{CHECKED}")
    fit_one = instructions.get(f"{batch_case(1, 'fit')}/{CHECKED}")
    if reused and single and fit_one:
        w(f"For a batch of one, half the default heap ({single:.0f} instructions) is out")
        w(f"of reach: the decode alone into a goheap that already exists (\"decode,")
        w(f"reused goheap\" below) takes {reused:.0f} instructions, {reused / single:.2f} × the")
        w(f"default heap, which leaves {single / 2 - reused:.0f} instructions for making and")
        w(f"destroying the goheap; they take {fit_one - reused:.0f} even when its memory is reused.")
    w("")
    w("Memory of destroyed goheaps stays with the thread that destroyed them for")
    w("its next goheaps (see `heapkit.cpp`): at most `HEAPKIT_THREAD_CACHE_BYTES`,")
    w("4 MiB, in at most 16 blocks per thread. That holds every chunk of a")
    w("4096-message batch made without a hint (chunks of 1 KiB doubling to about")
    w("1 MiB, 2 MiB in all) or the first chunk of a goheap hinted at 1 MiB (1.5 MiB), so")
    w("neither the batches above nor a hint of that size go back to glibc, which")
    w("would trim them off the top of its heap and fault them in again on the")
    w("next batch; and it bounds what an idle thread holds to 4 MiB, well under")
    w("what glibc itself may keep per arena (its trim and mmap thresholds grow")
    w("to 32 MiB). Above the cap, larger blocks evict smaller ones and the rest")
    w("goes back to the allocator at once; a thread's blocks go back when it")
    w("ends. No process-wide setting is involved.")
    w("")
    record_section(w, times, instructions, args)
    if before:
        before_section(w, times, instructions, before, args)
    if args.guard_results:
        w("## What CI holds to")
        w("")
        w("`scripts/bench-guard.sh` (a step of `.ci/run`) counts the instructions of")
        w("these cases under callgrind with a few thousand messages each and fails")
        w("when a ratio exceeds its limit. The margin is how far under the limit")
        w("this run is, as a share of the limit.")
        w("")
        w("| ratio (instructions) | this run | limit | margin | result |")
        w("|---|---:|---:|---:|---|")
        for what, value, limit, margin, result in args.guard_results:
            margin_text = "–" if margin is None else f"{100 * margin:.0f}%"
            w(f"| {what} | {fmt_ratio(value)} | {limit_text(limit)} | {margin_text} | **{result}** |")
        w("")
    if throughput:
        w("## Throughput as a receiver sees it")
        w("")
        w(f"![throughput]({throughput_chart})")
        w("")
        w("One thread encodes a stream of messages and another decodes it, over a")
        w("socketpair with XDR record marking (`xdrrec_create`): each message is one")
        w("record, the index of its type then the record; the receiver decodes into")
        w("one goheap per 256 messages. The mix (`bench/throughput.cpp`), per")
        w("thousand messages, is weighted as a running test sends them: virtual-user")
        w("progress and status (`cu_vuser_msg_t` 300, the status union 200, run data")
        w("100) and driver messages (`cu_drv_msg_t` 100) are four fifths of it;")
        w("iteration ends (50), rendezvous (30 + 20), pauses (20), load-goal figures")
        w("(30 + 30 + 5 + 5) and bridge data (30) come next; debugging messages (5")
        w("each of six) flow only while a virtual user is debugged, and scenario")
        w("control (start, stop, end, attributes, quotas, collation: 2 to 10 each)")
        w("happens a handful of times per test. rpcgen has twins of six types only,")
        w("so the comparison with it carries those six with the same weights")
        w("(`mix6`); `mix30` is the whole mix. Bytes count the messages without the")
        w("record marks. Wall time, with the two threads on both cores: on this")
        w("shared machine it moves with whatever else runs, so the receiving")
        w("thread's own CPU time per message is given too (the sender's is not in it).")
        w("")
        w("| case | messages/s | MB/s | receiver CPU ns per message |")
        w("|---|---:|---:|---:|")
        for name, row in throughput:
            # Messages per iteration, from the rate and the wall time of one.
            per_iteration = row["items_per_second"] * row["real"] / 1e9
            receiver = fmt_ns(row["cpu"] / per_iteration) if "/socketpair/" in name and per_iteration else "–"
            w(f"| {name} | {row['items_per_second']:,.0f} | {row['bytes_per_second'] / 1e6:.1f} | {receiver} |")
        w("")
        one = dict(throughput).get("throughput/parcel/decode_loop/mix30/real_time/threads:1")
        two = dict(throughput).get("throughput/parcel/decode_loop/mix30/real_time/threads:2")
        if one and two:
            w(f"The decode loop alone (from memory, the same mix and batches) on two threads")
            w(f"handles {two['items_per_second'] / one['items_per_second']:.2f} × the messages of one thread:")
            w("calls share no writable state, each thread's goheaps reuse that thread's")
            w("memory, so two cores come close to doubling it as far as the other")
            w("builds on this shared machine leave them free.")
            w("")
    w(f"## `{CHECKED}` and its anchors")
    w("")
    w("| operation | CPU ns | instructions | allocations (hooks) | allocations (malloc) |")
    w("|---|---:|---:|---:|---:|")
    for case, label in VUSER_CASES:
        row = times.get(f"{case}/{CHECKED}")
        if row is None:
            continue
        hooks = row["hook_allocs"] if case.startswith(("parcel/", "api/")) else None
        w(f"| {label} | {fmt_ns(row['cpu'])} | {fmt_count(instructions.get(f'{case}/{CHECKED}'))} | "
          f"{fmt_count(hooks)} | {fmt_count(row['mallocs'])} |")
    w("")
    w("Allocations through the hooks are the blocks parcel takes through heapkit,")
    w("taskbase and hostshim; allocations from malloc count every block the")
    w("process takes from the C allocator during the operation (libtirpc's and")
    w("protobuf's included).")
    w("")
    w("## Every type")
    w("")
    w("CPU ns per operation (median). Unions carry the arm with the longest")
    w("encoding: " + ", ".join(f"`{k[len('bench.arm.'):]}` → `{v}`" for k, v in sorted(context.items())
                               if k.startswith("bench.arm.")) + ".")
    w("The last column is the allocations of a decode into a new goheap: the goheap itself at most, none")
    w("when the thread reuses the memory of a goheap it destroyed.")
    w("")
    w("| type | bytes | " + " | ".join(h for _, h in PARCEL_COLUMNS) + " | new-goheap allocations |")
    w("|---|---:|" + "---:|" * len(PARCEL_COLUMNS) + "---:|")
    for t in types:
        cells = [fmt_ns(cpu(f"{prefix}/{t}")) for prefix, _ in PARCEL_COLUMNS]
        size = context.get(f"bench.bytes.{t}", "")
        allocs = times.get(f"parcel/decode_new_goheap/{t}", {}).get("hook_allocs")
        w(f"| `{t}` | {size} | " + " | ".join(cells) + f" | {fmt_count(allocs)} |")
    w("")
    w("## Against the anchors, per shape")
    w("")
    w("Ratios of CPU time; below 1 means parcel is faster.")
    w("")
    heads = ["encode / rpcgen", "decode + free / rpcgen", "reused goheap / rpcgen decode + free"]
    if have_protobuf:
        heads += ["encode / protobuf serialize", "API decode + free / protobuf parse"]
    w("| type | " + " | ".join(heads) + " |")
    w("|---|" + "---:|" * len(heads))
    for t in anchors:
        cells = [ratio(f"parcel/encode/{t}", f"rpcgen/encode/{t}"),
                 ratio(f"parcel/decode_free/{t}", f"rpcgen/decode_free/{t}"),
                 ratio(f"parcel/decode_goheap/{t}", f"rpcgen/decode_free/{t}")]
        if have_protobuf:
            cells += [ratio(f"parcel/encode/{t}", f"protobuf/serialize/{t}"),
                      ratio(f"api/decode_free/{t}", f"protobuf/parse/{t}")]
        w(f"| `{t}` | " + " | ".join(fmt_ratio(c) for c in cells) + " |")
    w("")
    if hot:
        w("## Where parcel's instructions go")
        w("")
        w("From the callgrind profiles of the `cu_vuser_msg_t` cases: the functions")
        w("with the most instructions of their own (code inlined into a function")
        w("counts as that function's), then the library's hottest source lines")
        w("(line numbers of the commit measured).")
        w("")
        for case, spots, source_lines in hot:
            w(f"### {case}")
            w("")
            w("| function | object | instructions per op | share |")
            w("|---|---|---:|---:|")
            for name, obj, count, share in spots:
                w(f"| `{name}` | {obj} | {count / args.iterations:.0f} | {share:.1f}% |")
            w("")
            if source_lines:
                w("| source line | code | instructions per op |")
                w("|---|---|---:|")
                for path, number, text, count in source_lines:
                    code = text.replace("|", "\\|")
                    w(f"| {path}:{number} | `{code}` | {count / args.iterations:.1f} |")
                w("")
    w("## How to reproduce")
    w("")
    w("    bash scripts/bench.sh [build-dir]     # default build dir: /tmp/parcel-bench")
    w("")
    w("It installs what is missing (the protobuf anchors need libprotobuf-dev and")
    w("protobuf-compiler; without them the benchmark builds and runs without those")
    w("anchors and the message-API decode check falls back to 1.5 × rpcgen), builds")
    w("`parcel_bench` in Release with `-O2`, checks that parcel, rpcgen, the floor and")
    w("the message API produce the same bytes, times every case (Google Benchmark,")
    w(f"{args.repetitions} repetitions, medians), runs the `{CHECKED}` cases under")
    w(f"`valgrind --tool=callgrind` for {args.iterations} operations each, and writes")
    w("this page and its chart. Knobs: `BENCH_MIN_TIME` (seconds per repetition),")
    w("`BENCH_REPETITIONS`, `BENCH_CALLGRIND_ITERATIONS`, `BENCH_FILTER` (a regular")
    w("expression of the cases to time).")
    w("")
    w("One case by hand:")
    w("")
    w("    parcel_bench --list")
    w("    parcel_bench --benchmark_filter='/cu_vuser_msg_t$'")
    w("    valgrind --tool=callgrind --toggle-collect=bench_drive_op \\")
    w("        parcel_bench --drive=parcel/encode/cu_vuser_msg_t --iterations=20000")
    w("")
    w("## This run")
    w("")
    caches = ", ".join(f"L{c.get('level')} {c.get('type', '').lower()} {c.get('size', 0) // 1024} KiB"
                       for c in context.get("caches", []))
    load = context.get("load_avg")
    w(f"- date: {context.get('date', 'unknown')}")
    w(f"- library: commit {args.commit}")
    w(f"- host: {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz; {caches}")
    if load:
        w(f"- load average when the run started: {', '.join(f'{x:.2f}' for x in load)} (the machine is shared:")
        w("  CPU time is reported rather than wall time, and instruction counts do not")
        w("  depend on load)")
    w(f"- protobuf anchors: {context.get('bench.protobuf', 'unknown')}; process-wide malloc counts: "
      f"{context.get('bench.process_wide_mallocs', 'unknown')}")
    w("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--benchmark")
    parser.add_argument("--callgrind")
    parser.add_argument("--iterations", type=int, default=0)
    parser.add_argument("--repetitions", type=int, default=0)
    parser.add_argument("--doc")
    parser.add_argument("--chart")
    parser.add_argument("--throughput-chart",
                        help="the throughput chart (default: throughput.svg beside --chart)")
    parser.add_argument("--before", help="a benchmark JSON of the same cases from the library before a change")
    parser.add_argument("--before-label", default="an earlier commit", help="what --before measured")
    parser.add_argument("--before-callgrind", help="the callgrind profiles of the --before library, same iterations")
    parser.add_argument("--guard-cases", action="store_true",
                        help="print the cases the CI guard profiles, one a line, and exit")
    parser.add_argument("--guard", action="store_true",
                        help="check the CI guard's ratios on the --callgrind profiles; exit 1 if one fails")
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        help="the source tree that was built (for the source lines of the profiles)")
    parser.add_argument("--commit", help="what the tree was (default: asked of git in --root)")
    args = parser.parse_args()
    if args.guard_cases:
        cases = {"baseline/empty"}
        for top, bottom, _, _ in guards():
            cases.update(f"{case}/{CHECKED}" for case in cases_of(top) + cases_of(bottom))
        print("\n".join(sorted(cases)))
        return 0
    if args.guard:
        results = guard_results(load_instructions(args.callgrind, args.iterations))
        for what, value, limit, margin, verdict in results:
            margin_text = "" if margin is None else f", margin {100 * margin:.0f}%"
            print(f"  {verdict:4}  {what}: {fmt_ratio(value)} (limit {limit_text(limit)}{margin_text})")
        failed = sum(1 for row in results if row[4] != "PASS")
        print(f"{len(results) - failed} passed, {failed} failed")
        return 1 if failed else 0
    if not (args.benchmark and args.doc and args.chart):
        parser.error("--benchmark, --doc and --chart are needed to write the page")
    if not args.commit:
        args.commit = git_state(args.root)

    times, context = load_benchmark(args.benchmark)
    instructions = load_instructions(args.callgrind, args.iterations)
    have_protobuf = context.get("bench.protobuf") == "yes"
    checks = run_checks(times, instructions, have_protobuf)
    args.guard_results = guard_results(instructions) if instructions else []
    throughput = sorted((name, row) for name, row in times.items()
                        if name.startswith("throughput/") and row.get("items_per_second"))
    throughput_chart = args.throughput_chart or os.path.join(os.path.dirname(args.chart), "throughput.svg")

    hot = []
    if args.callgrind:
        for case in ("parcel/encode", "parcel/length", "api/encode", "parcel/decode_goheap",
                     "parcel/decode_free", "api/decode_free", "parcel/record_send", "parcel/record_receive"):
            path = os.path.join(args.callgrind, case_file(f"{case}/{CHECKED}"))
            if os.path.exists(path):
                hot.append((f"{case}/{CHECKED}", hot_spots(path), hot_lines(path, args.root)))

    with open(args.chart, "w") as f:
        f.write(chart_svg(times, instructions))
    if throughput:
        with open(throughput_chart, "w") as f:
            f.write(throughput_svg(throughput))
    with open(args.doc, "w") as f:
        f.write(page(times, instructions, context, checks, hot, os.path.basename(args.chart), args,
                     throughput, os.path.relpath(throughput_chart, os.path.dirname(os.path.abspath(args.doc))),
                     (load_benchmark(args.before)[0], load_instructions(args.before_callgrind, args.iterations))
                     if args.before else None))

    print(f"\nChecks on {CHECKED}:")
    for row in checks:
        if row[1] == "allocations":
            what, _, _, expected, verdict, measured, offenders = row
            print(f"  {verdict:4}  {what}" + (f": {', '.join(offenders)}" if offenders else ""))
        else:
            what, measure, value, limit, verdict = row
            print(f"  {verdict:4}  {what} [{measure}]: {fmt_ratio(value)} (limit {limit_text(limit)})")
    per_op = max(args.iterations, 1)
    for case, spots, source_lines in hot:
        print(f"\nHottest functions of {case} (own instructions per operation):")
        for name, obj, count, share in spots:
            print(f"  {share:5.1f}%  {count / per_op:8.0f}  {name}  [{obj}]")
        for path, number, text, count in source_lines[:5]:
            print(f"          {count / per_op:8.1f}  {path}:{number}  {text}")
    if args.guard_results:
        print("\nCI guard (instructions):")
        for what, value, limit, margin, verdict in args.guard_results:
            print(f"  {verdict:4}  {what}: {fmt_ratio(value)} (limit {limit_text(limit)})")
    print(f"\nWrote {args.doc} and {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
