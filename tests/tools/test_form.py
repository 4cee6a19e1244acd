import unittest
import urllib.parse

import support  # noqa: F401  (puts the services on sys.path)
from pavsvc import faults
from pavsvc.form import (FormError, decode_component, decode_text, encode_component,
                         first_field, parse_form)


class DecodeTest(unittest.TestCase):
    def test_plus_is_space_and_escapes_are_bytes(self):
        self.assertEqual(decode_component(b"a+b%20c%2B%25"), b"a b c+%")

    def test_escapes_in_either_case(self):
        self.assertEqual(decode_component(b"%7b%7B%e4%B8%ad"), b"{{\xe4\xb8\xad")

    def test_all_256_bytes_round_trip_through_the_client_encoding(self):
        data = bytes(range(256))
        encoded = support.client_encode(data)
        self.assertEqual(decode_component(encoded), data)
        # the service's own encoder writes exactly what the client writes
        self.assertEqual(encode_component(data), encoded)

    def test_other_valid_encodings_are_accepted(self):
        text = '{"a": "x-y_z.~*", "b": "中文"}'
        for encoded in (urllib.parse.quote_plus(text), urllib.parse.quote(text, safe="")):
            self.assertEqual(decode_component(encoded.encode("ascii")).decode("utf-8"), text)

    def test_broken_escapes_are_refused(self):
        for bad in (b"%", b"%4", b"%G0", b"abc%0", b"%%41", b"%4\xff"):
            with self.subTest(bad=bad):
                with self.assertRaises(FormError):
                    decode_component(bad)

    def test_unescaped_bytes_stand_for_themselves(self):
        self.assertEqual(decode_component(b"a\xffb=c"), b"a\xffb=c")


class ParseFormTest(unittest.TestCase):
    def test_fields_in_order_with_empty_pieces_skipped(self):
        self.assertEqual(parse_form(b"b=2&&a=1&c&d="),
                         [(b"b", b"2"), (b"a", b"1"), (b"c", b""), (b"d", b"")])

    def test_value_keeps_further_equals_signs(self):
        self.assertEqual(parse_form(b"k=a=b%3D"), [(b"k", b"a=b=")])

    def test_first_field_wins(self):
        fields = parse_form(b"requestStr=one&requestStr=two")
        self.assertEqual(first_field(fields, b"requestStr"), b"one")
        self.assertIsNone(first_field(fields, b"requeststr"))

    def test_empty_body_has_no_fields(self):
        self.assertEqual(parse_form(b""), [])

    def test_body_from_the_installer_library_example(self):
        # the HTTP library's documented example body for {"k": 1}
        self.assertEqual(parse_form(b"requestStr=%7B%22k%22%3A+1%7D"),
                         [(b"requestStr", b'{"k": 1}')])


class DecodeTextTest(unittest.TestCase):
    def test_utf8_first_then_gbk(self):
        self.assertEqual(decode_text("中文".encode("utf-8")), ("中文", "utf-8"))
        self.assertEqual(decode_text("中文".encode("gbk")), ("中文", "gbk"))

    def test_neither_is_refused(self):
        with self.assertRaises(FormError):
            decode_text(b"\xff\xff\xff")


class FaultSpecTest(unittest.TestCase):
    def test_names_and_arguments(self):
        self.assertEqual(faults.parse_fault("list=20", faults.UPDATE_FAULTS), faults.Fault("list", 20))
        self.assertEqual(faults.parse_fault("cut", faults.PACKAGE_FAULTS), faults.Fault("cut"))

    def test_bad_specs(self):
        for text, table in (("list", faults.UPDATE_FAULTS), ("list=-1", faults.UPDATE_FAULTS),
                            ("list=x", faults.UPDATE_FAULTS), ("404=1", faults.UPDATE_FAULTS),
                            ("cut", faults.UPDATE_FAULTS), ("refuse", faults.PACKAGE_FAULTS),
                            ("slow=99999999", faults.PACKAGE_FAULTS), ("", faults.LOCAL_MODES),
                            ("list=１２", faults.UPDATE_FAULTS)):
            with self.subTest(text=text):
                with self.assertRaises(ValueError):
                    faults.parse_fault(text, table)


if __name__ == "__main__":
    unittest.main()
