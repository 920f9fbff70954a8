"""Random Python objects as configurations, callbacks and argument lists.

Whatever it is given, nj returns a Newick str or raises TypeError,
ValueError, PanicException, MemoryError or KeyboardInterrupt (an alarm
interrupts runs that random replicate counts make endless), and the
interpreter is left without a pending exception. NJ_FUZZ_EXAMPLES raises the
number of examples for longer runs (scripts/fuzz python)."""

import dataclasses
import os
import re
import signal
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _nj_py

EXAMPLES = int(os.environ.get("NJ_FUZZ_EXAMPLES", "150"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))
ALLOWED = (TypeError, ValueError, _nj_py.PanicException, MemoryError, KeyboardInterrupt)
# An alarm ends calls that would run for ever (2**63 - 1 replicates).
ALARM_SECONDS = 2.0

FIELD_NAMES = ["msa", "n_bootstrap_samples", "substitution_model", "identifier", "sequence",
               "NJConfig", "SequenceObject", "PDiff", "JukesCantor", "Kimura2P", "Poisson"]
CORE_MESSAGES = {"Input MSA is empty", "Poisson is a protein model; cannot use with DNA",
                 "Selected model is for DNA; cannot use with Protein"}
PANIC_PREFIXES = ("internal error: entered unreachable code: Unsupported type: ",
                  "All sequences in an MSA must have the same length: ", "from a callback")


class Boom(Exception):
    pass


RAISED = [Boom, ValueError, TypeError, KeyError, AttributeError, RuntimeError,
          ZeroDivisionError, RecursionError, UnicodeError, OverflowError]


def raiser(kind, text="boom"):
    def fail(*_args):
        raise kind(text)
    return fail


texts = st.one_of(
    st.sampled_from(FIELD_NAMES),
    st.text(max_size=8),
    # Lone surrogates, control characters (NUL included), wide characters.
    st.text(st.characters(categories=["Cs", "Cc", "Lo", "So", "Zs"]), max_size=6),
    st.text("ACGTUN-acgtXZ*?.", max_size=12),
)
integers = st.one_of(
    st.integers(-3, 6),
    st.integers(),
    st.sampled_from([2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64, 2**200, -(2**200)]),
)
atoms = st.one_of(
    st.none(), st.booleans(), integers, st.floats(), texts,
    st.binary(max_size=6), st.complex_numbers(), st.frozensets(st.integers(0, 3), max_size=2),
    st.sets(st.integers(0, 3), max_size=2), st.just(Ellipsis), st.just(object()),
)


# Objects that the reader meets through attribute look-ups.

@dataclasses.dataclass
class Sequence:
    identifier: object
    sequence: object


@dataclasses.dataclass
class Config:
    msa: object
    n_bootstrap_samples: object
    substitution_model: object


class Slotted:
    __slots__ = ("msa", "n_bootstrap_samples", "substitution_model")


class SlottedSequence:
    __slots__ = ("identifier", "sequence")


def slotted(cls, values):
    """An instance with some slots set and the others left unset."""
    obj = cls()
    for name, value in zip(cls.__slots__, values):
        if value is not UNSET:
            setattr(obj, name, value)
    return obj


UNSET = object()


class Plain:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def raising_property_class(name, kind):
    """A class whose `name` attribute (__dict__, __slots__, a field) raises.
    A raising __slots__ is set after the class is made (its instances have
    no __dict__), so that the reader gets as far as asking for it."""
    if name != "__slots__":
        return type("RaisingProperty", (), {name: property(raiser(kind))})
    cls = type("RaisingSlots", (), {"__slots__": ()})
    cls.__slots__ = property(raiser(kind))
    return cls


def getattr_class(result, kind):
    """A slotted class (no __dict__) whose __getattr__ returns `result` or raises."""
    def look_up(self, attribute):
        if kind is None:
            return result
        raise kind(attribute)
    return type("Dynamic", (), {"__slots__": (), "__getattr__": look_up})


def objects_from(children):
    """The object kinds built over already drawn values."""
    return st.one_of(
        st.builds(Sequence, children, children),
        st.builds(Config, children, children, children),
        st.builds(lambda v: slotted(Slotted, v),
                  st.lists(st.one_of(children, st.just(UNSET)), min_size=3, max_size=3)),
        st.builds(lambda v: slotted(SlottedSequence, v),
                  st.lists(st.one_of(children, st.just(UNSET)), min_size=2, max_size=2)),
        st.builds(lambda d: Plain(**d), st.dictionaries(st.sampled_from(FIELD_NAMES), children,
                                                        max_size=3)),
        st.builds(lambda n, k: raising_property_class(n, k)(),
                  st.sampled_from(["__dict__", "__slots__", "msa"]), st.sampled_from(RAISED)),
        st.builds(lambda r, k: getattr_class(r, k)(), children,
                  st.one_of(st.none(), st.sampled_from(RAISED))),
        st.builds(lambda v: {"NJConfig": v}, children),
        st.builds(lambda v: {"SequenceObject": v}, children),
        st.just(Config),  # the class itself, not an instance
    )


values = st.recursive(
    atoms,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(st.one_of(texts, st.integers(), st.none()), children, max_size=4),
        objects_from(children),
    ),
    max_leaves=24,
)

residues = st.text("ACGT", min_size=4, max_size=4)
sequence_entries = st.one_of(
    st.builds(lambda i, s: {"identifier": i, "sequence": s}, texts, residues),
    st.builds(lambda i, s: (i, s), texts, residues),
    st.builds(Sequence, texts, residues),
    values,
)
# Mostly well-formed configurations with random parts, so that the walk goes
# deep before it meets the odd value.
configs = st.one_of(
    values,
    st.builds(lambda m, n, s: {"msa": m, "n_bootstrap_samples": n, "substitution_model": s},
              st.lists(sequence_entries, max_size=5), st.one_of(st.integers(0, 2), values),
              st.one_of(st.sampled_from(FIELD_NAMES[-4:]), values)),
    st.builds(lambda m, n, s: [m, n, s], st.lists(sequence_entries, max_size=5),
              st.one_of(st.integers(0, 2), integers), st.one_of(st.sampled_from(FIELD_NAMES[-4:]), values)),
    st.builds(Config, st.lists(sequence_entries, max_size=5), st.integers(0, 2),
              st.sampled_from(FIELD_NAMES[-4:])),
)

callbacks = st.one_of(
    st.none(), atoms,
    st.sampled_from(RAISED + [KeyboardInterrupt]).map(raiser),
    st.just(raiser(_nj_py.PanicException, "from a callback")),
    values.map(lambda v: (lambda done, total: v)),
    st.just(lambda: None),  # wrong arity: the TypeError is discarded
)


class Alarm:
    """Raises KeyboardInterrupt in the main thread after ALARM_SECONDS."""

    def __enter__(self):
        def interrupt(signum, frame):
            raise KeyboardInterrupt
        self.previous = signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, ALARM_SECONDS)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


def check_outcome(call):
    """Runs call() and checks that its outcome is one that nj promises."""
    with Alarm():
        try:
            result = call()
        except ALLOWED as failure:
            event(type(failure).__name__)
            check_failure(failure)
        else:
            event("str")
            assert isinstance(result, str) and result.endswith(";"), repr(result)
    assert sys.exc_info() == (None, None, None)


def check_failure(failure):
    text = str(failure)
    if isinstance(failure, _nj_py.PanicException):
        assert text.startswith(PANIC_PREFIXES), text
    elif type(failure) is ValueError:
        # A core message, or a reader failure: "<exception type>: <its text>".
        assert text in CORE_MESSAGES or re.match(r"[^\s:]+: ", text), text
    else:
        assert isinstance(failure, (TypeError, MemoryError, KeyboardInterrupt)), repr(failure)


@FUZZ
@given(configs)
def test_random_configurations(cfg):
    check_outcome(lambda: _nj_py.nj(cfg))


@FUZZ
@given(st.lists(st.tuples(st.text("abc", min_size=1, max_size=3), residues), min_size=1, max_size=6),
       st.integers(0, 3), callbacks)
def test_random_callbacks(rows, replicates, callback):
    cfg = {"msa": [{"identifier": i, "sequence": s} for i, s in rows],
           "n_bootstrap_samples": replicates, "substitution_model": "JukesCantor"}
    check_outcome(lambda: _nj_py.nj(cfg, callback))


keywords = st.dictionaries(st.one_of(st.sampled_from(["py_config", "on_progress", "config"]), texts),
                           st.one_of(configs, callbacks), max_size=3)


@FUZZ
@given(st.lists(st.one_of(configs, callbacks), max_size=3), keywords)
def test_random_argument_lists(args, kwargs):
    check_outcome(lambda: _nj_py.nj(*args, **kwargs))
