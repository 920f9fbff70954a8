"""Every accepted configuration form gives the tree that the plain dict gives."""

import collections
import dataclasses
import enum
import sys
import types

import pytest

import _nj_py
from conftest import MODEL, ROWS, config, msa_dicts


@dataclasses.dataclass
class SeqDC:
    identifier: str
    sequence: str


@dataclasses.dataclass
class ConfigDC:
    msa: list
    n_bootstrap_samples: int
    substitution_model: object


@dataclasses.dataclass(slots=True)
class SlottedConfigDC:
    msa: list
    n_bootstrap_samples: int
    substitution_model: str


class Plain:
    def __init__(self, **fields):
        for name, value in fields.items():
            setattr(self, name, value)

    @property
    def ignored(self):
        raise AssertionError("properties are not entries")


class SlottedSeq:
    __slots__ = ("identifier", "sequence")

    def __init__(self, identifier, sequence):
        self.identifier = identifier
        self.sequence = sequence


class SlottedConfig:
    __slots__ = ("msa", "n_bootstrap_samples", "substitution_model")

    def __init__(self, msa, n_bootstrap_samples, substitution_model):
        self.msa = msa
        self.n_bootstrap_samples = n_bootstrap_samples
        self.substitution_model = substitution_model


class WithDict:
    pass


class DictAndSlots(WithDict):
    # Has both an attribute dict (from the base) and slots; the dict wins,
    # so the unset slot is never fetched.
    __slots__ = ("unset",)


class ModelName(str):
    pass


class Count(int):
    pass


class Flag(enum.IntEnum):
    ZERO = 0


NJTuple = collections.namedtuple("NJTuple", "msa n_bootstrap_samples substitution_model")
Shuffled = collections.namedtuple("Shuffled", "substitution_model msa n_bootstrap_samples")
SeqTuple = collections.namedtuple("SeqTuple", "identifier sequence")


def mixed_msa():
    """Elements of every kind: dataclass, dict, 2-tuple, wrapper, slotted, plain."""
    (a, sa), (b, sb), (c, sc), (d, sd) = ROWS
    return [
        SeqDC(a, sa),
        {"identifier": b, "sequence": sb},
        (c, sc),
        {"SequenceObject": {"identifier": d, "sequence": sd}},
    ]


def with_dict_and_slots():
    obj = DictAndSlots()
    obj.msa = msa_dicts()
    obj.n_bootstrap_samples = 0
    obj.substitution_model = MODEL
    return obj


def pydantic_config():
    pydantic = pytest.importorskip("pydantic")

    class Seq(pydantic.BaseModel):
        identifier: str
        sequence: str

    class Config(pydantic.BaseModel):
        msa: list[Seq]
        n_bootstrap_samples: int
        # Stored under another spelling; only model_dump() gives the name
        # the run needs, so this also shows which way the model is read.
        substitution_model: str

        @pydantic.field_serializer("substitution_model")
        def _canonical(self, value):
            return {"k2p": MODEL}[value]

    return Config(msa=[Seq(identifier=n, sequence=s) for n, s in ROWS],
                  n_bootstrap_samples=0, substitution_model="k2p")


def dataclass_with_extra_attribute():
    # asdict() sees fields only, so an extra attribute of no supported kind
    # is never looked at.
    cfg = ConfigDC(msa_dicts(), 0, MODEL)
    cfg.extra = {1, 2}
    return cfg


FORMS = {
    "dict": lambda: config(),
    "dict with unknown keys": lambda: config(comment="x", extra={"a": [1, 2.5, None, True]}),
    "dict subclass": lambda: collections.OrderedDict(config()),
    "wrapper": lambda: {"NJConfig": config(), "ignored": {1, 2}},
    "wrapper value not a dict": lambda: config(NJConfig=5),
    "wrapped sequences": lambda: config(msa=[{"SequenceObject": s} for s in msa_dicts()]),
    "list": lambda: [msa_dicts(), 0, MODEL],
    "tuple": lambda: (msa_dicts(), 0, MODEL),
    "list with ignored extras": lambda: [msa_dicts(), 0, MODEL, "extra", {1}],
    "namedtuple": lambda: NJTuple(msa_dicts(), 0, MODEL),
    "namedtuple, other field order": lambda: Shuffled(msa_dicts(), 0, MODEL),
    "tuple sequences": lambda: config(msa=tuple(ROWS)),
    "namedtuple sequences": lambda: config(msa=[SeqTuple(*r) for r in ROWS]),
    "dataclass, mixed msa": lambda: ConfigDC(mixed_msa(), 0, MODEL),
    "dataclass with extra attribute": dataclass_with_extra_attribute,
    "slotted dataclass": lambda: SlottedConfigDC(msa_dicts(), 0, MODEL),
    "pydantic model": pydantic_config,
    "SimpleNamespace": lambda: types.SimpleNamespace(
        msa=[types.SimpleNamespace(identifier=n, sequence=s) for n, s in ROWS],
        n_bootstrap_samples=0, substitution_model=MODEL),
    "plain object": lambda: Plain(msa=msa_dicts(), n_bootstrap_samples=0,
                                  substitution_model=MODEL),
    "slotted object": lambda: SlottedConfig([SlottedSeq(*r) for r in ROWS], 0, MODEL),
    "object with __dict__ and __slots__": with_dict_and_slots,
    "model as str subclass": lambda: config(substitution_model=ModelName(MODEL)),
    "model as one-entry dict": lambda: config(substitution_model={MODEL: None}),
    "model payload never read": lambda: config(substitution_model={MODEL: {1, 2}}),
    "count as int subclass": lambda: config(n_bootstrap_samples=Count(0)),
    "count as IntEnum": lambda: config(n_bootstrap_samples=Flag.ZERO),
}


@pytest.mark.parametrize("make", FORMS.values(), ids=FORMS.keys())
def test_accepted_forms(make, reference_tree):
    assert _nj_py.nj(make()) == reference_tree


def test_largest_count_is_read():
    # The count is read whole; the empty alignment then ends the run at once.
    with pytest.raises(ValueError, match="^Input MSA is empty$"):
        _nj_py.nj(config(msa=[], n_bootstrap_samples=2**63 - 1))


def test_missing_pydantic_is_tolerated(monkeypatch, reference_tree):
    monkeypatch.setitem(sys.modules, "pydantic", None)  # import raises ImportError
    forms = [FORMS["SimpleNamespace"](), FORMS["slotted object"](), FORMS["dict"]()]
    for form in forms:
        assert _nj_py.nj(form) == reference_tree


class _FailingFinder:
    def __init__(self, exception):
        self.exception = exception

    def find_spec(self, name, path=None, target=None):
        if name == "pydantic":
            raise self.exception
        return None


def test_failing_pydantic_import_is_tolerated(monkeypatch, reference_tree):
    monkeypatch.delitem(sys.modules, "pydantic", raising=False)
    monkeypatch.setattr(sys, "meta_path", [_FailingFinder(RuntimeError("broken"))] + sys.meta_path)
    assert _nj_py.nj(FORMS["plain object"]()) == reference_tree


def test_interrupt_during_pydantic_import_propagates(monkeypatch):
    monkeypatch.delitem(sys.modules, "pydantic", raising=False)
    monkeypatch.setattr(sys, "meta_path", [_FailingFinder(KeyboardInterrupt())] + sys.meta_path)
    with pytest.raises(KeyboardInterrupt):
        _nj_py.nj(FORMS["plain object"]())
