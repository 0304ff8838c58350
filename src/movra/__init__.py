"""movra: an in-process streaming event processor.

The package is the public face of the native core ``_movra``: plans, streams,
conversion of frames and arrays, iteration that leaves the interpreter lock
free, checkpoints, metrics and the route to a cluster engine.
"""

from __future__ import annotations

__all__: list[str] = []
