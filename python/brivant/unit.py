"""An open counter unit."""

from __future__ import annotations

import ctypes
import operator
from typing import Any, Callable, NamedTuple, Tuple, Union

from ._library import library
from .errors import RC_BAD_ID, RC_BAD_PARAMETER, RC_NOT_OPEN, RC_OK, BrivantError

OnOff = Union[bool, int]
"""An on/off setting: True or False, or the int 1 or 0."""


class Counts(NamedTuple):
    """The counts and status bytes of the three channels; index k is channel k."""

    counts: Tuple[int, int, int]
    status: Tuple[int, int, int]


class ChannelCount(NamedTuple):
    """The count and status byte of one channel."""

    count: int
    status: int


# Python ints are not cut down to fit here as ctypes would cut them (256 would
# reach the library as channel 0): the type is checked first (TypeError), then
# a value beyond its C type is refused like any other value the library
# refuses, with the same result code and nothing sent.

def _integer(value: Any, what: str) -> int:
    # bool is an int to Python, but a bool where a unit, channel, selection or
    # word belongs is a slip (arguments swapped), not a number.
    if not isinstance(value, bool):
        try:
            return operator.index(value)  # int, or an int-like such as numpy.int64
        except TypeError:
            pass
    raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))


def _on_off(value: Any, what: str) -> int:
    if isinstance(value, bool):
        return int(value)
    try:
        return operator.index(value)
    except TypeError:
        # Never a truth value: 'no' and 'off' are true strings.
        raise TypeError("%s must be a bool or an int, not %s"
                        % (what, type(value).__name__)) from None


def _fits_byte(*values: int) -> bool:
    return all(0 <= value <= 0xFF for value in values)


def _fits_word(value: int) -> bool:
    return -(2**31) <= value <= 2**32 - 1


class Unit:
    """One open unit: opens on creation, closes on close() or at the end of a with block.

    A wrong argument type raises TypeError. Every value the library would
    refuse raises BrivantError without anything being sent: an ID outside
    0 to 15 RC_BAD_ID, a channel or setting above its bound (or outside 0 to
    255) RC_BAD_PARAMETER. A closed Unit raises RC_NOT_OPEN.
    """

    def __init__(self, unit_id: int) -> None:
        """Opens unit `unit_id` (0 to 15), or raises BrivantError with the reason."""
        self._open = False
        self._id = _integer(unit_id, "unit ID")
        if not -(2**15) <= self._id < 2**15:
            raise BrivantError(RC_BAD_ID, self._id, "open")
        self._lib = library()
        self._check(self._lib.Brivant_Device_Open(self._id), "open")
        self._open = True

    @property
    def unit_id(self) -> int:
        """The unit's ID."""
        return self._id

    @property
    def is_open(self) -> bool:
        """True until close() or the end of the with block."""
        return self._open

    def close(self) -> None:
        """Closes the unit; later calls do nothing. The unit keeps its settings and counts."""
        if self._open:
            self._open = False
            self._lib.Brivant_Device_Close(self._id)

    def __enter__(self) -> Unit:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_open", False):
            self.close()

    def __repr__(self) -> str:
        return "<brivant.Unit %d %s>" % (self._id, "open" if self._open else "closed")

    def _check(self, rc: int, operation: str) -> None:
        if rc != RC_OK:
            raise BrivantError(rc, self._id, operation)

    def _refuse(self, operation: str, arguments_fit: bool) -> None:
        # A closed Unit sends nothing: its ID may be open by someone else now.
        if not self._open:
            raise BrivantError(RC_NOT_OPEN, self._id, operation)
        if not arguments_fit:
            raise BrivantError(RC_BAD_PARAMETER, self._id, operation)

    def _send(self, operation: str, function: Callable[..., int], *values: int) -> None:
        self._refuse(operation, _fits_byte(*values))
        self._check(function(self._id, *values), operation)

    def set_input_inversion(self, channel: int, s1: OnOff, s2: OnOff, s3: OnOff) -> None:
        """Input inversion of a channel (0 to 2); s1, s2, s3 are on or off."""
        self._send("input inversion", self._lib.Brivant_InputInverter, _integer(channel, "channel"),
                   _on_off(s1, "s1"), _on_off(s2, "s2"), _on_off(s3, "s3"))

    def set_output_inversion(self, channel: int, s1: OnOff, s2: OnOff) -> None:
        """Output inversion of a channel; s1, s2 are on or off."""
        self._send("output inversion", self._lib.Brivant_OutputInverter,
                   _integer(channel, "channel"), _on_off(s1, "s1"), _on_off(s2, "s2"))

    def set_output_mode(self, channel: int, s1: OnOff, s2: OnOff) -> None:
        """Output mode of a channel; s1, s2 are on or off."""
        self._send("output mode", self._lib.Brivant_OutputMode, _integer(channel, "channel"),
                   _on_off(s1, "s1"), _on_off(s2, "s2"))

    def select_clear_event(self, channel: int, selection: int) -> None:
        """The event that clears the channel's count: 0, 1 or 2."""
        self._send("clear event", self._lib.Brivant_SelClearEvent, _integer(channel, "channel"),
                   _integer(selection, "selection"))

    def select_multiplier(self, channel: int, selection: int) -> None:
        """The channel's multiplier: 0, 1 or 2."""
        self._send("multiplier", self._lib.Brivant_SelMultiplier, _integer(channel, "channel"),
                   _integer(selection, "selection"))

    def set_limiter(self, channel: int, s1: OnOff, s2: OnOff) -> None:
        """The channel's limiter; s1, s2 are on or off."""
        self._send("limiter", self._lib.Brivant_SetLimitter, _integer(channel, "channel"),
                   _on_off(s1, "s1"), _on_off(s2, "s2"))

    def force_clear(self, channel: int) -> None:
        """Clears the channel's count now (to its first preset word)."""
        self._send("forced clear", self._lib.Brivant_ForcedClear, _integer(channel, "channel"))

    def set_running(self, channel: int, running: OnOff) -> None:
        """Starts (True or 1) or stops (False or 0) the channel's counting."""
        running = _on_off(running, "running")
        self._send("run" if running else "stop", self._lib.Brivant_RunStop,
                   _integer(channel, "channel"), running)

    def run(self, channel: int) -> None:
        """Starts the channel's counting."""
        self.set_running(channel, True)

    def stop(self, channel: int) -> None:
        """Stops the channel's counting; its count holds."""
        self.set_running(channel, False)

    def write_preset(self, channel: int, first: int, second: int) -> None:
        """Writes the channel's two 32-bit preset words, each unsigned or signed
        (-256 is sent as 0xFFFFFF00)."""
        channel = _integer(channel, "channel")
        first = _integer(first, "preset word")
        second = _integer(second, "preset word")
        self._refuse("preset", _fits_byte(channel) and _fits_word(first) and _fits_word(second))
        words = (ctypes.c_uint32 * 2)(first & 0xFFFFFFFF, second & 0xFFFFFFFF)
        self._check(self._lib.Brivant_WritePresetData(self._id, channel, words), "preset")

    def read_counts(self) -> Counts:
        """Counts((c0, c1, c2), (s0, s1, s2)) of all three channels, in one exchange.

        Counts of channels 1 and 2 are 24-bit signed values, negative below zero.
        """
        counts = (ctypes.c_int32 * 3)()
        status = (ctypes.c_uint8 * 3)()
        self._refuse("read counts", True)
        self._check(self._lib.Brivant_ReadCount(self._id, counts, status), "read counts")
        return Counts((counts[0], counts[1], counts[2]), (status[0], status[1], status[2]))

    def read_channel(self, channel: int) -> ChannelCount:
        """ChannelCount(count, status) of one channel, in the same one exchange."""
        channel = _integer(channel, "channel")
        count = ctypes.c_int32()
        status = ctypes.c_uint8()
        self._refuse("read count", _fits_byte(channel))
        self._check(self._lib.Brivant_ReadCountCh(self._id, channel, ctypes.byref(count),
                                                  ctypes.byref(status)), "read count")
        return ChannelCount(count.value, status.value)

