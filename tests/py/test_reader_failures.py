"""Failures while the configuration is read: each reaches the caller as
ValueError("<exception type>: <message>"); objects of no supported kind end
in PanicException."""

import dataclasses
import enum
import sys
import threading
import types

import pytest

import _nj_py
from conftest import config, msa_dicts

VARIANTS = "one of `PDiff`, `JukesCantor`, `Kimura2P`, `Poisson`"


def interpreter_message(action):
    """The text of the exception the interpreter raises for `action`."""
    try:
        action()
    except Exception as error:  # noqa: BLE001 - any interpreter failure
        return str(error)
    raise AssertionError("expected the action to fail")


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Outer:
    class InnerError(Exception):
        pass


class Raising:
    """An object whose attribute look-ups raise `exception`."""

    __slots__ = ("exception",)

    def __init__(self, exception):
        object.__setattr__(self, "exception", exception)

    def __getattr__(self, name):
        raise object.__getattribute__(self, "exception")


class DictProperty:
    @property
    def __dict__(self):
        raise ValueError("boom")


class Slotted:
    __slots__ = ("msa", "n_bootstrap_samples", "substitution_model")


def slotted(**fields):
    obj = Slotted()
    for name, value in fields.items():
        setattr(obj, name, value)
    return obj


class NoSlotsYet:
    __slots__ = ()


class SlotsNotIterable(NoSlotsYet):
    __slots__ = ()


SlotsNotIterable.__slots__ = 5


class SlotNamedByInt(NoSlotsYet):
    __slots__ = ()

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return "value of " + name


SlotNamedByInt.__slots__ = (1,)


class AnyAttribute(NoSlotsYet):
    __slots__ = ()

    def __getattr__(self, name):
        return "text"


class SlotThroughProperty(NoSlotsYet):
    __slots__ = ()

    @property
    def msa(self):
        raise LookupError("msa unavailable")


SlotThroughProperty.__slots__ = ("msa",)


class BaseSlots:
    __slots__ = ("msa",)


class SubSlots(BaseSlots):
    __slots__ = ("n_bootstrap_samples", "substitution_model")


def sub_slots():
    obj = SubSlots()
    obj.msa = msa_dicts()
    obj.n_bootstrap_samples = 0
    obj.substitution_model = "PDiff"
    return obj


@dataclasses.dataclass
class ConfigDC:
    msa: object
    n_bootstrap_samples: object
    substitution_model: object


@dataclasses.dataclass
class OnlyPDiff:
    PDiff: int = 0


class Color(enum.Enum):
    RED = 1


def deeply_nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def self_containing_list():
    value = []
    value.append(value)
    return value


def self_containing_dict():
    value = {}
    value["again"] = value
    return value


LONG_OVERFLOW = "OverflowError: Python int too large to convert to C long"
UNSET_SLOT = interpreter_message(lambda: Slotted().substitution_model)


def surrogate_error(text):
    return "UnicodeEncodeError: " + interpreter_message(lambda: text.encode("utf-8"))


CASES = {
    # what the record rules refuse
    "None": (None, "RuntimeError: invalid type: Option value, expected struct NJConfig"),
    "int": (5, "RuntimeError: invalid type: integer `5`, expected struct NJConfig"),
    "bool": (True, "RuntimeError: invalid type: boolean `true`, expected struct NJConfig"),
    "float": (2.5, "RuntimeError: invalid type: floating point `2.5`, expected struct NJConfig"),
    "str": ("ACGT", 'RuntimeError: invalid type: string "ACGT", expected struct NJConfig'),
    "empty dict": ({}, "RuntimeError: missing field `msa`"),
    "wrapper of empty dict": ({"NJConfig": {}, **config()}, "RuntimeError: missing field `msa`"),
    "empty list": ([], "RuntimeError: invalid length 0, expected struct NJConfig with 3 elements"),
    "short list": ([msa_dicts(), 0],
                   "RuntimeError: invalid length 2, expected struct NJConfig with 3 elements"),
    "short sequence": (config(msa=[("seq1",)]),
                       "RuntimeError: invalid length 1, expected struct SequenceObject with 2 elements"),
    "int key": ({1: 2, **config()},
                "RuntimeError: invalid type: integer `1`, expected field identifier"),
    "None key": ({None: 2, **config()},
                 "RuntimeError: invalid type: Option value, expected field identifier"),
    "count True": (config(n_bootstrap_samples=True),
                   "RuntimeError: invalid type: boolean `true`, expected usize"),
    "count 5.0": (config(n_bootstrap_samples=5.0),
                  "RuntimeError: invalid type: floating point `5.0`, expected usize"),
    "count -1": (config(n_bootstrap_samples=-1),
                 "RuntimeError: invalid value: integer `-1`, expected usize"),
    "count None": (config(n_bootstrap_samples=None),
                   "RuntimeError: invalid type: Option value, expected usize"),
    "model unknown": (config(substitution_model="pdiff"),
                      f"RuntimeError: unknown variant `pdiff`, expected {VARIANTS}"),
    "model enum member": (config(substitution_model=Color.RED),
                          "RuntimeError: invalid type: map, expected enum SubstitutionModel"),
    "model dataclass": (config(substitution_model=OnlyPDiff()),
                        "RuntimeError: invalid type: map, expected enum SubstitutionModel"),
    "model two-entry dict": (config(substitution_model={"PDiff": 1, "Poisson": 2}),
                             "RuntimeError: invalid type: map, expected enum SubstitutionModel"),
    "model empty dict": (config(substitution_model={}),
                         "RuntimeError: invalid type: map, expected enum SubstitutionModel"),
    "model dict with int key": (config(substitution_model={0: "PDiff"}),
                                "RuntimeError: invalid type: map, expected enum SubstitutionModel"),
    "model int": (config(substitution_model=0),
                  "RuntimeError: invalid type: integer `0`, expected enum SubstitutionModel"),
    "msa as dict": (config(msa={"a": "ACGT"}), "RuntimeError: invalid type: map, expected a sequence"),
    "identifier int": (config(msa=[{"identifier": 42, "sequence": "AC"}]),
                       "RuntimeError: invalid type: integer `42`, expected a string"),
    # order of reading: dict entries last first, msa elements first to last
    "last entry read first": (config(n_bootstrap_samples=-1, substitution_model="X"),
                              f"RuntimeError: unknown variant `X`, expected {VARIANTS}"),
    "dataclass entries last first": (ConfigDC(msa_dicts(), -1, "X"),
                                     f"RuntimeError: unknown variant `X`, expected {VARIANTS}"),
    "namespace entries last first": (types.SimpleNamespace(msa=5, n_bootstrap_samples=-1),
                                     "RuntimeError: invalid value: integer `-1`, expected usize"),
    "slots last first": (slotted(msa=5, n_bootstrap_samples=-1, substitution_model="X"),
                         f"RuntimeError: unknown variant `X`, expected {VARIANTS}"),
    "second faulty element first": (
        config(msa=[{"identifier": "a", "sequence": "A"}, {"identifier": 1, "sequence": "A"},
                    {"identifier": "c"}]),
        "RuntimeError: invalid type: integer `1`, expected a string"),
    # what the interpreter raises during the walk
    "count 2**63": (config(n_bootstrap_samples=2**63), LONG_OVERFLOW),
    "count -2**63-1": (config(n_bootstrap_samples=-(2**63) - 1), LONG_OVERFLOW),
    "big int under unknown key": (config(extra=[10**30]), LONG_OVERFLOW),
    "surrogate in sequence": (config(msa=[{"identifier": "a", "sequence": "AC\ud800"}]),
                              surrogate_error("AC\ud800")),
    "surrogate in key": ({"\udcff": 1, **config()}, surrogate_error("\udcff")),
    "surrogate in model": (config(substitution_model="\ud800"), surrogate_error("\ud800")),
    "surrogate in model key": (config(substitution_model={"\ud800": None}),
                               surrogate_error("\ud800")),
    "class object": (types.SimpleNamespace, "TypeError: 'mappingproxy' object cannot be cast as 'dict'"),
    "slotted class object": (Slotted, "TypeError: 'mappingproxy' object cannot be cast as 'dict'"),
    "__dict__ from __getattr__ not a dict": (
        AnyAttribute(),
        "TypeError: 'str' object cannot be cast as 'dict'"),
    "dataclass class": (config(msa=[ConfigDC]),
                        "TypeError: " + interpreter_message(lambda: dataclasses.asdict(ConfigDC))),
    "unset slot": (slotted(msa=msa_dicts(), n_bootstrap_samples=0), "AttributeError: " + UNSET_SLOT),
    "slots not iterable": (SlotsNotIterable(), "TypeError: 'int' object is not iterable"),
    "slot item not a str": (SlotNamedByInt(),
                            "RuntimeError: invalid type: integer `1`, expected field identifier"),
    "slot read through a raising property": (SlotThroughProperty(), "LookupError: msa unavailable"),
    "subclass slots hide base slots": (sub_slots(), "RuntimeError: missing field `msa`"),
    "__dict__ property raises": (DictProperty(), "ValueError: boom"),
    "__getattr__ raises": (Raising(KeyError("k")), "KeyError: 'k'"),
    "qualified type name": (Raising(Outer.InnerError("inner")), "Outer.InnerError: inner"),
    "str() of the exception fails": (Raising(BadStr()), "BadStr: <exception str() failed>"),
    "deep nesting": (config(extra=deeply_nested(100_000)),
                     "RecursionError: maximum recursion depth exceeded while reading the configuration"),
    "list containing itself": (config(extra=self_containing_list()),
                               "RecursionError: maximum recursion depth exceeded while reading the configuration"),
    "dict containing itself": (config(extra=self_containing_dict()),
                               "RecursionError: maximum recursion depth exceeded while reading the configuration"),
}


@pytest.mark.parametrize("value, message", CASES.values(), ids=CASES.keys())
def test_reader_failures(value, message):
    with pytest.raises(ValueError) as raised:
        _nj_py.nj(value)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert raised.value.__cause__ is None


@pytest.fixture
def recursion_limit():
    """Sets the interpreter's recursion limit for one test."""
    saved = sys.getrecursionlimit()
    yield sys.setrecursionlimit
    sys.setrecursionlimit(saved)


def test_nesting_within_a_raised_limit_is_read_on_a_small_stack(recursion_limit, reference_tree):
    # Nested values are walked without C recursion, so even a thread with a
    # small stack reads them once the recursion limit allows their depth.
    recursion_limit(300_000)
    outcome = []
    cfg = config(extra=deeply_nested(200_000))
    thread = threading.Thread(target=lambda: outcome.append(_nj_py.nj(cfg)))
    old_size = threading.stack_size(256 * 1024)
    try:
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old_size)
    assert outcome == [reference_tree]


@pytest.mark.parametrize("make", [self_containing_list, self_containing_dict])
def test_self_containing_values_end_under_a_huge_limit(make, recursion_limit):
    recursion_limit(10**6)
    with pytest.raises(ValueError) as raised:
        _nj_py.nj(config(extra=make()))
    assert str(raised.value) == (
        "RecursionError: maximum recursion depth exceeded while reading the configuration")


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(3), MemoryError()],
                         ids=["KeyboardInterrupt", "SystemExit", "MemoryError"])
def test_interrupts_and_out_of_memory_are_not_configuration_faults(exception):
    with pytest.raises(type(exception)) as raised:
        _nj_py.nj(Raising(exception))
    assert raised.value is exception


class TestConversionHooks:
    """Failures of dataclasses and pydantic conversions."""

    def test_is_dataclass_raises(self, monkeypatch):
        def is_dataclass(obj):
            raise ZeroDivisionError("no verdict")

        monkeypatch.setattr(dataclasses, "is_dataclass", is_dataclass)
        with pytest.raises(ValueError, match="^ZeroDivisionError: no verdict$"):
            _nj_py.nj(types.SimpleNamespace())

    def test_asdict_not_a_dict(self, monkeypatch):
        monkeypatch.setattr(dataclasses, "asdict", lambda obj: [1])
        with pytest.raises(ValueError) as raised:
            _nj_py.nj(ConfigDC(msa_dicts(), 0, "PDiff"))
        assert str(raised.value) == "TypeError: 'list' object cannot be cast as 'dict'"

    def test_model_dump_not_a_dict(self):
        pydantic = pytest.importorskip("pydantic")

        class Model(pydantic.BaseModel):
            def model_dump(self, **kwargs):
                return ("not", "a", "dict")

        with pytest.raises(ValueError) as raised:
            _nj_py.nj(Model())
        assert str(raised.value) == "TypeError: 'tuple' object cannot be cast as 'dict'"

    def test_model_dump_raises(self):
        pydantic = pytest.importorskip("pydantic")

        class Model(pydantic.BaseModel):
            def model_dump(self, **kwargs):
                raise LookupError("dump failed")

        with pytest.raises(ValueError) as raised:
            _nj_py.nj(Model())
        assert str(raised.value) == "LookupError: dump failed"

    @pytest.mark.parametrize(
        "fake, message",
        [
            (types.ModuleType("pydantic"),
             "AttributeError: module 'pydantic' has no attribute 'BaseModel'"),
            (types.SimpleNamespace(BaseModel=5), "TypeError: 'int' object cannot be cast as 'type'"),
        ],
        ids=["no BaseModel", "BaseModel not a type"],
    )
    def test_broken_pydantic(self, monkeypatch, fake, message):
        monkeypatch.setitem(sys.modules, "pydantic", fake)
        with pytest.raises(ValueError) as raised:
            _nj_py.nj(types.SimpleNamespace())
        assert str(raised.value) == message

    def test_isinstance_raises(self, monkeypatch):
        class Meta(type):
            def __instancecheck__(cls, obj):
                raise ArithmeticError("cannot tell")

        monkeypatch.setitem(sys.modules, "pydantic",
                            types.SimpleNamespace(BaseModel=Meta("BaseModel", (), {})))
        with pytest.raises(ValueError) as raised:
            _nj_py.nj(types.SimpleNamespace())
        assert str(raised.value) == "ArithmeticError: cannot tell"


UNSUPPORTED = [{1}, frozenset({2}), b"ACGT", bytearray(b"A"), 1j]
PLACES = {
    "config": lambda v: v,
    "msa": lambda v: config(msa=v),
    "msa element": lambda v: config(msa=[v]),
    "identifier": lambda v: config(msa=[{"identifier": v, "sequence": "A"}]),
    "count": lambda v: config(n_bootstrap_samples=v),
    "model": lambda v: config(substitution_model=v),
    "unknown key": lambda v: config(comment=v),
    "inside an unknown key": lambda v: config(comment={"deep": [1, (2, v)]}),
    "dataclass field": lambda v: ConfigDC(msa_dicts(), 0, v),
}


def expect_panic(cfg, kind, capsys):
    caught_as_exception = False
    try:
        _nj_py.nj(cfg)
    except Exception:  # noqa: BLE001 - must not catch a panic
        caught_as_exception = True
    except _nj_py.PanicException as panic:
        assert str(panic) == f"internal error: entered unreachable code: Unsupported type: {kind}"
    else:
        pytest.fail("no PanicException")
    assert not caught_as_exception
    assert "internal failure" in capsys.readouterr().err


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("value", UNSUPPORTED, ids=lambda v: type(v).__name__)
def test_unsupported_kinds_panic(place, value, capsys):
    expect_panic(place(value), type(value), capsys)


class NulNamed(type):
    def __str__(cls):
        return "<x\0y>"


class Opaque(metaclass=NulNamed):
    """No __dict__, no __slots__: a kind the reader does not know, whose type
    prints with a NUL inside."""

    def __getattribute__(self, name):
        raise AttributeError(name)


@pytest.mark.parametrize("key", [frozenset(), b"k", 2j, Opaque()], ids=lambda v: type(v).__name__)
def test_unsupported_key_under_an_unknown_key_panics(key, capsys):
    expect_panic(config(comment={key: 1}), type(key), capsys)
