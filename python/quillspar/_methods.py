"""Everyday methods that `@message` gives a class: a repr that stays readable
for big messages, `copy.replace` support (`__replace__`) and `which_oneof`.

The repr shortens long lists, dicts, strings and deeply nested messages the
way `reprlib` does, leaves out oneof members that are not set, and shows a
message that contains itself as `...`.
"""

import reprlib
from collections.abc import Callable
from typing import Any

from ._names import _message_info
from ._schema import Field

__all__ = ["make_repr", "make_replace", "make_which_oneof", "replace", "which_oneof"]


class _MessageRepr(reprlib.Repr):
    """reprlib's limits, with message instances shown field by field."""

    def __init__(self) -> None:
        super().__init__(
            maxlevel=6, maxtuple=10, maxlist=10, maxarray=10, maxdict=10, maxset=10, maxfrozenset=10,
            maxdeque=10, maxstring=80, maxlong=40, maxother=80,
        )
        self.active: set[int] = set()

    def repr1(self, x: object, level: int) -> str:
        shape = getattr(type(x).__repr__, "_quillspar_fields", None)
        if shape is None:
            return super().repr1(x, level)
        names, oneof_members = shape
        name = type(x).__qualname__
        if level <= 0:
            return f"{name}(...)"
        if id(x) in self.active:
            return "..."
        self.active.add(id(x))
        try:
            parts = []
            for field in names:
                value = getattr(x, field, None)
                if value is None and field in oneof_members:
                    continue
                parts.append(f"{field}={self.repr1(value, level - 1)}")
        finally:
            self.active.discard(id(x))
        return f"{name}({', '.join(parts)})"


def make_repr(fields: list[Field]) -> Callable[[object], str]:
    def __repr__(self: object) -> str:
        return _MessageRepr().repr(self)

    __repr__._quillspar_fields = (  # type: ignore[attr-defined]
        tuple(f.name for f in fields),
        frozenset(f.name for f in fields if f.oneof is not None),
    )
    return __repr__


def _groups(fields: list[Field]) -> dict[str, tuple[str, ...]]:
    groups: dict[str, list[str]] = {}
    for f in fields:
        if f.oneof is not None:
            groups.setdefault(f.oneof, []).append(f.name)
    return {k: tuple(v) for k, v in groups.items()}


def make_replace(fields: list[Field], keep_unknown: bool) -> Callable[..., Any]:
    names = tuple(f.name for f in fields)
    siblings = {member: group for group in _groups(fields).values() for member in group}

    def __replace__(self: object, /, **changes: object) -> object:
        """A copy with the given fields replaced (`copy.replace(obj, x=1)`).

        Setting a member of a oneof clears the other members. The copy is
        shallow: lists, dicts and nested messages are shared.
        """
        kw = {name: getattr(self, name) for name in names}
        for name, value in changes.items():
            group = siblings.get(name)
            if group is not None and value is not None:
                for other in group:
                    if other not in changes:
                        kw[other] = None
        kw.update(changes)
        if keep_unknown and "_unknown_fields" not in changes:
            kw["_unknown_fields"] = getattr(self, "_unknown_fields", b"")
        return type(self)(**kw)

    return __replace__


def replace(message: object, changes: dict[str, object]) -> object:
    """`copy.replace` for a message whose class has no `__replace__` of its own."""
    for cls in type(message).__mro__:
        info = _message_info(cls)
        if info is not None:
            return make_replace(info.fields, info.keep_unknown)(message, **changes)
    raise TypeError(f"expected a message, not {type(message).__name__}")


def _which(obj: object, oneof: str, groups: dict[str, tuple[str, ...]]) -> str | None:
    members = groups.get(oneof)
    if members is None:
        known = ", ".join(groups) or "none"
        raise ValueError(f"{type(obj).__qualname__} has no oneof {oneof!r} (its oneofs: {known})")
    for name in members:
        if getattr(obj, name) is not None:
            return name
    return None


def make_which_oneof(fields: list[Field]) -> Callable[[object, str], str | None]:
    groups = _groups(fields)

    def which_oneof(self: object, oneof: str) -> str | None:
        """The name of the member of `oneof` that is set, or None."""
        return _which(self, oneof, groups)

    return which_oneof


def which_oneof(message: object, oneof: str) -> str | None:
    """The (Python) name of the member of the oneof called `oneof` that is
    set in `message`, or None when none is. Raises `ValueError` when the
    message's class has no such oneof."""
    info = None
    for cls in type(message).__mro__:
        info = _message_info(cls)
        if info is not None:
            break
    if info is None:
        raise TypeError(f"expected a message, not {type(message).__name__}")
    if not isinstance(oneof, str):
        raise TypeError(f"a oneof is named by a str, not {type(oneof).__name__}")
    return _which(message, oneof, _groups(info.fields))
