"""Reaching a unit that a running `brivant serve` (or `brivant panel`) holds.

serve claims its units' USB interfaces, so an open here would only find no
unit: a unit it holds is reached through its API instead, with the same
checks, methods and errors. serve writes its address and token into the
user's runtime folder ($XDG_RUNTIME_DIR/brivant, else ~/.brivant/run; on
Windows %LOCALAPPDATA%\\brivant), readable by that user alone; a folder that
others can write to is not trusted. The packaged system service writes into
/run/brivant instead, readable by the group brivant: that folder is looked at
after the user's own.
"""

from __future__ import annotations

import ctypes
import json
import os
import ssl
import stat
import sys
import threading
import urllib.error
import urllib.request
from pathlib import Path
from typing import Any, Dict, List, Optional

from .errors import RC_ALREADY_OPEN, RC_COMM_FAILED, RC_ID_NOT_FOUND, RC_OK, BrivantError


def runtime_folder() -> Optional[Path]:
    """The folder serve's files are in, or None when there is none to trust."""
    if sys.platform == "win32":
        local = os.environ.get("LOCALAPPDATA")
        return Path(local) / "brivant" if local else None
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        folder = Path(runtime) / "brivant"
    else:
        home = os.environ.get("HOME", "")
        if not home.startswith("/"):
            return None
        folder = Path(home) / ".brivant" / "run"
    try:
        info = folder.lstat()
    except OSError:
        return None
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid() or info.st_mode & 0o022:
        return None
    return folder


def system_folder() -> Optional[Path]:
    """The system serve's folder, or None when there is none to trust."""
    if sys.platform == "win32":
        return None
    folder = Path(os.environ.get("BRIVANT_SYSTEM_RUNTIME") or "/run/brivant")
    try:
        info = folder.lstat()
    except OSError:
        return None
    if not stat.S_ISDIR(info.st_mode) or info.st_mode & 0o022:
        return None
    return folder


def _alive(pid: int) -> bool:
    if sys.platform == "win32":
        kernel32 = ctypes.windll.kernel32  # type: ignore[attr-defined]
        handle = kernel32.OpenProcess(0x1000, False, pid)  # PROCESS_QUERY_LIMITED_INFORMATION
        if not handle:
            return False
        code = ctypes.c_ulong()
        running = kernel32.GetExitCodeProcess(handle, ctypes.byref(code)) and code.value == 259
        kernel32.CloseHandle(handle)
        return bool(running)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class Serve:
    """One running serve: its address, token and the units it holds."""

    def __init__(self, record: Dict[str, Any]) -> None:
        self.pid = int(record["pid"])
        self.base = str(record["base"])
        self.token = str(record["token"])
        self.station = str(record.get("station", ""))
        self.gone: Optional[str] = None
        self.units: List[int] = []
        answer = self._request("GET", "/api/units")
        if answer is not None:
            self.units = [int(unit["id"]) for unit in answer.get("units", [])]

    def _request(self, method: str, path: str, body: Any = None) -> Optional[Dict[str, Any]]:
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method)
        request.add_header("X-Brivant-Token", self.token)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        context = None
        if self.base.startswith(("https://127.", "https://[::1]", "https://localhost")):
            # serve with HTTPS on this machine: its certificate names the
            # station, not loopback, and the connection stays on the machine.
            context = ssl._create_unverified_context()
        try:
            with urllib.request.urlopen(request, timeout=10, context=context) as response:
                return json.loads(response.read().decode())
        except urllib.error.HTTPError as error:
            if error.code == 504:  # the unit did not answer serve in time
                return {"code": RC_COMM_FAILED}
            return None
        except OSError as error:
            self.gone = str(getattr(error, "reason", error))
            return None
        except ValueError:
            return None

    def call(self, path: str, body: Dict[str, Any]) -> Dict[str, Any]:
        self.gone = None
        answer = self._request("POST", path, body)
        if answer is None and self.gone is not None:
            # serve ended or is restarting: say so, not a USB failure.
            unit_id = int(path.split("/")[3]) if path.startswith("/api/units/") else None
            raise BrivantError(RC_COMM_FAILED, unit_id, "through serve",
                               "brivant serve (pid %d) at %s does not answer (%s); has it stopped?"
                               % (self.pid, self.base, self.gone))
        if answer is None or "code" not in answer:
            return {"code": RC_COMM_FAILED}
        return answer

    def __repr__(self) -> str:
        return "<brivant serve pid %d %s>" % (self.pid, self.base)


def live_serves() -> List[Serve]:
    """The serves running now, each with the units it holds."""
    serves: List[Serve] = []
    for folder in (runtime_folder(), system_folder()):
        if folder is None:
            continue
        try:
            paths = sorted(folder.glob("serve-*.json"))
        except OSError:
            continue
        for path in paths:
            try:
                record = json.loads(path.read_text(encoding="utf-8"))
                pid = int(record["pid"])
                if _alive(pid) and all(serve.pid != pid for serve in serves):
                    serves.append(Serve(record))
            except (OSError, ValueError, KeyError, TypeError):
                continue  # a system serve's file outside its group, say
    return serves


def serve_holding(unit_id: int, serves: Optional[List[Serve]] = None) -> Optional[Serve]:
    """The running serve that holds `unit_id`, if any (among `serves` when given)."""
    for serve in live_serves() if serves is None else serves:
        if unit_id in serve.units:
            return serve
    return None


# The IDs this process has open through a serve.
_opened: set = set()
_opened_lock = threading.Lock()


class ServeLibrary:
    """The functions Unit calls, each made a request to serve for one unit.

    Unit checks every argument before it calls here, as it does before it
    calls the library, so serve's API sees only values it takes.
    """

    def __init__(self, serve: Serve) -> None:
        self.serve = serve

    def _change(self, unit_id: int, channel: int, action: str, body: Dict[str, Any]) -> int:
        path = "/api/units/%d/channels/%d/%s" % (unit_id, channel, action)
        return int(self.serve.call(path, body)["code"])

    def Brivant_Device_Open(self, unit_id: int) -> int:
        # As the library does: one open of an ID at a time in a process.
        with _opened_lock:
            if unit_id in _opened:
                return RC_ALREADY_OPEN
        answer = self.serve.call("/api/units/%d/read" % unit_id, {})
        code = int(answer["code"])
        if code == RC_OK:
            with _opened_lock:
                if unit_id in _opened:
                    return RC_ALREADY_OPEN
                _opened.add(unit_id)
            return RC_OK
        return code if code != RC_COMM_FAILED else RC_ID_NOT_FOUND

    def Brivant_Device_Close(self, unit_id: int) -> None:
        with _opened_lock:
            _opened.discard(unit_id)  # serve keeps the unit

    def Brivant_InputInverter(self, unit_id: int, ch: int, s1: int, s2: int, s3: int) -> int:
        return self._change(unit_id, ch, "input-inversion", {"s1": s1, "s2": s2, "s3": s3})

    def Brivant_OutputInverter(self, unit_id: int, ch: int, s1: int, s2: int) -> int:
        return self._change(unit_id, ch, "output-inversion", {"s1": s1, "s2": s2})

    def Brivant_OutputMode(self, unit_id: int, ch: int, s1: int, s2: int) -> int:
        return self._change(unit_id, ch, "output-mode", {"s1": s1, "s2": s2})

    def Brivant_SelClearEvent(self, unit_id: int, ch: int, selection: int) -> int:
        return self._change(unit_id, ch, "clear-event", {"selection": selection})

    def Brivant_SelMultiplier(self, unit_id: int, ch: int, selection: int) -> int:
        return self._change(unit_id, ch, "multiplier", {"selection": selection})

    def Brivant_SetLimitter(self, unit_id: int, ch: int, s1: int, s2: int) -> int:
        return self._change(unit_id, ch, "limiter", {"s1": s1, "s2": s2})

    def Brivant_ForcedClear(self, unit_id: int, ch: int) -> int:
        return self._change(unit_id, ch, "clear", {})

    def Brivant_RunStop(self, unit_id: int, ch: int, run: int) -> int:
        return self._change(unit_id, ch, "run" if run else "stop", {})

    def Brivant_WritePresetData(self, unit_id: int, ch: int, words: Any) -> int:
        return self._change(unit_id, ch, "preset", {"first": int(words[0]), "second": int(words[1])})

    def Brivant_ReadCount(self, unit_id: int, counts: Any, status: Any) -> int:
        answer = self.serve.call("/api/units/%d/read" % unit_id, {})
        if answer["code"] == RC_OK:
            for ch in range(3):
                counts[ch] = answer["counts"][ch]
                status[ch] = answer["status"][ch]
        return int(answer["code"])

    def Brivant_ReadCountCh(self, unit_id: int, ch: int, count: Any, status: Any) -> int:
        answer = self.serve.call("/api/units/%d/read" % unit_id, {})
        if answer["code"] == RC_OK:
            count._obj.value = answer["counts"][ch]
            status._obj.value = answer["status"][ch]
        return int(answer["code"])
