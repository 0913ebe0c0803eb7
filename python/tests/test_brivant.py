"""The Python package against the simulated units of the Linux build
(IDs 0, 1 and 5, counting) or real units on Windows with those IDs."""

import os
import time
import unittest

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

    def test_values_outside_the_c_types_are_refused_not_cut(self):
        with brivant.Unit(1) as unit:
            # 256 would reach the library as 0 and be taken.
            self.assertRaises(ValueError, unit.select_multiplier, 0, 256)
            self.assertRaises(ValueError, unit.force_clear, -1)
            self.assertRaises(ValueError, unit.write_preset, 0, 2**32, 0)
            self.assertRaises(ValueError, unit.run, "0")
        self.assertRaises(ValueError, brivant.Unit, 2**15)

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
    def test_a_missing_library_names_the_path(self):
        with self.assertRaises(OSError) as caught:
            _library.load("/nonexistent/libbrivant.so")
        self.assertIn("/nonexistent/libbrivant.so", str(caught.exception))

    def test_the_environment_variable_alone_is_tried_when_set(self):
        saved = os.environ.get("BRIVANT_LIBRARY")
        os.environ["BRIVANT_LIBRARY"] = "/chosen/libbrivant.so"
        try:
            self.assertEqual(_library.candidates(), ["/chosen/libbrivant.so"])
        finally:
            if saved is None:
                del os.environ["BRIVANT_LIBRARY"]
            else:
                os.environ["BRIVANT_LIBRARY"] = saved


if __name__ == "__main__":
    unittest.main()
