#!/usr/bin/env python3
"""Checks the wire corpus with a reader of its own.

    check.py [--catalogue catalogue.def] [CASES_DIR]

An XDR reader written from the wire format alone (RFC 4506 and
docs/wire-format.md) with Python's standard library: it shares no code with
the C++ library, its generator or its tools.  For every case of every
<type>.jsonl file it reaches its own verdict and compares it with the
corpus: for a valid case the bytes consumed and every decoded value (bit for
bit for reals), for an invalid one the reason code, the offset where the
bytes were found wanting, and the field and arm concerned.  Exits 1 on any
disagreement.  The field kinds come from catalogue.def, read as text.
"""
import argparse
import json
import math
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CATALOGUE = os.path.join(HERE, '..', 'COMMUNICATION_MSGS', 'app', 'parcel', 'records', 'catalogue.def')

# The longest string a decoder takes: INT32_MAX - 8 bytes.
MAX_STRING = 2**31 - 1 - 8
# Big-endian layouts of the fixed-size kinds.
LAYOUT = {'int': '>i', 'long': '>i', 'u_int': '>I', 'u_long': '>I', 'float': '>f', 'double': '>d', 'u_hyper': '>Q'}


def read_catalogue(path):
    """[(name, 'struct', [(index, kind, name)...]) or (name, 'union', [(position, arm, type)...])]"""
    with open(path) as f:
        text = f.read().replace('\\\n', ' ')
    lists = {}
    for what, owner, body in re.findall(r'^#define PARCEL_(FIELDS|ARMS)_(\w+)\(X\)(.*)$', text, re.M):
        lists[owner] = [(int(a), b, c) for a, b, c in re.findall(r'X\((\d+),\s*(\w+),\s*(\w+)\)', body)]
    return [(name, what.lower(), lists[name])
            for what, name in re.findall(r'^PARCEL_(STRUCT|UNION)\(\w+,\s*(\w+),', text, re.M)]


class Invalid(Exception):
    def __init__(self, reason, offset, field=None, arm=None):
        super().__init__(reason)
        self.reason, self.offset, self.field, self.arm = reason, offset, field, arm


def real_json(value):
    if math.isnan(value):
        return 'nan'
    if math.isinf(value):
        return 'inf' if value > 0 else '-inf'
    return value


def text_json(data):
    try:
        return data.decode('utf-8')  # strict: no surrogates, no overlong forms
    except UnicodeDecodeError:
        return {'hex': data.hex()}


class Reader:
    def __init__(self, types, data):
        self.types, self.data, self.at = types, data, 0

    def take(self, size, field, arm):
        if len(self.data) - self.at < size:
            raise Invalid('short', self.at, field, arm)
        chunk = self.data[self.at:self.at + size]
        self.at += size
        return chunk

    def word(self, field=None, arm=None):
        return struct.unpack('>I', self.take(4, field, arm))[0]

    def message(self, name, arm=None):
        what, items = self.types[name]
        return self.union(name, items) if what == 'union' else self.struct(items, arm)

    def struct(self, fields, arm):
        start = self.at
        bits = self.word(None, arm)
        if bits >> len(fields):
            raise Invalid('presence', start, None, arm)
        out = {}
        for index, kind, name in fields:
            if not bits >> index & 1:
                out[name] = {'absent': True}
            elif kind == 'wrapstring':
                out[name] = self.string(name, arm)
            else:
                value = struct.unpack(LAYOUT[kind], self.take(struct.calcsize(LAYOUT[kind]), name, arm))[0]
                out[name] = real_json(value) if kind in ('float', 'double') else value
        return {'fields': out}

    def string(self, field, arm):
        length = self.word(field, arm)
        padding = -length % 4
        if length > MAX_STRING or length + padding > len(self.data) - self.at:
            raise Invalid('length', self.at, field, arm)
        text = self.data[self.at:self.at + length]
        if 0 in text:
            raise Invalid('nul', self.at + text.index(0), field, arm)
        self.at += length
        for k in range(padding):
            if self.data[self.at + k]:
                raise Invalid('padding', self.at + k, field, arm)
        self.at += padding
        return text_json(text)

    def union(self, name, arms):
        discriminant = struct.unpack('>i', self.take(4, None, None))[0]
        if discriminant == -1:
            return {'discriminant': -1, 'arm': 'none'}
        if not 0 <= discriminant < len(arms):
            raise Invalid('discriminant', self.at - 4)
        _, arm, arm_type = arms[discriminant]
        inner = self.message(arm_type, arm)
        return {'discriminant': discriminant, 'arm': arm, 'arm_type': arm_type, 'fields': inner['fields']}


def same(expected, found, kind=None):
    """JSON values alike, reals bit for bit in their kind's width, keys in order."""
    if isinstance(expected, dict) or isinstance(found, dict):
        return (isinstance(expected, dict) and isinstance(found, dict) and list(expected) == list(found) and
                all(same(expected[k], found[k]) for k in expected))
    if isinstance(found, float) or isinstance(expected, float):
        if not (isinstance(expected, float) and isinstance(found, float)):
            return False
        width = '>f' if kind == 'float' else '>d'
        return struct.pack(width, expected) == struct.pack(width, found)
    return type(expected) is type(found) and expected == found


def same_decoded(types, type_name, expected, found):
    what, items = types[type_name]
    if what == 'union':
        if list(expected) != list(found) or any(expected[k] != found[k] for k in expected if k != 'fields'):
            return False
        if 'fields' not in found:
            return True
        fields = types[found['arm_type']][1]
    else:
        fields = items
        if list(expected) != ['fields'] or list(found) != ['fields']:
            return False
    kinds = {name: kind for _, kind, name in fields}
    return (list(expected['fields']) == list(found['fields']) and
            all(same(expected['fields'][n], found['fields'][n], kinds[n]) for n in expected['fields']))


def check_case(types, case):
    """The disagreements between this reader and one corpus case, as text."""
    data = bytes.fromhex(case['hex'])
    reader = Reader(types, data)
    try:
        decoded = reader.message(case['type'])
    except Invalid as error:
        found = {'verdict': 'invalid', 'reason': error.reason, 'offset': error.offset}
        if error.arm is not None:
            found['arm'] = error.arm
        if error.field is not None:
            found['field'] = error.field
        expected = {k: case.get(k) for k in ('verdict', 'reason', 'offset', 'arm', 'field') if k in case}
        return [] if found == expected else [f'expected {expected}, read {found}']
    problems = []
    if case['verdict'] != 'valid':
        return [f'expected {case["verdict"]} ({case.get("reason")} at {case.get("offset")}), read a valid message']
    if case['consumed'] != reader.at:
        problems.append(f'expected {case["consumed"]} bytes consumed, read {reader.at}')
    if not same_decoded(types, case['type'], case['decoded'], decoded):
        problems.append(f'expected {json.dumps(case["decoded"])}, read {json.dumps(decoded)}')
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--catalogue', default=DEFAULT_CATALOGUE)
    parser.add_argument('cases', nargs='?', default=os.path.join(HERE, 'cases'))
    options = parser.parse_args()

    types = {name: (what, items) for name, what, items in read_catalogue(options.catalogue)}
    failures = checked = 0
    for type_name in types:
        path = os.path.join(options.cases, type_name + '.jsonl')
        if not os.path.exists(path):
            print(f'{path}: missing')
            failures += 1
            continue
        with open(path) as f:
            for number, line in enumerate(f, 1):
                case = json.loads(line)
                problems = ([f'a case of {case["type"]} in the file of {type_name}'] if case['type'] != type_name
                            else check_case(types, case))
                checked += 1
                for problem in problems:
                    failures += 1
                    print(f'{path}:{number}: {case["case"]}: {problem}')
    print(f'{checked} cases of {len(types)} types checked, {failures} disagreements')
    return 1 if failures or not checked else 0


if __name__ == '__main__':
    sys.exit(main())
