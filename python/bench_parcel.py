"""Times cu_vuser_msg_t through the parcel module, a pure-Python codec of the
same bytes written with struct, and the parcel tool run once per message.

    PYTHONPATH=build/python /usr/bin/python3 python/bench_parcel.py [--tool build/tools/parcel]

Prints microseconds per message and the ratios; a benchmark, not a test.
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import time
import timeit

import parcel

TYPE = "cu_vuser_msg_t"
# A message as a load test sends it: every field, texts of 25 to 49 bytes.
MESSAGE = {"fields": {
    "real_value": 1733829465.25, "text_1": "/scripts/checkout/step_07.py",
    "long_value_1": 1207, "hyper_value_1": 1733829465123456,
    "text_2": "vuser 1207: transaction login completed in 0.84 s",
    "int_value": -3, "text_3": "group=checkout host=gen-04", "long_value_2": 88,
    "hyper_value_2": 9007199254740993}}

# ---- The same bytes with struct: a presence word, then each present field --------------

FIELDS = [(name, kind) for name, kind in
          [("real_value", "d"), ("text_1", "s"), ("long_value_1", "i"), ("hyper_value_1", "Q"), ("text_2", "s"),
           ("int_value", "i"), ("text_3", "s"), ("long_value_2", "i"), ("hyper_value_2", "Q")]]


def py_encode(fields):
    presence = 0
    parts = [b""]
    for bit, (name, kind) in enumerate(FIELDS):
        if name not in fields:
            continue
        presence |= 1 << bit
        value = fields[name]
        if kind == "s":
            text = value.encode("utf-8") if isinstance(value, str) else value
            if b"\0" in text:
                raise ValueError(f"{name} holds a NUL")
            parts.append(struct.pack(">I", len(text)) + text + b"\0" * (-len(text) % 4))
        else:
            parts.append(struct.pack(">" + kind, value))
    parts[0] = struct.pack(">I", presence)
    return b"".join(parts)


def py_decode(data):
    (presence,), offset = struct.unpack_from(">I", data), 4
    if presence >> len(FIELDS):
        raise ValueError("presence bit past the fields")
    fields = {}
    for bit, (name, kind) in enumerate(FIELDS):
        if not presence >> bit & 1:
            continue
        if kind == "s":
            (length,) = struct.unpack_from(">I", data, offset)
            end = offset + 4 + length
            if end + (-length % 4) > len(data):
                raise ValueError(f"{name}: length past the bytes")
            text = data[offset + 4:end]
            if b"\0" in text or any(data[end:end + (-length % 4)]):
                raise ValueError(f"{name}: NUL or padding")
            try:
                fields[name] = text.decode("utf-8")
            except UnicodeDecodeError:
                fields[name] = text
            offset = end + (-length % 4)
        else:
            (fields[name],) = struct.unpack_from(">" + kind, data, offset)
            offset += struct.calcsize(">" + kind)
    return {"type": TYPE, "bytes_consumed": offset, "fields": fields}


def per_call(*cases, rounds=7):
    """Microseconds per call of each (function, arguments...) case: the best
    of `rounds` runs of about 0.2 s each, the cases taking turns, so that a
    change in the machine's load touches all of them alike."""
    timers = []
    for function, *arguments in cases:
        names = [f"a{i}" for i in range(len(arguments))]
        timer = timeit.Timer(f"f({', '.join(names)})", globals=dict(zip(names, arguments), f=function))
        timers.append((timer, timer.autorange()[0]))
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for i, (timer, number) in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e6)
    return best


def per_process(command, data, runs=30):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, input=data, capture_output=True, check=True)
        best = min(best, time.perf_counter() - start)
    return best * 1e6


def main():
    arguments = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    arguments.add_argument("--tool", default=os.environ.get("PARCEL_TOOL") or shutil.which("parcel"))
    tool = arguments.parse_args().tool

    data = parcel.encode(TYPE, MESSAGE)
    assert py_encode(MESSAGE["fields"]) == data and py_decode(data) == parcel.decode(TYPE, data)
    rows = [("decode", *per_call((parcel.decode, TYPE, data), (py_decode, data))),
            ("encode", *per_call((parcel.encode, TYPE, MESSAGE), (py_encode, MESSAGE["fields"])))]
    if tool:
        document = json.dumps(MESSAGE).encode()
        rows[0] += (per_process([tool, "decode", TYPE, "--raw", "--compact"], data),)
        rows[1] += (per_process([tool, "encode", TYPE, "--json"], document),)

    print(f"{TYPE}, {len(data)} bytes; microseconds per message")
    print("operation  module  struct  tool      struct/module  tool/module")
    for name, module, pure, *process in rows:
        spawned = f"{process[0]:8.0f}" if process else "       -"
        ratio = f"{process[0] / module:11.0f}" if process else "          -"
        print(f"{name:9}  {module:6.2f}  {pure:6.2f}  {spawned}  {pure / module:13.1f}  {ratio}")


if __name__ == "__main__":
    main()
