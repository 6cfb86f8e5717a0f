"""Fuzzes Descriptor.encode with hostile field values.

    ./dev run python fuzz/encode_fuzz.py --count 200000 [--seed N]

Starts from valid messages (the decode fuzzer's pool, decoded) and replaces one
field, or one element or entry of it, with a value drawn from a list per kind:
stand-ins that must encode exactly like a plain value (int and str subclasses,
objects with __index__ or __float__, bool in integer fields, bytearray, lists
and memoryviews for bytes, tuples, sets and generators for repeated fields,
dict subclasses for maps), and values that must be refused with a known
exception type (out of range, wrong type, lone surrogates, hooks that raise).
Each draw carries its expected outcome, so a run checks that

- a value that must encode gives the same bytes as its plain equivalent (whose
  encoding the decode fuzzer has checked against the reference runtime), and
  the reference runtime parses them;
- a value that must be refused raises the expected exception type, never
  another one, never PanicException or SystemError.
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Iterator
import random
import re
import sys
import types

import decode_fuzz as dz

try:
    import numpy
except ImportError:  # numpy only widens the Bool cases
    numpy = None


class Hostile(Exception):
    """Raised by the hooks of the hostile stand-ins."""


class IntLike:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __hash__(self):
        return hash(self.n)

    def __eq__(self, other):
        return isinstance(other, IntLike) and other.n == self.n


class FloatLike:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x


class Raises:
    """Every conversion hook raises."""

    def __index__(self):
        raise Hostile("__index__")

    def __float__(self):
        raise Hostile("__float__")

    def __iter__(self):
        raise Hostile("__iter__")

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise Hostile("__getitem__")

    def __hash__(self):
        return 1


class IntSub(int):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class DictSub(dict):
    pass


class NotAMessage:
    __quillspar__ = 42


OK, RAISES = "ok", "raises"

INT_LIMITS = {k: v[3] for k, v in dz.KINDS.items() if v[3]}


def scalar_cases(kind: str, rng: random.Random) -> list[tuple]:
    """(value, OK, plain value) or (value, RAISES, exception types) for one scalar kind."""
    py = dz.KINDS[kind][2]
    if py is int:
        lo, hi = INT_LIMITS[kind]
        v = rng.choice([lo, hi, 0, 1, rng.randint(lo, hi)])
        width32 = hi < 2**33
        # Beyond the range: the field's own check, or the interpreter's.
        over = [hi + 1, lo - 1, 2**64, -(2**63) - 1, 2**127, -(2**127)]
        cases = [
            (v, OK, v), (IntLike(v), OK, v), (IntSub(v), OK, v), (True, OK, 1), (False, OK, 0),
            (rng.choice(over), RAISES, (OverflowError,)), (2**300, RAISES, (OverflowError,)),
            (3.0, RAISES, (TypeError,)), ("3", RAISES, (TypeError,)), (None, RAISES, (TypeError,)),
            (Raises(), RAISES, (Hostile,)), (IntLike(hi + 1), RAISES, (OverflowError,)),
        ]
        if width32:
            cases.append((IntLike(2**40), RAISES, (OverflowError,)))
        return cases
    if py is float:
        x = rng.choice([0.0, 1.5, -2.25, 1e-30, math.inf, -math.inf, 123456.789])
        plain = dz.struct.unpack("<f", dz.struct.pack("<f", x))[0] if kind == "float" and abs(x) < 3e38 else x
        cases = [
            (x, OK, x), (3, OK, 3.0), (IntLike(4), OK, 4.0), (FloatLike(x), OK, x), (True, OK, 1.0),
            (2**2000, RAISES, (OverflowError,)), ("1.0", RAISES, (TypeError,)), (None, RAISES, (TypeError,)),
            (Raises(), RAISES, (Hostile,)), (math.nan, OK, math.nan),
        ]
        if kind == "float":
            cases += [(1e300, OK, math.inf), (-1e300, OK, -math.inf), (1e-50, OK, 1e-50)]
        else:
            cases.append((plain, OK, plain))
        return cases
    if py is bool:
        cases = [(True, OK, True), (False, OK, False), (1, RAISES, (TypeError,)), (None, RAISES, (TypeError,)),
                 ("", RAISES, (TypeError,))]
        if numpy is not None:
            cases += [(numpy.bool_(True), OK, True), (numpy.bool_(False), OK, False)]
        return cases
    if py is str:
        s = rng.choice(["", "a", "héllo", "€𐍈" * 40])
        return [(s, OK, s), (StrSub(s), OK, s), (b"a", RAISES, (TypeError,)), (5, RAISES, (TypeError,)),
                ("a\ud800", RAISES, (UnicodeEncodeError,)), (None, RAISES, (TypeError,))]
    b = rng.choice([b"", b"ab", bytes(range(256)), b"x" * 300])
    return [
        (b, OK, b), (bytearray(b), OK, b), (list(b), OK, b), (tuple(b), OK, b), (BytesSub(b), OK, b),
        (memoryview(b), OK, b), ([IntLike(c) for c in b], OK, b),
        ("ab", RAISES, (TypeError,)), ([256], RAISES, (OverflowError,)), ([-1], RAISES, (OverflowError,)),
        ([1.0], RAISES, (TypeError,)), (5, RAISES, (TypeError,)), (iter([1]), RAISES, (TypeError,)),
        (None, RAISES, (TypeError,)), (Raises(), RAISES, (Hostile,)),
    ]


def enum_cases(rng: random.Random) -> list[tuple]:
    n = dz.rand_color(rng)
    return [(dz.Color(n), OK, n), (n, OK, n), (IntLike(n), OK, n), (True, OK, 1), (2**31, RAISES, (OverflowError,)),
            (-(2**31) - 1, RAISES, (OverflowError,)), (2.0, RAISES, (TypeError,)), (Raises(), RAISES, (Hostile,)),
            (None, RAISES, (TypeError,))]


def message_cases(setup, kind: str, plain) -> list[tuple]:
    cls = setup.classes[kind]
    return [(plain, OK, plain), (5, RAISES, (AttributeError,)), (NotAMessage(), RAISES, (TypeError,)),
            (cls(), OK, cls())]


def value_cases(setup, kind: str, plain, rng) -> list[tuple]:
    if kind in dz.BY_NAME:
        return message_cases(setup, kind, plain)
    if kind == "enum":
        return enum_cases(rng)
    return scalar_cases(kind, rng)


def draw(setup, f: dz.F, current, rng: random.Random):
    """A hostile value for field `f` and its expectation."""
    if f.is_map:
        if rng.random() < 0.2:
            return rng.choice([
                (DictSub(current), OK, current), (types.MappingProxyType(current), RAISES, (TypeError,)),
                (None, RAISES, (TypeError,)), (list(current.items()), RAISES, (TypeError,)),
            ])
        if rng.random() < 0.5:
            k, how, k_plain = rng.choice(scalar_cases(f.key, rng))
            try:
                hash(k)
            except TypeError:
                return current, OK, current
            v = dz.from_ref(setup, f.kind, setup.ref[f.kind]()) if f.kind in dz.BY_NAME else (
                0 if f.kind == "enum" else scalar_cases(f.kind, rng)[0][0])
            if how == OK:
                return {k: v}, OK, {k_plain: v}
            return {k: v}, RAISES, k_plain
        k = scalar_cases(f.key, rng)[0][0]
        plain_v = dz.from_ref(setup, f.kind, setup.ref[f.kind]()) if f.kind in dz.BY_NAME else None
        v, how, v_plain = rng.choice(value_cases(setup, f.kind, plain_v, rng))
        if how == OK:
            return {k: v}, OK, {k: v_plain}
        return {k: v}, RAISES, v_plain
    if f.card == "repeated":
        r = rng.random()
        plain_list = list(current)
        if r < 0.25:
            return rng.choice([
                (tuple(plain_list), OK, plain_list), ((x for x in plain_list), OK, plain_list),
                (iter(plain_list), OK, plain_list), (None, RAISES, (TypeError,)), (5, RAISES, (TypeError,)),
                (Raises(), RAISES, (Hostile,)),
            ])
        plain_elem = plain_list[0] if plain_list and f.kind in dz.BY_NAME else (
            dz.from_ref(setup, f.kind, setup.ref[f.kind]()) if f.kind in dz.BY_NAME else None)
        v, how, v_plain = rng.choice(value_cases(setup, f.kind, plain_elem, rng))
        if v is None and f.kind not in dz.BY_NAME:
            return [None], RAISES, (TypeError,)
        if how == OK:
            if r < 0.35 and f.kind not in dz.BY_NAME:
                return {v} if _hashable(v) else [v], OK, [v_plain]
            return plain_list + [v], OK, plain_list + [v_plain]
        return plain_list + [v], RAISES, v_plain
    plain_msg = current if f.kind in dz.BY_NAME and current is not None else (
        dz.from_ref(setup, f.kind, setup.ref[f.kind]()) if f.kind in dz.BY_NAME else None)
    v, how, v_plain = rng.choice(value_cases(setup, f.kind, plain_msg, rng))
    if v is None and f.card in ("optional", "oneof"):
        return None, OK, None
    return v, how, v_plain


def _hashable(v) -> bool:
    try:
        hash(v)
        return True
    except TypeError:
        return False


ALWAYS_BAD = ("PanicException", "SystemError")

_SLOTTED: dict = {}


def with_slots(value):
    """The same value with every message an instance of a class with slots
    (one per class and set of attributes), which the encoder reads at the
    slots' offsets instead of by attribute lookup."""
    if isinstance(value, list):
        return [with_slots(v) for v in value]
    if type(value) is dict:
        return {k: with_slots(v) for k, v in value.items()}
    if not hasattr(type(value), "__quillspar__") or not hasattr(value, "__dict__"):
        return value
    names = tuple(vars(value))
    key = (type(value), names)
    if key not in _SLOTTED:
        _SLOTTED[key] = type(type(value).__name__, (), {"__slots__": names,
                                                         "__quillspar__": type(value).__quillspar__})
    copy = object.__new__(_SLOTTED[key])
    for name, v in vars(value).items():
        setattr(copy, name, with_slots(v))
    return copy


def outcome(fn):
    try:
        return fn()
    except BaseException as exc:
        if isinstance(exc, KeyboardInterrupt):
            raise
        return type(exc).__name__, str(exc), getattr(exc, "__notes__", None)


class Runner:
    def __init__(self, seed: int):
        self.inputs = dz.Inputs(dz.build(), seed, pool_size=20)
        self.setup = self.inputs.setup
        self.seed = seed
        self.outcomes: dict[str, int] = {}
        self.messages = []
        for name, data in self.inputs.pool:
            cls = self.setup.classes[name]
            self.messages.append((cls, data))

    def random_schema(self, rng: random.Random) -> str | None:
        """A random message type with random values, good and bad: only the
        documented exception types may come out, and what encodes decodes."""
        cls, _, proto = dz.random_schema(rng, with_proto=True)
        entries = {e.name: e for e in proto.nested_type}
        obj = dz.Generic()
        for fp in proto.field:
            entry = entries.get(fp.type_name.rsplit(".", 1)[-1]) if fp.label == 3 and fp.type == 11 else None
            if entry is not None:
                kt, vt = entry.field[0].type, entry.field[1].type
                k = rng.choice(self.values(cls, kt, rng, key=True))
                v = rng.choice(self.values(cls, vt, rng))
                value = {k: v} if _hashable(k) else {}
            elif fp.label == 3:
                value = [rng.choice(self.values(cls, fp.type, rng)) for _ in range(rng.randrange(3))]
            else:
                value = rng.choice(self.values(cls, fp.type, rng) + [None])
            setattr(obj, fp.name, value)
        desc = cls.__quillspar__
        try:
            data = desc.encode(obj)
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt):
                raise
            name = type(exc).__name__
            self.outcomes[name] = self.outcomes.get(name, 0) + 1
            if isinstance(exc, (TypeError, OverflowError, UnicodeEncodeError, AttributeError, Hostile,
                                RecursionError)) and name not in ALWAYS_BAD:
                return None
            if type(exc) is ValueError and str(exc).startswith("at most one member of oneof 'o"):
                return None
            if name == "PanicException" and re.fullmatch(r"index out of bounds: the len is \d+ but the index is \d+",
                                                         str(exc)):
                return None
            return f"random schema: {name}: {exc}"
        self.outcomes["encoded"] = self.outcomes.get("encoded", 0) + 1
        try:
            desc.decode(cls, data)
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt):
                raise
            if not dz.allowed(exc, random_schema=True):
                return f"random schema: decoding our own output: {type(exc).__name__}: {exc} ({data.hex()})"
        return None

    def values(self, cls, proto_type: int, rng: random.Random, key: bool = False) -> list:
        if proto_type == 11:
            return [dz.Generic(), cls(), 5] if not key else [1]
        if proto_type == 14:
            return [v for v, how, _ in enum_cases(rng)]
        kind = next(k for k, v in dz.KINDS.items() if v[0] == proto_type)
        return [v for v, how, _ in scalar_cases(kind, rng)]

    def one(self, index: int) -> str | None:
        rng = random.Random(self.seed * 1_000_003 + index)
        if rng.random() < 0.1:
            return self.random_schema(rng)
        cls, data = self.messages[rng.randrange(len(self.messages))]
        desc = cls.__quillspar__
        obj = desc.decode(cls, data)
        mtype = cls._mtype
        f = rng.choice(mtype.fields)
        current = getattr(obj, f.name)
        if f.card == "oneof":
            for other in mtype.fields:
                if other.card == "oneof" and other is not f:
                    setattr(obj, other.name, None)
            if rng.random() < 0.05:
                # Two members set: the oneof check refuses before anything else.
                other = next(o for o in mtype.fields if o.card == "oneof" and o is not f)
                setattr(obj, f.name, 0 if f.kind == "int32" else dz.Color(1) if f.kind == "enum" else "x"
                        if f.kind == "string" else self.setup.classes["Leaf"]())
                setattr(obj, other.name, 0 if other.kind == "int32" else dz.Color(1) if other.kind == "enum"
                        else "x" if other.kind == "string" else self.setup.classes["Leaf"]())
                try:
                    desc.encode(obj)
                except ValueError as exc:
                    if str(exc) == "at most one member of oneof 'pick' may be set, got 2":
                        return None
                    return f"oneof: {exc!r}"
                return "oneof: two members encoded"
        value, how, expect = draw(self.setup, f, current, rng)
        setattr(obj, f.name, value)
        if not isinstance(value, Iterator):  # an iterator is used up by one encode
            by_slots, by_dict = outcome(lambda: desc.encode(with_slots(obj))), outcome(lambda: desc.encode(obj))
            if by_slots != by_dict:
                return f"{f.name}={value!r}: with slots {by_slots!r}, without {by_dict!r}"
        try:
            got = desc.encode(obj)
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt):
                raise
            name = type(exc).__name__
            self.outcomes[name] = self.outcomes.get(name, 0) + 1
            if how == RAISES and isinstance(exc, expect) and name not in ALWAYS_BAD:
                return None
            return f"{f.name}={value!r}: {name}: {exc} (expected {how} {expect!r})"
        self.outcomes["encoded"] = self.outcomes.get("encoded", 0) + 1
        if how == RAISES:
            return f"{f.name}={value!r}: encoded {got.hex()}, expected {expect!r}"
        setattr(obj, f.name, expect)
        want = desc.encode(obj)
        if got != want:
            return f"{f.name}={value!r}: {got.hex()} != {want.hex()}"
        ref = self.setup.ref[cls.__name__]()
        ref.ParseFromString(got)
        return None


def run(seed: int, count: int, progress: bool = False, stop_after: int = 10,
        outcomes: dict | None = None) -> list[str]:
    runner = Runner(seed)
    if outcomes is not None:
        runner.outcomes = outcomes
    return dz.collect_failures(runner.one, seed, count, progress, stop_after)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    return dz.run_and_report(run, args.seed, args.count)


if __name__ == "__main__":
    sys.exit(main())
