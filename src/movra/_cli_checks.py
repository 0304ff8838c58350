"""Small helpers of the ``movra`` command: hints for misspelled options and
ISO times in the output."""

from __future__ import annotations

import argparse
import datetime
import difflib
from typing import Any, Final

__all__ = ["iso_time", "iso_times", "option_hint", "window_ms"]

_EPOCH: Final = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_WINDOW_TIMES: Final = ("window_start", "window_end")
_UNRECOGNIZED: Final = "unrecognized arguments: "


def _long_options(parser: argparse.ArgumentParser) -> set[str]:
    """The long options of `parser` and of its subcommands."""
    out: set[str] = set()
    for action in parser._actions:
        out.update(o for o in action.option_strings if o.startswith("--"))
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                out |= _long_options(sub)
    return out


def option_hint(parser: argparse.ArgumentParser, message: str) -> str:
    """`message`, with the nearest known option added for each unknown one
    it names ("--windw: did you mean --window?")."""
    if not message.startswith(_UNRECOGNIZED):
        return message
    options = sorted(_long_options(parser))
    hints = []
    for word in message[len(_UNRECOGNIZED):].split():
        if word.startswith("--"):
            flag = word.split("=", 1)[0]
            close = difflib.get_close_matches(flag, options, n=1, cutoff=0.6)
            if close:
                hints.append(f"{flag}: did you mean {close[0]}?")
    return "; ".join([message, *hints])


def iso_time(ms: int) -> str:
    """Epoch milliseconds as ISO 8601 text in UTC (milliseconds shown only
    when there are any)."""
    moment = _EPOCH + datetime.timedelta(milliseconds=ms)
    return moment.isoformat(timespec="seconds" if ms % 1000 == 0 else "milliseconds")


def iso_times(batch: dict[str, list[Any]]) -> dict[str, list[Any]]:
    """`batch` with its window times as ISO text."""
    out = dict(batch)
    for name in _WINDOW_TIMES:
        if name in out:
            out[name] = [v if type(v) is not int else iso_time(v) for v in out[name]]
    return out


def window_ms(value: Any) -> int:
    """A window time read back from the output: epoch milliseconds, or the
    ISO text `iso_time` wrote."""
    if isinstance(value, str) and not value.lstrip("-").isdigit():
        return (datetime.datetime.fromisoformat(value) - _EPOCH) // datetime.timedelta(milliseconds=1)
    return int(value)
