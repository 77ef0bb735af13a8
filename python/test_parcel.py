"""The parcel module against the wire corpus, the parcel tool and bad input.

Run with the module on PYTHONPATH; PARCEL_CORPUS_DIR names the corpus
(default: conformance/cases beside this directory) and PARCEL_TOOL the
parcel tool (default: parcel on PATH; the comparison is skipped without it).
"""
import glob
import json
import math
import os
import random
import shutil
import struct
import subprocess
import unittest

import parcel

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.environ.get("PARCEL_CORPUS_DIR") or os.path.join(HERE, "..", "conformance", "cases")
TOOL = os.environ.get("PARCEL_TOOL") or shutil.which("parcel")
TYPES = {t["name"]: t for t in parcel.types()}
RANGES = {"int": (-2**31, 2**31 - 1), "long": (-2**31, 2**31 - 1), "u_int": (0, 2**32 - 1),
          "u_long": (0, 2**32 - 1), "u_hyper": (0, 2**64 - 1)}


def as_tool_json(value):
    """A module value as the tool's JSON writes it."""
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, bytes):
        return {"hex": value.hex()}
    return value


def tool_shape(type_name, message):
    """The module's dict as the tool's JSON: every field, absent ones as {"absent": true}."""
    out = {k: v for k, v in message.items() if k not in ("type", "bytes_consumed", "offset")}
    if "fields" in message:
        record = TYPES[message.get("arm_type", type_name)]
        out["fields"] = {f["name"]: as_tool_json(message["fields"][f["name"]]) if f["name"] in message["fields"]
                         else {"absent": True} for f in record["fields"]}
    return out


def as_decoded(value):
    """A value given to encode as decode gives it back: text that is UTF-8 as str."""
    try:
        return value.decode("utf-8") if isinstance(value, bytes) else value
    except UnicodeDecodeError:
        return value


def as_float32(type_name, decoded):
    """The tool's JSON with float fields (written shortest) as the float32 values they are."""
    if "fields" not in decoded:
        return decoded
    kinds = {f["name"]: f["kind"] for f in TYPES[decoded.get("arm_type", type_name)]["fields"]}
    return dict(decoded, fields={name: struct.unpack(">f", struct.pack(">f", value))[0]
                                 if kinds[name] == "float" and isinstance(value, float) else value
                                 for name, value in decoded["fields"].items()})


def random_value(rng, kind):
    if kind in RANGES:
        low, high = RANGES[kind]
        return rng.choice([low, high, 0, rng.randint(low, high)])
    if kind in ("float", "double"):
        bits = rng.getrandbits(32 if kind == "float" else 64)
        value = struct.unpack(">f" if kind == "float" else ">d",
                              bits.to_bytes(4 if kind == "float" else 8, "big"))[0]
        edge = [math.inf, -math.inf, -0.0, 5e-324 if kind == "double" else 2.0**-149, 1.5]
        value = rng.choice(edge + [value] * 3)
        return math.nan if math.isnan(value) else value
    length = rng.choice([0, 1, 3, 4, 5, rng.randint(0, 300)])
    if rng.random() < 0.5:
        return "".join(rng.choice("ab\u00e9\u20ac\U0001f600") for _ in range(length))
    return bytes(rng.randint(1, 255) for _ in range(length))  # rarely UTF-8


def random_records(rng):
    """(type name, message dict) for every type, every arm of a union and none."""
    for name, entry in TYPES.items():
        arms = [a["name"] for a in entry.get("arms", [])] + ["none"] if entry["kind"] == "union" else [None]
        for arm in arms:
            for _ in range(3):
                record = TYPES[next(a["type"] for a in entry["arms"] if a["name"] == arm)] if arm not in (
                    None, "none") else entry
                fields = {f["name"]: random_value(rng, f["kind"]) for f in record.get("fields", [])
                          if rng.random() < 0.7}
                yield name, ({"fields": fields} if arm is None else
                             {"arm": arm, "fields": fields if arm != "none" else {}})


class Corpus(unittest.TestCase):
    def test_every_case_as_the_corpus_says(self):
        files = sorted(glob.glob(os.path.join(CORPUS, "*.jsonl")))
        self.assertEqual(len(files), len(TYPES))
        for path in files:
            with open(path, encoding="utf-8") as lines:
                for case in map(json.loads, lines):
                    with self.subTest(type=case["type"], case=case["case"]):
                        data = bytes.fromhex(case["hex"])
                        if case["verdict"] == "valid":
                            message = parcel.decode(case["type"], data)
                            self.assertEqual(message["bytes_consumed"], case["consumed"])
                            self.assertEqual(tool_shape(case["type"], message), as_float32(case["type"], case["decoded"]))
                            self.assertEqual(parcel.encode(case["type"], message), data[:case["consumed"]])
                        else:
                            with self.assertRaises(parcel.DecodeError) as refused:
                                parcel.decode(case["type"], data)
                            error = refused.exception
                            self.assertEqual((error.code, error.offset, error.field, error.arm),
                                             (case["reason"], case["offset"], case.get("field"), case.get("arm")))


class AgainstTheTool(unittest.TestCase):
    @unittest.skipUnless(TOOL, "the parcel tool is not built")
    def test_random_records_encode_as_the_tool_encodes_them(self):
        rng = random.Random(28)
        for name, message in random_records(rng):
            with self.subTest(type=name, message=message):
                data = parcel.encode(name, message)
                self.assertEqual(len(data), parcel.encoded_length(name, message))
                document = dict(message, fields={k: as_tool_json(v) for k, v in message["fields"].items()})
                tool = subprocess.run([TOOL, "encode", name, "--json"], input=json.dumps(document).encode(),
                                      capture_output=True, check=True)
                self.assertEqual(data, tool.stdout)
                # Back through the module: the same fields (NaN compared as NaN).
                decoded = parcel.decode(name, data)
                self.assertEqual(decoded["bytes_consumed"], len(data))
                self.assertEqual(repr(decoded.get("fields", {})),
                                 repr({k: as_decoded(v) for k, v in message["fields"].items()}))


class BadInput(unittest.TestCase):
    def test_documented_exceptions(self):
        msg, union = "cu_vuser_msg_t", "cu_vuser_status_data_union_t"
        cases = [
            (TypeError, parcel.encode, (msg, [])), (TypeError, parcel.encode, (3, {})),
            (ValueError, parcel.encode, ("no_such_t", {})), (ValueError, parcel.encode, (msg, {"text": "a"})),
            (TypeError, parcel.encode, (msg, {1: 2})), (TypeError, parcel.encode, (msg, {"int_value": 1.0})),
            (TypeError, parcel.encode, (msg, {"int_value": "1"})), (TypeError, parcel.encode, (msg, {"text_1": 1})),
            (TypeError, parcel.encode, (msg, {"real_value": "1"})),
            (ValueError, parcel.encode, (msg, {"int_value": 2**31})),
            (ValueError, parcel.encode, (msg, {"int_value": -2**31 - 1})),
            (ValueError, parcel.encode, (msg, {"hyper_value_1": 2**64})),
            (ValueError, parcel.encode, (msg, {"hyper_value_1": -1})),
            (ValueError, parcel.encode, ("cu_vuser_run_data_t", {"u_value": 2**32})),
            (ValueError, parcel.encode, (msg, {"real_value": 10**400})),
            (ValueError, parcel.encode, ("cu_hps_input_data_t", {"hps_input": float.fromhex("0x1.ffffffp127")})),
            (ValueError, parcel.encode, (msg, {"text_1": "a\0b"})),
            (ValueError, parcel.encode, (msg, {"text_1": "\ud800"})),
            (ValueError, parcel.encode, (msg, {"type": union, "fields": {}})),
            (ValueError, parcel.encode, (msg, {"fields": {}, "extra": 1})),
            (ValueError, parcel.encode, (union, {})), (ValueError, parcel.encode, (union, {"arm": "nope"})),
            (ValueError, parcel.encode, (union, {"discriminant": 4})),
            (ValueError, parcel.encode, (union, {"arm": "end_arm", "discriminant": 0})),
            (ValueError, parcel.encode, (union, {"arm": "none", "fields": {"x": 1}})),
            (ValueError, parcel.encoded_length, ("no_such_t", {})),
            (TypeError, parcel.decode, (msg, "00000000")), (ValueError, parcel.decode, ("no_such_t", b"")),
            (parcel.DecodeError, parcel.decode, (msg, b"")),
            (parcel.DecodeError, parcel.decode_all, (msg, b"\0\0\0\0\0\0")),
            (TypeError, parcel.identify, (None,)),
        ]
        for error, function, arguments in cases:
            with self.subTest(function=function.__name__, arguments=arguments):
                self.assertRaises(error, function, *arguments)

    def test_hostile_bytes_decode_or_raise_decode_error(self):
        rng = random.Random(2028)
        valid = [parcel.encode(name, message) for name, message in random_records(rng)]
        for name in TYPES:
            for data in valid[:40] + [bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 64)))
                                      for _ in range(100)]:
                for cut in {len(data), len(data) // 2, max(len(data) - 1, 0)}:
                    try:
                        message = parcel.decode(name, memoryview(data)[:cut])
                    except parcel.DecodeError as error:
                        self.assertLessEqual(error.offset, cut)
                        continue
                    self.assertLessEqual(message["bytes_consumed"], cut)
                    # A float field's signalling NaN comes back quiet through
                    # Python's float; every other encoding is the only one.
                    if not any(isinstance(v, float) and math.isnan(v) for v in message["fields"].values()):
                        self.assertEqual(parcel.encode(name, message), data[:message["bytes_consumed"]])

    def test_decode_all_and_identify(self):
        long_text = {"text_1": "x" * 5000, "text_3": "\u20ac" * 700}
        data = parcel.encode("cu_vuser_msg_t", long_text)
        self.assertEqual(len(data), parcel.encoded_length("cu_vuser_msg_t", long_text))
        self.assertEqual(parcel.decode("cu_vuser_msg_t", data)["fields"], long_text)
        one = parcel.encode("cu_vuser_msg_t", {"text_1": "bc"})
        stream = parcel.decode_all("cu_vuser_msg_t", bytearray(one * 3))
        self.assertEqual([m["offset"] for m in stream], [0, len(one), 2 * len(one)])
        with self.assertRaises(parcel.DecodeError) as refused:
            parcel.decode_all("cu_vuser_msg_t", one + one[:6])
        self.assertEqual((refused.exception.offset, refused.exception.code), (len(one) + 4, "short"))
        found = parcel.identify(one)
        self.assertIn(("cu_vuser_msg_t", len(one)), found)
        self.assertEqual(found, sorted(found, key=lambda entry: -entry[1]))


if __name__ == "__main__":
    unittest.main()
