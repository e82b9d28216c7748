"""The bridge's texts, turned into codes."""
import unittest

from quintel_bt import errors


class Texts(unittest.TestCase):
    def test_pair_texts(self):
        cases = [  # text, code, status, hresult, message
            (errors.NOT_VISIBLE_TEXT, "NOT_VISIBLE", None, None, None),
            ("сопряжение не состоялось (код 19) — подтвердили ли на телефоне?",
             "PAIRING_REFUSED", 19, None, None),
            ("сопряжение не состоялось (код -2) — подтвердили ли на телефоне?",
             "PAIRING_REFUSED", -2, None, None),
            ("Element not found. (0x80070490)", "PLATFORM_ERROR", None, 0x80070490,
             "Element not found."),
            (" (0x00000001)", "PLATFORM_ERROR", None, 1, ""),
            ('say "(0x1)"\nagain (0xFFFFFFFF)', "PLATFORM_ERROR", None, 0xFFFFFFFF,
             'say "(0x1)"\nagain'),
            ("no code here", "PLATFORM_ERROR", None, None, "no code here"),
        ]
        for text, code, status, hresult, message in cases:
            with self.subTest(text=text):
                e = errors.pair_failure(text)
                self.assertEqual((e.code, e.text), (code, text))
                self.assertEqual(getattr(e, "status", None), status)
                self.assertEqual(getattr(e, "hresult", None), hresult)
                self.assertEqual(getattr(e, "message", None), message)

    def test_connect_texts_with_and_without_an_error_event(self):
        cases = [  # error event, closed reason, code, text kept
            (errors.NOT_VISIBLE_TEXT, "нет устройства", "NOT_VISIBLE", errors.NOT_VISIBLE_TEXT),
            (None, "нет устройства", "NOT_VISIBLE", "нет устройства"),
            (errors.NO_SERIAL_SERVICE_TEXT, "нет службы SPP", "NO_SERIAL_SERVICE",
             errors.NO_SERIAL_SERVICE_TEXT),
            (None, "нет службы SPP", "NO_SERIAL_SERVICE", "нет службы SPP"),
            ("Refused. (0x80072740)", "не удалось открыть соединение", "PLATFORM_ERROR",
             "Refused. (0x80072740)"),
            ("no code", "не удалось открыть соединение", "OPEN_FAILED", "no code"),
            (None, "не удалось открыть соединение", "OPEN_FAILED",
             "не удалось открыть соединение"),
        ]
        for error, reason, code, text in cases:
            with self.subTest(error=error, reason=reason):
                e = errors.connect_failure(error, reason)
                self.assertEqual((e.code, e.text), (code, text))
        self.assertEqual(errors.connect_failure("Refused. (0x80072740)", "").hresult, 0x80072740)
