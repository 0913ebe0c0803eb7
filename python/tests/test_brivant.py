"""The Python package against the simulated units of the Linux build
(IDs 0, 1 and 5, counting) or real units on Windows with those IDs."""

import ctypes.util
import os
import shutil
import tempfile
import time
import unittest
from pathlib import Path

import brivant
from brivant import _library


class ErrorMappingTest(unittest.TestCase):
    def assertResult(self, code, name, call, *args):
        with self.assertRaises(brivant.BrivantError) as caught:
            call(*args)
        error = caught.exception
        self.assertEqual(error.code, code)
        self.assertEqual(error.name, name)
        self.assertIn("%s (%d)" % (name, code), str(error))
        return error

    def test_open_refusals_carry_their_code_name_and_unit(self):
        error = self.assertResult(6, "RC_ID_NOT_FOUND", brivant.Unit, 9)
        self.assertEqual(error.unit_id, 9)
        self.assertEqual(error.operation, "open")
        self.assertEqual(str(error), "unit 9: open: RC_ID_NOT_FOUND (6): no present unit reported this ID")
        self.assertResult(1, "RC_BAD_ID", brivant.Unit, 16)
        self.assertResult(1, "RC_BAD_ID", brivant.Unit, -1)
        with brivant.Unit(0):
            self.assertResult(3, "RC_ALREADY_OPEN", brivant.Unit, 0)

    def test_every_operation_refuses_a_channel_above_two(self):
        with brivant.Unit(1) as unit:
            calls = [
                (unit.set_input_inversion, (3, 0, 0, 0)),
                (unit.set_output_inversion, (3, 0, 0)),
                (unit.set_output_mode, (3, 0, 0)),
                (unit.select_clear_event, (3, 0)),
                (unit.select_multiplier, (3, 0)),
                (unit.set_limiter, (3, 0, 0)),
                (unit.force_clear, (3,)),
                (unit.run, (3,)),
                (unit.stop, (3,)),
                (unit.write_preset, (3, 0, 0)),
                (unit.read_channel, (3,)),
            ]
            for call, args in calls:
                with self.subTest(call.__name__):
                    self.assertResult(8, "RC_BAD_PARAMETER", call, *args)

    def test_settings_above_their_bounds_are_refused_by_the_library(self):
        with brivant.Unit(1) as unit:
            self.assertResult(8, "RC_BAD_PARAMETER", unit.set_input_inversion, 0, 0, 0, 2)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.select_multiplier, 0, 3)
            unit.select_clear_event(0, 2)  # 2 is within its bound

    def test_a_refused_argument_is_named_with_its_bound(self):
        with brivant.Unit(1) as unit:
            for call, args, detail in [
                (unit.run, (3,), "channel 3 is not 0 to 2"),
                (unit.set_input_inversion, (0, 0, 1, 2), "s3 2 is not 0 or 1"),
                (unit.select_multiplier, (0, 3), "selection 3 is not 0 to 2"),
                (unit.set_limiter, (1, 2, 0), "s1 2 is not 0 or 1"),
                (unit.write_preset, (0, 0, 2**32), "second word 4294967296 is not a 32-bit word"),
                (unit.read_channel, (-1,), "channel -1 is not 0 to 2"),
            ]:
                with self.subTest(call.__name__):
                    error = self.assertResult(8, "RC_BAD_PARAMETER", call, *args)
                    self.assertTrue(error.detail.startswith(detail), error.detail)
                    self.assertIn(detail, str(error))
            unit.close()
            # Not open comes first, as the library tells it.
            self.assertResult(7, "RC_NOT_OPEN", unit.run, 3)

    def test_list_units_finds_the_present_ids_and_those_held_here(self):
        self.assertEqual(brivant.list_units(), [0, 1, 5])
        with brivant.Unit(5):
            self.assertEqual(brivant.list_units(), [0, 1, 5])
        brivant.Unit(0).close()  # list_units left nothing open

    def test_values_beyond_the_c_types_are_refused_like_any_value_out_of_bounds(self):
        # Cut down to the C types these would be unit 5 and channel 0.
        self.assertResult(1, "RC_BAD_ID", brivant.Unit, 65541)
        self.assertResult(1, "RC_BAD_ID", brivant.Unit, -(2**15) - 1)
        with brivant.Unit(5), brivant.Unit(1) as unit:  # 65541 left unit 5 closed
            unit.run(0)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.stop, 256)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.force_clear, -1)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.set_limiter, 0, 0, 257)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.write_preset, 0, 2**32, 0)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.read_channel, 2**64)
            self.assertEqual(unit.read_channel(0).status & 1, 1, "channel 0 was stopped")

    def test_a_wrong_type_is_a_type_error_and_a_string_is_never_a_truth_value(self):
        for unit_id in ("0", None, 0.0, True):
            with self.subTest(unit_id=unit_id):
                self.assertRaises(TypeError, brivant.Unit, unit_id)
        with brivant.Unit(1) as unit:
            unit.run(0)
            calls = [
                (unit.run, (0.0,)),
                (unit.set_running, (0, "no")),
                (unit.set_running, (0, None)),
                (unit.set_limiter, (0, "on", 0)),
                (unit.select_multiplier, (0, True)),  # a selection, not an on/off setting
                (unit.write_preset, (0, 1.5, 0)),
                (unit.read_channel, (False,)),
            ]
            for call, args in calls:
                with self.subTest(call=call.__name__, args=args):
                    self.assertRaises(TypeError, call, *args)
            self.assertEqual(unit.read_channel(0).status & 1, 1, "a refused call stopped channel 0")

    def test_on_off_settings_take_bools_and_ints(self):
        class Index:  # an int-like such as numpy.int64
            def __index__(self):
                return 2

        with brivant.Unit(1) as unit:
            unit.set_limiter(0, True, False)
            unit.set_input_inversion(Index(), 1, False, True)
            unit.set_running(2, False)
            self.assertEqual(unit.read_channel(Index()).status & 1, 0)
            unit.set_running(2, True)
            self.assertEqual(unit.read_channel(2).status & 1, 1)
            self.assertResult(8, "RC_BAD_PARAMETER", unit.set_running, 2, 2)

    def test_a_closed_unit_reports_not_open(self):
        unit = brivant.Unit(5)
        unit.close()
        unit.close()  # a second close does nothing
        self.assertFalse(unit.is_open)
        self.assertResult(7, "RC_NOT_OPEN", unit.read_counts)
        self.assertResult(7, "RC_NOT_OPEN", unit.force_clear, 0)
        # Its ID may now be someone else's; the closed Unit leaves it alone.
        with brivant.Unit(5) as other:
            del unit
            other.read_counts()

    def test_names_of_codes(self):
        self.assertEqual(brivant.result_name(brivant.RC_COMM_FAILED), "RC_COMM_FAILED")
        self.assertEqual(brivant.result_name(2), "RC_UNKNOWN")
        self.assertEqual(str(brivant.BrivantError(9)),
                         "RC_COMM_FAILED (9): the USB transfer with the unit failed or its reply came short")


class LifetimeTest(unittest.TestCase):
    def test_with_block_closes_even_when_it_raises(self):
        with self.assertRaises(RuntimeError):
            with brivant.Unit(0) as unit:
                self.assertTrue(unit.is_open)
                raise RuntimeError("inside the block")
        self.assertFalse(unit.is_open)
        with brivant.Unit(0):  # would be RC_ALREADY_OPEN had it stayed open
            pass


class SimulatedCountingTest(unittest.TestCase):
    """How the simulated units of the Linux build count (not the real unit's behaviour)."""

    def setUp(self):
        if os.name == "nt":
            self.skipTest("needs the simulated units of the Linux build")
        self.unit = brivant.Unit(0)
        for channel in range(3):
            self.unit.run(channel)

    def tearDown(self):
        self.unit.close()

    def test_running_channels_advance_and_stopped_ones_hold(self):
        self.unit.stop(1)
        before = self.unit.read_counts()
        time.sleep(0.25)  # channel 2 moves once every 100 ms
        after = self.unit.read_counts()
        self.assertEqual(before.status, (1, 0, 1))
        self.assertGreater(after.counts[0], before.counts[0])
        self.assertEqual(after.counts[1], before.counts[1])
        self.assertLess(after.counts[2], before.counts[2])  # channel 2 counts down

    def test_clear_loads_the_first_preset_word(self):
        self.unit.stop(1)
        self.unit.write_preset(1, -256, 0)
        self.unit.force_clear(1)
        self.assertEqual(self.unit.read_channel(1), brivant.ChannelCount(-256, 0))
        self.unit.write_preset(1, 0, 0)
        self.unit.force_clear(1)
        self.assertEqual(self.unit.read_channel(1).count, 0)


class LoadingTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.package_dir = Path(self.folder.name)

    def test_the_error_names_every_place_tried_and_why(self):
        attempts = _library.candidates(self.package_dir, {})
        attempts[-1] = ("the system's search path", "libbrivant-nowhere.so", "")
        with self.assertRaises(OSError) as caught:
            _library.load_first(attempts)
        message = str(caught.exception)
        packaged = str(self.package_dir / _library.PACKAGED_NAMES[0])
        self.assertIn("the package folder: " + packaged + ":", message)
        self.assertIn("BRIVANT_LIBRARY: not set", message)
        self.assertIn("the system's search path: libbrivant-nowhere.so:", message)
        self.assertLess(message.index("package"), message.index("BRIVANT_LIBRARY"))

    @unittest.skipIf(os.name == "nt", "copies the Linux build's library")
    def test_the_package_folder_comes_before_brivant_library(self):
        built = os.environ.get("BRIVANT_LIBRARY")
        if not built:
            self.skipTest("BRIVANT_LIBRARY names no built library")
        packaged = self.package_dir / _library.PACKAGED_NAMES[0]
        shutil.copy(built, packaged)
        lib, path = _library.load_first(
            _library.candidates(self.package_dir, {"BRIVANT_LIBRARY": "/nonexistent/libbrivant.so"}))
        self.assertEqual(path, str(packaged))
        with tempfile.TemporaryDirectory() as empty:
            lib, path = _library.load_first(_library.candidates(Path(empty), {"BRIVANT_LIBRARY": built}))
        self.assertEqual(path, built)

    def test_a_dll_for_the_other_architecture_is_passed_over_with_a_reason(self):
        def fake_dll(name, machine):
            image = bytearray(0x100)
            image[:2] = b"MZ"
            image[0x3C:0x40] = (0x80).to_bytes(4, "little")
            image[0x80:0x84] = b"PE\0\0"
            image[0x84:0x86] = machine.to_bytes(2, "little")
            path = self.package_dir / name
            path.write_bytes(bytes(image))
            return str(path)

        x86 = fake_dll("x86.dll", 0x014C)
        x64 = fake_dll("x64.dll", 0x8664)
        self.assertEqual((_library.pe_machine(x86), _library.pe_machine(x64)), ("x86", "x64"))
        self.assertIsNone(_library.pe_machine(__file__))
        attempts = [("the package folder", x86, ""), ("BRIVANT_LIBRARY", x64, "")]
        with self.assertRaises(OSError) as caught:
            _library.load_first(attempts, machine="x64")
        message = str(caught.exception)
        self.assertIn("the package folder: %s is built for x86; this Python is x64" % x86, message)
        # The matching one is tried (and fails here only because this is no real DLL).
        self.assertIn("BRIVANT_LIBRARY: " + x64, message)
        self.assertNotIn("x64.dll is built for", message)

    def test_a_library_lacking_a_function_is_passed_over(self):
        attempts = [("BRIVANT_LIBRARY", ctypes.util.find_library("c") or "libc.so.6", "")]
        with self.assertRaises(OSError) as caught:
            _library.load_first(attempts)
        self.assertIn("Brivant_Device_Open", str(caught.exception))


class DocumentationTest(unittest.TestCase):
    def test_every_public_name_has_a_docstring(self):
        missing = []
        for name in brivant.__all__:
            value = getattr(brivant, name)
            if isinstance(value, (int, str)):
                continue  # the RC_* constants and __version__
            if not getattr(value, "__doc__", None):
                missing.append(name)
            if isinstance(value, type) and value is not brivant.BrivantError:
                for member, attribute in vars(value).items():
                    if not member.startswith("_") and not getattr(attribute, "__doc__", None):
                        missing.append(name + "." + member)
        self.assertEqual(missing, [])


if __name__ == "__main__":
    unittest.main()
