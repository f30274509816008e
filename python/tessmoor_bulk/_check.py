"""`Run.check()`: every function and channel of a run looked at, and what
was found wrong, for runs as acquisitions leave them (truncated, damaged,
still being written)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

# What each kind of problem is called in a summary line, for n of them.
KINDS = {
    "missing_file": "file missing",
    "unreadable_file": "file that cannot be read",
    "malformed_file": "file malformed",
    "out_of_bounds": "scan(s) past the end of the DAT",
    "undecodable": "scan(s) that cannot be decoded",
    "mz_out_of_range": "scan(s) with m/z far outside the function's range",
    "drift_beyond_scan": "scan(s) with drift times beyond the scan time",
    "rt_backwards": "scan(s) whose retention time goes backwards",
    "channel_rt_backwards": "sample(s) whose retention time goes backwards",
}
# Scans named in a summary line.
_FIRST = 5


@dataclass(frozen=True)
class Problem:
    """One thing found wrong.  `kind` is one of the keys of `KINDS`;
    `function` (from 1) or `channel` (from 0) says where, `scan` which scan
    (the sample's position for a channel), and `message` what, in the words
    of the error a read would raise."""

    kind: str
    message: str
    function: int | None = None
    channel: int | None = None
    scan: int | None = None


@dataclass(frozen=True)
class CheckReport:
    """What `Run.check()` found.  `functions` maps each listed function to
    its scan count (None when its files could not be read) and whether its
    scans carry drift times; `problems` lists everything found wrong, by
    function, then channel, each in scan order."""

    path: str
    functions: dict[int, dict[str, Any]] = field(default_factory=dict)
    channels: int = 0
    problems: tuple[Problem, ...] = ()

    @property
    def ok(self) -> bool:
        """True when nothing was found wrong."""
        return not self.problems

    def summary(self) -> list[str]:
        """One line per function or channel and kind of problem: how many,
        and the first scans."""
        groups: dict[tuple[int | None, int | None, str], list[Problem]] = {}
        for p in self.problems:
            groups.setdefault((p.function, p.channel, p.kind), []).append(p)
        lines = []
        for (function, channel, kind), found in groups.items():
            where = f"function {function}" if function is not None else f"channel {channel}"
            scans = [p.scan for p in found if p.scan is not None]
            line = f"{where}: {len(found) if scans else ''}{' ' if scans else ''}{KINDS[kind]}"
            if scans:
                more = ", ..." if len(scans) > _FIRST else ""
                line += f" (scan{'s' if len(scans) > 1 else ''} {', '.join(map(str, scans[:_FIRST]))}{more})"
            lines.append(f"{line}: {found[0].message}")
        return lines

    def to_dict(self) -> dict[str, Any]:
        """The whole report as JSON-ready values."""
        return {"path": self.path, "ok": self.ok,
                "functions": {str(k): v for k, v in self.functions.items()}, "channels": self.channels,
                "problems": [{k: v for k, v in vars(p).items() if v is not None} for p in self.problems]}

    def __str__(self) -> str:
        return "\n".join(self.summary()) if self.problems else f"{self.path}: no problems found"


def problem_of(error: BaseException) -> tuple[str, str]:
    """The kind and message of a file that could not be read or parsed."""
    if isinstance(error, FileNotFoundError):
        kind = "missing_file"
    elif isinstance(error, OSError):
        kind = "unreadable_file"
    else:
        kind = "malformed_file"
    if isinstance(error, OSError) and error.strerror and error.filename:
        return kind, f"{error.strerror}: {error.filename}"
    return kind, str(error)
