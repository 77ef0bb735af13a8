#!/usr/bin/env python3
"""Runs the built `parcel` tool and checks it against the catalogue and an
independent XDR encoder written here with struct.pack.

    test_tool.py --tool PATH [--emulator COMMAND] --catalogue catalogue.def [unittest arguments]

A cross build runs the tool through its emulator (qemu), the script itself
on the host's interpreter.
"""
import argparse
import concurrent.futures
import json
import math
import os
import re
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = None
CATALOGUE = None


# ---- The catalogue, read straight from catalogue.def, and the wire corpus -------------

CONFORMANCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'conformance')
sys.path.insert(0, CONFORMANCE)
from check import read_catalogue  # noqa: E402  (the corpus checker's reader of catalogue.def)


def corpus():
    """Every case of the wire corpus, in file order."""
    folder = os.path.join(CONFORMANCE, 'cases')
    cases = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name)) as f:
            cases += [json.loads(line) for line in f]
    return cases


# ---- An independent XDR encoder (RFC 4506, the wire format of docs/wire-format.md) -----

PACK = {'int': '>i', 'long': '>i', 'u_int': '>I', 'u_long': '>I',
        'float': '>f', 'double': '>d', 'u_hyper': '>Q'}


def xdr_field(kind, value):
    if kind == 'wrapstring':
        data = value.encode()
        return struct.pack('>I', len(data)) + data + b'\0' * (-len(data) % 4)
    return struct.pack(PACK[kind], value)


def xdr_struct(fields, values):
    """fields: [(index, kind, name)]; values: {name: value} for the present ones."""
    presence = sum(1 << index for index, _, name in fields if name in values)
    return struct.pack('>I', presence) + b''.join(
        xdr_field(kind, values[name]) for _, kind, name in fields if name in values)


def xdr_union(position, arm_bytes=b''):
    return struct.pack('>i', position) + arm_bytes


# ---- Values ---------------------------------------------------------------------------

SAMPLES = {
    'int': [-2147483648, 7, 2147483647],
    'long': [-1, 2147483647, -2147483648],
    'u_int': [0, 4294967295, 1 << 31],
    'u_long': [4294967295, 1, 0],
    'float': [0.5, -2.25, 3.4028234663852886e38, 0.1],
    'double': [0.1, -1e300, 5e-324, 2.0 ** 60],
    'u_hyper': [0, 2 ** 64 - 1, 2 ** 40 + 3],
    'wrapstring': ['', 'x', 'four', 'h\u00e9llo w\u00f6rld', 'tab\there\nnew line\\'],
}


def argument(kind, value):
    """A value as the tool's command line takes it."""
    if kind == 'wrapstring':
        return value.replace('\\', '\\\\').replace('\n', '\\n').replace('\t', '\\t')
    return repr(value)


def same_value(kind, expected, shown):
    """A JSON value as the tool printed it against the value that was sent."""
    if kind == 'float':  # compared as floats: JSON holds the shortest decimal
        return struct.pack('>f', expected) == struct.pack('>f', shown)
    if kind == 'double':
        return struct.pack('>d', expected) == struct.pack('>d', shown)
    return type(shown) is type(expected) and shown == expected


def draws(fields, count=3):
    """A few value sets per field list: different presence patterns and values."""
    for draw in range(count):
        yield {name: SAMPLES[kind][(index + draw) % len(SAMPLES[kind])]
               for index, kind, name in fields if (index + draw) % 3 != 2}


def cases():
    """(type, arm name or None, record fields, values, expected bytes) for every type."""
    catalogue = read_catalogue(CATALOGUE)
    fields_of = {name: items for name, what, items in catalogue if what == 'struct'}
    for name, what, items in catalogue:
        if what == 'struct':
            for values in draws(items):
                yield name, None, items, values, xdr_struct(items, values)
        else:
            yield name, 'none', [], {}, xdr_union(-1)
            for position, arm, arm_type in items:
                for values in draws(fields_of[arm_type], 2):
                    yield (name, arm, fields_of[arm_type], values,
                           xdr_union(position, xdr_struct(fields_of[arm_type], values)))


def pairs(arm, fields, values):
    args = [] if arm is None else ['arm=' + arm]
    return args + [name + '=' + argument(kind, values[name]) for _, kind, name in fields if name in values]


# ---- Running the tool ------------------------------------------------------------------

def run(*args, data=None):
    return subprocess.run([*TOOL, *args], input=data, capture_output=True, timeout=60)


class ToolCase(unittest.TestCase):
    def ok(self, *args, data=None):
        result = run(*args, data=data)
        self.assertEqual(result.returncode, 0, f'{args}: {result.stderr.decode(errors="replace")}')
        self.assertEqual(result.stderr, b'', args)
        return result.stdout

    def decoded(self, type_name, data, *flags):
        return json.loads(self.ok('decode', type_name, *flags, data=data))

    def fails(self, args, status, needle, data=None):
        result = run(*args, data=data)
        message = result.stderr.decode(errors='replace')
        self.assertEqual(result.returncode, status, f'{args}: {message}')
        self.assertIn(needle, message, args)
        self.assertEqual(result.stdout, b'', args)

    def check_fields(self, shown, fields, values, context):
        self.assertEqual(list(shown), [name for _, _, name in fields], context)
        for _, kind, name in fields:
            if name in values:
                self.assertTrue(same_value(kind, values[name], shown[name]),
                                f'{context} {name}: sent {values[name]!r}, shown {shown[name]!r}')
            else:
                self.assertEqual(shown[name], {'absent': True}, f'{context} {name}')


# ---- types -----------------------------------------------------------------------------------

class TypesTest(ToolCase):
    def test_json_listing_is_the_catalogue(self):
        listed = json.loads(self.ok('types', '--json'))
        catalogue = read_catalogue(CATALOGUE)
        self.assertEqual(len(catalogue), 30)
        self.assertEqual([t['name'] for t in listed], [name for name, _, _ in catalogue])
        for shown, (name, what, items) in zip(listed, catalogue):
            self.assertEqual(shown['kind'], what, name)
            if what == 'struct':
                self.assertEqual([(f['index'], f['kind'], f['name']) for f in shown['fields']], items, name)
            else:
                self.assertEqual([(a['position'], a['name'], a['type']) for a in shown['arms']], items, name)

    def test_text_listing_has_a_row_per_field_and_arm(self):
        text = self.ok('types').decode()
        for name, what, items in read_catalogue(CATALOGUE):
            block = re.search(r'^' + name + r'  (struct|union), (\d+) \w+\n((?:  .*\n)*)', text, re.M)
            self.assertIsNotNone(block, name)
            self.assertEqual((block.group(1), int(block.group(2))), (what, len(items)), name)
            rows = [tuple(row.split()) for row in block.group(3).splitlines()]
            if what == 'struct':
                expected = [(str(index), field, kind) for index, kind, field in items]
            else:
                expected = [(str(position), arm, arm_type) for position, arm, arm_type in items]
            self.assertEqual(rows, expected, name)

    def test_listing_chosen_types(self):
        listed = json.loads(self.ok('types', '--json', 'cu_vuser_dbg_run_state_t', 'cu_drv_msg_t'))
        self.assertEqual([t['name'] for t in listed], ['cu_vuser_dbg_run_state_t', 'cu_drv_msg_t'])


# ---- encode, decode, length ------------------------------------------------------------------

class EncodeTest(ToolCase):
    def test_every_type_encodes_as_the_independent_encoder_does(self):
        for type_name, arm, fields, values, expected in cases():
            with self.subTest(type=type_name, arm=arm, values=values):
                args = pairs(arm, fields, values)
                self.assertEqual(self.ok('encode', type_name, *args), expected)
                hex_text = self.ok('encode', type_name, '--hex', *args).decode()
                self.assertEqual(bytes.fromhex(hex_text), expected)
                self.assertTrue(hex_text.endswith('\n'))

    def test_union_without_arm_is_discriminant_minus_one(self):
        for union in ('cu_vuser_status_data_union_t', 'cu_vuser_dbg_run_state_t'):
            self.assertEqual(self.ok('encode', union), b'\xff\xff\xff\xff')
            self.assertEqual(self.ok('encode', union, 'arm=none'), b'\xff\xff\xff\xff')

    def test_number_spellings(self):
        encode = lambda *args: self.ok('encode', 'cu_vuser_msg_t', *args)
        self.assertEqual(encode('long_value_1=-0x10'), encode('long_value_1=-16'))
        self.assertEqual(encode('hyper_value_1=0xFFFFFFFFFFFFFFFF'), encode('hyper_value_1=18446744073709551615'))
        self.assertEqual(encode('int_value=+5'), xdr_struct([(5, 'int', 'int_value')], {'int_value': 5}))
        self.assertEqual(encode('real_value=-inf'), struct.pack('>Id', 1, -math.inf))
        self.assertEqual(encode('text_1=a\\x41\\\\'), xdr_struct([(1, 'wrapstring', 'text_1')], {'text_1': 'aA\\'}))


class DecodeTest(ToolCase):
    def test_every_type_decodes_bytes_of_the_independent_encoder(self):
        for type_name, arm, fields, values, data in cases():
            with self.subTest(type=type_name, arm=arm, values=values):
                shown = self.decoded(type_name, data)
                self.assertEqual((shown['type'], shown['bytes_consumed'], shown['bytes_given']),
                                 (type_name, len(data), len(data)))
                if arm is None:
                    self.check_fields(shown['fields'], fields, values, type_name)
                elif arm == 'none':
                    self.assertEqual((shown['discriminant'], shown['arm']), (-1, 'none'))
                    self.assertNotIn('fields', shown)
                else:
                    self.assertEqual(shown['arm'], arm)
                    self.assertEqual(shown['discriminant'], struct.unpack('>i', data[:4])[0])
                    self.check_fields(shown['fields'], fields, values, f'{type_name}.{arm}')

    def test_round_trip_through_the_tool(self):
        args = ['arm=debug_event_arm', 'text_1=step 3', 'ulong_value=4294967295']
        shown = self.decoded('cu_vuser_dbg_run_state_t', self.ok('encode', 'cu_vuser_dbg_run_state_t', *args))
        self.assertEqual(shown['arm_type'], 'vudbg_debug_event_t')
        self.assertEqual(shown['fields'], {'text_1': 'step 3', 'text_2': {'absent': True},
                                           'ulong_value': 4294967295})

    def test_input_forms(self):
        data = self.ok('encode', 'cu_drv_msg_t', 'real_value=0.5', 'text=x', 'long_value=-1', 'hyper_value=1')
        hex_text = self.ok('encode', 'cu_drv_msg_t', '--hex', 'real_value=0.5', 'text=x',
                           'long_value=-1', 'hyper_value=1')
        expected = self.decoded('cu_drv_msg_t', data)
        with tempfile.TemporaryDirectory() as directory:
            raw_file = os.path.join(directory, 'message.bin')
            with open(raw_file, 'wb') as f:
                f.write(data)
            self.assertEqual(json.loads(self.ok('decode', 'cu_drv_msg_t', raw_file)), expected)
            self.assertEqual(json.loads(self.ok('decode', 'cu_drv_msg_t', '--raw', raw_file)), expected)
        self.assertEqual(self.decoded('cu_drv_msg_t', hex_text), expected)
        self.assertEqual(self.decoded('cu_drv_msg_t', hex_text, '--hex'), expected)
        self.assertEqual(self.decoded('cu_drv_msg_t', hex_text.replace(b' ', b''), '-'), expected)
        self.assertEqual(self.decoded('cu_drv_msg_t', hex_text.lower().replace(b' ', b'\n')), expected)
        compact = self.ok('decode', 'cu_drv_msg_t', '--compact', data=data)
        self.assertEqual(compact.count(b'\n'), 1)
        self.assertEqual(json.loads(compact), expected)

    def test_bytes_after_the_message_are_counted_not_read(self):
        data = xdr_struct([(0, 'wrapstring', 'text')], {'text': 'abc'})
        shown = self.decoded('cu_string_msg_t', data + b'\xde\xad\xbe\xef')
        self.assertEqual((shown['bytes_consumed'], shown['bytes_given']), (len(data), len(data) + 4))
        self.assertEqual(shown['fields'], {'text': 'abc'})

    def test_special_values(self):
        fields = [(0, 'double', 'real_value'), (1, 'wrapstring', 'text_1')]
        for real, shown_real in ((math.inf, 'inf'), (-math.inf, '-inf'), (math.nan, 'nan')):
            shown = self.decoded('cu_vuser_msg_t', xdr_struct(fields, {'real_value': real, 'text_1': 'ok'}))
            self.assertEqual(shown['fields']['real_value'], shown_real)
        shown = self.decoded('cu_vuser_msg_t', xdr_struct(fields[:1], {'real_value': -0.0}))
        self.assertEqual(math.copysign(1, shown['fields']['real_value']), -1)
        # Text that is not UTF-8 is shown as hex rather than altered.
        data = struct.pack('>II', 2, 2) + b'\xff\xfe\0\0'
        self.assertEqual(self.decoded('cu_vuser_msg_t', data)['fields']['text_1'], {'hex': 'fffe'})


class LengthTest(ToolCase):
    def test_every_type_measures_its_encoding(self):
        for type_name, arm, fields, values, expected in cases():
            with self.subTest(type=type_name, arm=arm, values=values):
                self.assertEqual(self.ok('length', type_name, *pairs(arm, fields, values)),
                                 f'{len(expected)}\n'.encode())


# ---- Bytes from outside the tool ---------------------------------------------------------------

class InteropTest(ToolCase):
    def test_decodes_bytes_written_by_the_library(self):
        # The encodings shown in docs/wire-format.md, as the library writes them.
        drv = ('00 00 00 0F 3F E0 00 00 00 00 00 00 00 00 00 01 78 00 00 00 '
               'FF FF FF FF 00 00 00 00 00 00 00 01')
        shown = self.decoded('cu_drv_msg_t', drv.encode())
        self.assertEqual(shown['fields'], {'real_value': 0.5, 'text': 'x', 'long_value': -1, 'hyper_value': 1})
        self.assertEqual(shown['bytes_consumed'], 32)
        status = bytes.fromhex('00000003 00000009 00000007 FFFFFFFD')
        shown = self.decoded('cu_vuser_status_data_union_t', status)
        self.assertEqual((shown['arm'], shown['arm_type']), ('end_arm', 'cu_vuser_end_data_t'))
        self.assertEqual(shown['fields'], {'int_value_1': 7, 'int_value_2': {'absent': True},
                                           'int_value_3': {'absent': True}, 'long_value': -3})
        self.assertEqual(self.ok('encode', 'cu_vuser_status_data_union_t', 'arm=end_arm',
                                 'int_value_1=7', 'long_value=-3'), status)

    def test_decodes_a_hand_packed_message(self):
        data = struct.pack('>I d I 8s i Q', 0b1111, 0.25, 5, b'hello\0\0\0', -7, 1 << 40)
        shown = self.decoded('cu_vuser_msg_t', data)
        self.assertEqual(shown['fields']['text_1'], 'hello')
        self.assertEqual((shown['fields']['real_value'], shown['fields']['long_value_1'],
                          shown['fields']['hyper_value_1']), (0.25, -7, 1 << 40))


# ---- Bad input -----------------------------------------------------------------------------------

DRV = bytes.fromhex('0000000F 3FE0000000000000 00000001 78000000 FFFFFFFF 0000000000000001')
USAGE, INVALID = 2, 1


class ErrorsTest(ToolCase):
    def test_bad_arguments(self):
        table = [
            (['encode', 'cu_drv_msg', 'text=x'], "unknown type 'cu_drv_msg'; did you mean 'cu_drv_msg_t'?"),
            (['decode', 'nothing_like_it'], "'parcel types' lists all 30"),
            (['length', 'cu_vuser_msg'], "did you mean 'cu_vuser_msg_t'?"),
            (['types', 'cu_nope_t'], "unknown type 'cu_nope_t'"),
            (['encode', 'cu_drv_msg_t', 'txt=x'], "cu_drv_msg_t has no field 'txt'; did you mean 'text'?"),
            (['length', 'cu_vuser_run_data_t', 'x=1'], 'cu_vuser_run_data_t has no fields'),
            (['encode', 'cu_drv_msg_t', 'text'], "expected field=value, got 'text'"),
            (['encode', 'cu_drv_msg_t', 'text=a', 'text=b'], "'text' is given twice"),
            (['encode', 'cu_vuser_status_data_union_t', 'arm=end'], "has no arm 'end'"),
            (['encode', 'cu_vuser_status_data_union_t', 'long_value=1'], 'needs an arm'),
            (['encode', 'cu_vuser_status_data_union_t', 'arm=none', 'long_value=1'], 'needs an arm'),
            (['encode', 'cu_vuser_dbg_run_state_t', 'arm=start_iter_arm', 'iter=-1'],
             "bad value for iter (u_int): '-1' is out of range"),
            (['encode', 'cu_quota_manage_data_t', 'int_value=2147483648'], "bad value for int_value (int): "
                                                                            "'2147483648' is out of range"),
            (['encode', 'cu_quota_manage_data_t', 'long_value=-2147483649'], 'out of range'),
            (['encode', 'cu_soft_kill_data_t', 'soft_kill=4294967296'], 'out of range'),
            (['encode', 'cu_collate_results_data_t', 'collate_results=18446744073709551616'], 'out of range'),
            (['encode', 'cu_collate_results_data_t', 'collate_results=-1'], 'out of range'),
            (['length', 'cu_rendezvous_data_t', 'rendezvous=12abc'], "'12abc' is not a whole number"),
            (['encode', 'cu_rendezvous_data_t', 'rendezvous='], "'' is not a whole number"),
            (['encode', 'cu_tps_input_data_t', 'tps_input=fast'], "'fast' is not a number"),
            (['encode', 'cu_tps_input_data_t', 'tps_input=1e39'], 'out of range'),
            (['encode', 'cu_end_scenario_msg_t', 'real_value=1e999'], 'out of range'),
            (['encode', 'cu_string_msg_t', 'text=a\\x00b'], 'holds a NUL byte'),
            (['encode', 'cu_string_msg_t', 'text=\\0'], 'holds a NUL byte'),
            (['encode', 'cu_string_msg_t', 'text=a\\q'], 'unknown escape \\q'),
            (['encode', 'cu_string_msg_t', 'text=a\\x4'], '\\x escape without two hex digits'),
            (['encode', 'cu_string_msg_t', 'text=a\\'], 'lone backslash'),
        ]
        for args, needle in table:
            with self.subTest(args=args):
                self.fails(args, USAGE, needle)

    def test_bad_hex(self):
        self.fails(['decode', 'cu_drv_msg_t'], USAGE, "'G' at offset 10 is not a hex digit", data=b'00 00 00 0G')
        self.fails(['decode', 'cu_drv_msg_t', '--hex'], USAGE, 'odd number of hex digits', data=b'00 00 00 0\n')
        self.fails(['decode', 'cu_drv_msg_t', '--hex'], USAGE, 'not a hex digit', data=DRV)

    def test_bytes_that_are_not_a_message(self):
        """Each refusal names the field, the offset and the rule, with its code."""
        bad_padding = DRV[:17] + b'\x01' + DRV[18:]
        nul_in_text = struct.pack('>II', 1, 3) + b'a\0b\0'
        table = [
            ('cu_drv_msg_t', DRV[:31],
             'field 3 hyper_value (u_hyper): its value needs 8 bytes at offset 24 and 7 are left [short]'),
            ('cu_drv_msg_t', b'', 'the presence word: it needs 4 bytes at offset 0 and 0 are left [short]'),
            ('cu_drv_msg_t', bytes.fromhex('00000010'), '0x00000010 at offset 0 sets bit 4, but cu_drv_msg_t has '
                                                         '4 fields (bits 0 to 3) [presence]'),
            ('cu_drv_msg_t', bad_padding,
             'field 1 text (wrapstring): its padding byte at offset 17 is 0x01, not zero [padding]'),
            ('cu_string_msg_t', nul_in_text, 'its text holds a NUL byte at offset 9, which text cannot carry [nul]'),
            ('cu_string_msg_t', struct.pack('>II', 1, 1000) + b'abcd',
             'field 0 text (wrapstring): its length of 1000 needs 1000 bytes at offset 8 and 4 are left [length]'),
            ('cu_vuser_run_data_t', bytes.fromhex('00000001'), 'has 0 fields [presence]'),
            ('cu_vuser_status_data_union_t', bytes.fromhex('00000004 00000000'),
             'the discriminant: 4 at offset 0 selects no arm'),
            ('cu_vuser_dbg_run_state_t', bytes.fromhex('FFFFFFFE'), '-2 at offset 0 selects no arm'),
            ('cu_vuser_dbg_run_state_t', bytes.fromhex('00000003 00000008'),
             'the presence word of arm debug_event_arm (vudbg_debug_event_t): 0x00000008 at offset 4 sets bit 3'),
        ]
        for type_name, data, diagnosis in table:
            with self.subTest(type=type_name, data=data.hex()):
                self.fails(['decode', type_name, '--raw'], INVALID, diagnosis, data=data)

    def test_unreadable_input_and_bad_usage(self):
        self.fails(['decode', 'cu_drv_msg_t', '/nonexistent/message.bin'], INVALID, 'cannot open')
        for args in ([], ['frobnicate'], ['decode'], ['decode', 'cu_drv_msg_t', '--hex', '--raw'], ['help', 'nope']):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, USAGE)
                self.assertNotEqual(result.stderr, b'')

    def test_help_names_a_subcommand(self):
        for command in ([], ['types'], ['encode'], ['decode'], ['length'], ['identify']):
            self.assertEqual(self.ok('help', *command), self.ok(*command, '--help'), command)


class ConformanceTest(ToolCase):
    """Every corpus case through `parcel decode`: the same values and length,
    or the same reason code, offset, field and arm; and each valid case's JSON back
    through `parcel encode --json` (the document, or its fields alone) to the
    same bytes."""

    def test_corpus(self):
        def through_tool(case):
            decoded = run('decode', '--hex', '--compact', case['type'], data=case['hex'].encode())
            if decoded.returncode != 0 or 'NaN with payload' in case['case']:
                return case, decoded, None  # JSON carries no NaN payload
            document = json.loads(decoded.stdout)
            whole = 'discriminant' in document or len(case['case']) % 2
            given = document if whole else document['fields']
            return case, decoded, run('encode', '--hex', '--json', case['type'], data=json.dumps(given).encode())

        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            for case, decoded, encoded in pool.map(through_tool, corpus()):
                with self.subTest(type=case['type'], case=case['case']):
                    if case['verdict'] == 'invalid':
                        message = decoded.stderr.decode(errors='replace')
                        self.assertEqual(decoded.returncode, INVALID, message)
                        self.assertIn(f'[{case["reason"]}]', message)
                        self.assertRegex(message, rf'at offset {case["offset"]}\b')
                        self.assertIn(case.get('field', ''), message)
                        self.assertIn(case.get('arm', ''), message)
                        continue
                    self.assertEqual(decoded.returncode, 0, decoded.stderr)
                    shown = json.loads(decoded.stdout)
                    self.assertEqual(shown.pop('bytes_consumed'), case['consumed'])
                    self.assertEqual(shown.pop('bytes_given'), len(case['hex']) // 2)
                    self.assertEqual(shown.pop('type'), case['type'])
                    self.assertEqual(shown, case['decoded'])
                    if encoded is not None:
                        self.assertEqual(encoded.returncode, 0, encoded.stderr)
                        self.assertEqual(bytes.fromhex(encoded.stdout.decode()).hex(),
                                         case['hex'][:2 * case['consumed']])


class ViewsTest(ToolCase):
    """decode --annotate and --all, identify, and encode --json's refusals."""
    BAD_PADDING = DRV[:17] + b'\x01' + DRV[18:]

    def test_annotate(self):
        shown = self.ok('decode', '--annotate', '--raw', 'cu_drv_msg_t', data=DRV + b'\xaa').decode()
        for needle in ['presence 0x0000000f: fields 0 1 2 3', '3f e0 00 00 00 00 00 00  0 real_value = 0.5',
                       '1 text length 1', '1 text = "x"', '1 text padding', '2 long_value = -1',
                       '3 hyper_value = 1', '1 more byte after the message (ignored)']:
            self.assertIn(needle, shown)
        result = run('decode', '--annotate', '--raw', 'cu_drv_msg_t', data=self.BAD_PADDING)
        shown = result.stdout.decode()
        self.assertEqual(result.returncode, INVALID)
        self.assertRegex(shown, r'\n +17  01 +!! padding: field 1 text \(wrapstring\): its padding byte at offset 17')
        self.assertIn('14 more bytes not read', shown)
        self.assertNotIn('long_value', shown)

    def test_identify(self):
        listed = [line.split() for line in self.ok('identify', '--raw', data=DRV).decode().splitlines()]
        whole = [name for kind, name, *_ in listed if kind == 'whole']
        self.assertIn('cu_drv_msg_t', whole)
        self.assertEqual([kind for kind, *_ in listed], sorted((kind for kind, *_ in listed), reverse=True),
                         'whole ones first')
        for kind, name, consumed, _, given, _ in listed:
            shown = self.decoded(name, DRV, '--raw')
            self.assertEqual((shown['bytes_consumed'], shown['bytes_given']), (int(consumed), int(given)))
        self.fails(['identify', '--raw'], INVALID, 'none of the 30 types decodes these 2 bytes', data=b'\0\0')

    def test_decode_all(self):
        lines = self.ok('decode', '--all', '--raw', 'cu_drv_msg_t', data=DRV * 3).decode().splitlines()
        self.assertEqual([json.loads(line)['offset'] for line in lines], [0, 32, 64])
        self.assertEqual(self.ok('decode', '--all', '--raw', 'cu_drv_msg_t', data=b''), b'')
        result = run('decode', '--all', '--raw', 'cu_drv_msg_t', data=DRV + self.BAD_PADDING + DRV)
        self.assertEqual(result.returncode, INVALID)
        self.assertEqual(len(result.stdout.decode().splitlines()), 1)
        self.assertIn('message 2 at offset 32', result.stderr.decode())
        self.assertIn('padding byte at offset 17 is 0x01, not zero [padding]', result.stderr.decode())

    def test_encode_json_refusals(self):
        table = [
            ('cu_drv_msg_t', '{"nope": 1}', "has no field 'nope'"),
            ('cu_drv_msg_t', '{"text": 5}', 'bad value for text (wrapstring)'),
            ('cu_drv_msg_t', '{"text": {"hex": "6100"}}', 'NUL byte'),
            ('cu_drv_msg_t', '{"long_value": 2147483648}', 'out of range'),
            ('cu_drv_msg_t', '{"long_value": 1.5}', 'is not a whole number'),
            ('cu_drv_msg_t', '{"real_value": "fast"}', 'is not a number'),
            ('cu_drv_msg_t', '{"text": {"absent": false}}', 'an absent field is written'),
            ('cu_drv_msg_t', '{"type": "cu_string_msg_t", "fields": {}}', 'the document is a "cu_string_msg_t"'),
            ('cu_drv_msg_t', '[1, 2]', 'expected a JSON object'),
            ('cu_drv_msg_t', '{"text": ', 'not a JSON document'),
            ('cu_vuser_status_data_union_t', '{"arm": "walk_arm", "fields": {}}', "has no arm 'walk_arm'"),
            ('cu_vuser_status_data_union_t', '{"discriminant": 0, "arm": "end_arm"}', 'name different arms'),
            ('cu_vuser_status_data_union_t', '{"discriminant": 9}', 'selects no arm'),
            ('cu_vuser_status_data_union_t', '{"int_value_1": 1}', 'needs the whole document'),
            ('cu_vuser_status_data_union_t', '{"arm": "none", "fields": {"int_value_1": 1}}', 'needs an arm'),
        ]
        for type_name, document, needle in table:
            with self.subTest(document=document):
                self.fails(['encode', '--json', type_name], USAGE, needle, data=document.encode())
        self.fails(['encode', '--json', 'cu_drv_msg_t', 'a.json', 'b.json'], USAGE, 'takes one file')


def main():
    global TOOL, CATALOGUE
    parser = argparse.ArgumentParser()
    parser.add_argument('--tool', required=True)
    parser.add_argument('--emulator', default='', help='command line that runs a target program (cross builds)')
    parser.add_argument('--catalogue', required=True)
    options, rest = parser.parse_known_args()
    TOOL, CATALOGUE = [*shlex.split(options.emulator), options.tool], options.catalogue
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == '__main__':
    main()
