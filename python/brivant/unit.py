"""An open counter unit."""

from __future__ import annotations

import ctypes
import operator
from typing import Any, Callable, List, NamedTuple, Optional, Tuple, Union

from ._library import library
from .errors import (RC_ALREADY_OPEN, RC_BAD_ID, RC_BAD_PARAMETER, RC_ID_NOT_FOUND, RC_NOT_OPEN, RC_OK,
                     RC_TOO_MANY_UNITS, BrivantError)

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


# The bounds the library holds each argument to, by the name used in messages.
_CHANNEL = ("channel", 2)
_SELECTION = ("selection", 2)


def _on_off_bound(name: str) -> Tuple[str, int]:
    return (name, 1)


def _out_of_bounds(value: int, what: str, high: int) -> Optional[str]:
    if 0 <= value <= high:
        return None
    return "%s %d is not %s" % (what, value, "0 or 1" if high == 1 else "0 to %d" % high)


def _word_out_of_bounds(value: int, what: str) -> Optional[str]:
    if -(2**31) <= value <= 2**32 - 1:
        return None
    return "%s %d is not a 32-bit word (-2147483648 to 4294967295)" % (what, value)


class Unit:
    """One open unit: opens on creation, closes on close() or at the end of a with block.

    A wrong argument type raises TypeError. Every value the library would
    refuse raises BrivantError without anything being sent: an ID outside
    0 to 15 RC_BAD_ID, a channel or setting above its bound (or outside 0 to
    255) RC_BAD_PARAMETER. A closed Unit raises RC_NOT_OPEN.
    """

    def __init__(self, unit_id: int, via: str = "auto") -> None:
        """Opens unit `unit_id` (0 to 15), or raises BrivantError with the reason.

        A unit that a running `brivant serve` holds is reached through it,
        with the same methods and errors (``via="auto"``, the default);
        ``via="direct"`` opens it here whatever runs, ``via="serve"`` only
        through a serve (RC_ID_NOT_FOUND when none holds it).
        """
        self._open = False
        self._id = _integer(unit_id, "unit ID")
        if via not in ("auto", "direct", "serve"):
            raise ValueError("via must be 'auto', 'direct' or 'serve', not %r" % (via,))
        if not -(2**15) <= self._id < 2**15:
            raise BrivantError(RC_BAD_ID, self._id, "open")
        self.serve: Optional[Any] = None
        """The serve the unit is reached through, or None when it is opened here."""
        if via != "direct" and 0 <= self._id <= 15:
            from ._serve import ServeLibrary, serve_holding
            self.serve = serve_holding(self._id)
            if self.serve is not None:
                self._lib = ServeLibrary(self.serve)
        if self.serve is None:
            if via == "serve":
                raise BrivantError(RC_ID_NOT_FOUND, self._id, "open through serve")
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

    def _refuse(self, operation: str, problem: Optional[str] = None) -> None:
        # A closed Unit sends nothing: its ID may be open by someone else now.
        # As the library does: not open first, then the arguments.
        if not self._open:
            raise BrivantError(RC_NOT_OPEN, self._id, operation)
        if problem is not None:
            raise BrivantError(RC_BAD_PARAMETER, self._id, operation, problem)

    def _send(self, operation: str, function: Callable[..., int],
              *arguments: Tuple[int, Tuple[str, int]]) -> None:
        """Sends `arguments`, each (value, (name, bound)), once every one is
        within its bound; the first that is not is named in the error."""
        problems = [_out_of_bounds(value, *bound) for value, bound in arguments]
        self._refuse(operation, next((p for p in problems if p is not None), None))
        self._check(function(self._id, *(value for value, _ in arguments)), operation)

    def set_input_inversion(self, channel: int, s1: OnOff, s2: OnOff, s3: OnOff) -> None:
        """Input inversion of a channel (0 to 2); s1, s2, s3 are on or off."""
        self._send("input inversion", self._lib.Brivant_InputInverter,
                   (_integer(channel, "channel"), _CHANNEL), (_on_off(s1, "s1"), _on_off_bound("s1")),
                   (_on_off(s2, "s2"), _on_off_bound("s2")), (_on_off(s3, "s3"), _on_off_bound("s3")))

    def set_output_inversion(self, channel: int, s1: OnOff, s2: OnOff) -> None:
        """Output inversion of a channel; s1, s2 are on or off."""
        self._send("output inversion", self._lib.Brivant_OutputInverter,
                   (_integer(channel, "channel"), _CHANNEL), (_on_off(s1, "s1"), _on_off_bound("s1")),
                   (_on_off(s2, "s2"), _on_off_bound("s2")))

    def set_output_mode(self, channel: int, s1: OnOff, s2: OnOff) -> None:
        """Output mode of a channel; s1, s2 are on or off."""
        self._send("output mode", self._lib.Brivant_OutputMode,
                   (_integer(channel, "channel"), _CHANNEL), (_on_off(s1, "s1"), _on_off_bound("s1")),
                   (_on_off(s2, "s2"), _on_off_bound("s2")))

    def select_clear_event(self, channel: int, selection: int) -> None:
        """The event that clears the channel's count: 0, 1 or 2."""
        self._send("clear event", self._lib.Brivant_SelClearEvent,
                   (_integer(channel, "channel"), _CHANNEL),
                   (_integer(selection, "selection"), _SELECTION))

    def select_multiplier(self, channel: int, selection: int) -> None:
        """The channel's multiplier: 0, 1 or 2."""
        self._send("multiplier", self._lib.Brivant_SelMultiplier,
                   (_integer(channel, "channel"), _CHANNEL),
                   (_integer(selection, "selection"), _SELECTION))

    def set_limiter(self, channel: int, s1: OnOff, s2: OnOff) -> None:
        """The channel's limiter; s1, s2 are on or off."""
        self._send("limiter", self._lib.Brivant_SetLimitter,
                   (_integer(channel, "channel"), _CHANNEL), (_on_off(s1, "s1"), _on_off_bound("s1")),
                   (_on_off(s2, "s2"), _on_off_bound("s2")))

    def force_clear(self, channel: int) -> None:
        """Clears the channel's count now (to its first preset word)."""
        self._send("forced clear", self._lib.Brivant_ForcedClear,
                   (_integer(channel, "channel"), _CHANNEL))

    def set_running(self, channel: int, running: OnOff) -> None:
        """Starts (True or 1) or stops (False or 0) the channel's counting."""
        running = _on_off(running, "running")
        self._send("run" if running else "stop", self._lib.Brivant_RunStop,
                   (_integer(channel, "channel"), _CHANNEL), (running, _on_off_bound("running")))

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
        first = _integer(first, "first word")
        second = _integer(second, "second word")
        problems = (_out_of_bounds(channel, *_CHANNEL), _word_out_of_bounds(first, "first word"),
                    _word_out_of_bounds(second, "second word"))
        self._refuse("preset", next((p for p in problems if p is not None), None))
        words = (ctypes.c_uint32 * 2)(first & 0xFFFFFFFF, second & 0xFFFFFFFF)
        self._check(self._lib.Brivant_WritePresetData(self._id, channel, words), "preset")

    def read_counts(self) -> Counts:
        """Counts((c0, c1, c2), (s0, s1, s2)) of all three channels, in one exchange.

        Counts of channels 1 and 2 are 24-bit signed values, negative below zero.
        """
        counts = (ctypes.c_int32 * 3)()
        status = (ctypes.c_uint8 * 3)()
        self._refuse("read counts")
        self._check(self._lib.Brivant_ReadCount(self._id, counts, status), "read counts")
        return Counts((counts[0], counts[1], counts[2]), (status[0], status[1], status[2]))

    def read_channel(self, channel: int) -> ChannelCount:
        """ChannelCount(count, status) of one channel, in the same one exchange."""
        channel = _integer(channel, "channel")
        count = ctypes.c_int32()
        status = ctypes.c_uint8()
        self._refuse("read count", _out_of_bounds(channel, *_CHANNEL))
        self._check(self._lib.Brivant_ReadCountCh(self._id, channel, ctypes.byref(count),
                                                  ctypes.byref(status)), "read count")
        return ChannelCount(count.value, status.value)



def list_units() -> List[int]:
    """The IDs of the units present (0 to 15), as `brivant list` finds them:
    each ID is opened and closed again, or asked of the running serve that
    holds it. An ID this process holds open is present too. Raises
    BrivantError only when more units are present than the library takes
    (RC_TOO_MANY_UNITS)."""
    from ._serve import ServeLibrary, live_serves, serve_holding
    serves = live_serves()  # looked for once, not once an ID
    found = []
    for unit_id in range(16):
        serve = serve_holding(unit_id, serves)
        lib: Any = ServeLibrary(serve) if serve is not None else library()
        rc = lib.Brivant_Device_Open(unit_id)
        if rc == RC_OK:
            lib.Brivant_Device_Close(unit_id)
            found.append(unit_id)
        elif rc == RC_ALREADY_OPEN:
            found.append(unit_id)
        elif rc == RC_TOO_MANY_UNITS:
            raise BrivantError(rc, None, "list units")
    return found
