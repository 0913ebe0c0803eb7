"""An open counter unit."""

import ctypes
from collections import namedtuple

from ._library import library
from .errors import RC_NOT_OPEN, RC_OK, BrivantError

Counts = namedtuple("Counts", "counts status")  # three counts, three status bytes; index = channel
ChannelCount = namedtuple("ChannelCount", "count status")


def _fit(value, low, high, what):
    # ctypes would cut an out-of-range value down silently, so that 256 went
    # to the unit as 0; refuse it here instead.
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError("%s must be an integer from %d to %d, not %r" % (what, low, high, value))
    return value


def _byte(value, what="setting"):
    return _fit(value, 0, 255, what)


class Unit:
    """One open unit: opens on creation, closes on close() or at the end of a with block.

    Channel and setting bounds are checked by the library, which raises
    BrivantError(RC_BAD_PARAMETER) for a value above its bound.
    """

    def __init__(self, unit_id):
        self._id = _fit(unit_id, -32768, 32767, "unit ID")
        self._open = False
        self._lib = library()
        self._check(self._lib.Brivant_Device_Open(self._id), "open")
        self._open = True

    @property
    def unit_id(self):
        return self._id

    @property
    def is_open(self):
        return self._open

    def close(self):
        """Closes the unit; later calls do nothing. The unit keeps its settings and counts."""
        if self._open:
            self._open = False
            self._lib.Brivant_Device_Close(self._id)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        if getattr(self, "_open", False):
            self.close()

    def __repr__(self):
        return "<brivant.Unit %d %s>" % (self._id, "open" if self._open else "closed")

    def _check(self, rc, operation):
        if rc != RC_OK:
            raise BrivantError(rc, self._id, operation)

    def _call(self, operation, function, *args):
        # A closed Unit sends nothing: its ID may be open by someone else now.
        if not self._open:
            raise BrivantError(RC_NOT_OPEN, self._id, operation)
        self._check(function(self._id, *args), operation)

    def set_input_inversion(self, channel, s1, s2, s3):
        """Input inversion of a channel (0 to 2); s1, s2, s3 are 0 or 1."""
        self._call("input inversion", self._lib.Brivant_InputInverter,
                   _byte(channel, "channel"), _byte(s1), _byte(s2), _byte(s3))

    def set_output_inversion(self, channel, s1, s2):
        """Output inversion; s1, s2 are 0 or 1."""
        self._call("output inversion", self._lib.Brivant_OutputInverter,
                   _byte(channel, "channel"), _byte(s1), _byte(s2))

    def set_output_mode(self, channel, s1, s2):
        """Output mode; s1, s2 are 0 or 1."""
        self._call("output mode", self._lib.Brivant_OutputMode,
                   _byte(channel, "channel"), _byte(s1), _byte(s2))

    def select_clear_event(self, channel, selection):
        """The event that clears the count: 0, 1 or 2."""
        self._call("clear event", self._lib.Brivant_SelClearEvent,
                   _byte(channel, "channel"), _byte(selection))

    def select_multiplier(self, channel, selection):
        """The multiplier: 0, 1 or 2."""
        self._call("multiplier", self._lib.Brivant_SelMultiplier,
                   _byte(channel, "channel"), _byte(selection))

    def set_limiter(self, channel, s1, s2):
        """The limiter; s1, s2 are 0 or 1."""
        self._call("limiter", self._lib.Brivant_SetLimitter,
                   _byte(channel, "channel"), _byte(s1), _byte(s2))

    def force_clear(self, channel):
        """Clears the channel's count now."""
        self._call("forced clear", self._lib.Brivant_ForcedClear, _byte(channel, "channel"))

    def set_running(self, channel, running):
        """Starts (True) or stops (False) the channel's counting."""
        self._call("run" if running else "stop", self._lib.Brivant_RunStop,
                   _byte(channel, "channel"), 1 if running else 0)

    def run(self, channel):
        self.set_running(channel, True)

    def stop(self, channel):
        self.set_running(channel, False)

    def write_preset(self, channel, first, second):
        """Writes the channel's two 32-bit preset words (a negative word is sent as its
        two's complement)."""
        words = (ctypes.c_uint32 * 2)(
            _fit(first, -(2**31), 2**32 - 1, "preset word") & 0xFFFFFFFF,
            _fit(second, -(2**31), 2**32 - 1, "preset word") & 0xFFFFFFFF,
        )
        self._call("preset", self._lib.Brivant_WritePresetData, _byte(channel, "channel"), words)

    def read_counts(self):
        """Counts((c0, c1, c2), (s0, s1, s2)) of all three channels, in one exchange."""
        counts = (ctypes.c_int32 * 3)()
        status = (ctypes.c_uint8 * 3)()
        self._call("read counts", self._lib.Brivant_ReadCount, counts, status)
        return Counts(tuple(counts), tuple(status))

    def read_channel(self, channel):
        """ChannelCount(count, status) of one channel, in the same one exchange."""
        count = ctypes.c_int32()
        status = ctypes.c_uint8()
        self._call("read count", self._lib.Brivant_ReadCountCh, _byte(channel, "channel"),
                   ctypes.byref(count), ctypes.byref(status))
        return ChannelCount(count.value, status.value)
