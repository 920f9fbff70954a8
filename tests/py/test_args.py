"""Binding of nj(py_config, on_progress=None) and its TypeError texts."""

import pytest

import _nj_py
from conftest import config


def test_positional_and_keyword_forms_agree(reference_tree):
    cfg = config()
    calls = [
        lambda: _nj_py.nj(cfg),
        lambda: _nj_py.nj(py_config=cfg),
        lambda: _nj_py.nj(cfg, None),
        lambda: _nj_py.nj(cfg, on_progress=None),
        lambda: _nj_py.nj(py_config=cfg, on_progress=None),
        lambda: _nj_py.nj(on_progress=None, py_config=cfg),
        lambda: _nj_py.nj(*[cfg], **{"on_progress": None}),
    ]
    for call in calls:
        assert call() == reference_tree


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cfg: _nj_py.nj(cfg, None, None),
         "nj() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda cfg: _nj_py.nj(cfg, None, None, None),
         "nj() takes from 1 to 2 positional arguments but 4 were given"),
        (lambda cfg: _nj_py.nj(cfg, py_config=cfg),
         "nj() got multiple values for argument 'py_config'"),
        (lambda cfg: _nj_py.nj(cfg, None, on_progress=None),
         "nj() got multiple values for argument 'on_progress'"),
        (lambda cfg: _nj_py.nj(),
         "nj() missing 1 required positional argument: 'py_config'"),
        (lambda cfg: _nj_py.nj(on_progress=print),
         "nj() missing 1 required positional argument: 'py_config'"),
        (lambda cfg: _nj_py.nj(config=cfg),
         "nj() got an unexpected keyword argument 'config'"),
        (lambda cfg: _nj_py.nj(cfg, progress=None),
         "nj() got an unexpected keyword argument 'progress'"),
        (lambda cfg: _nj_py.nj(**{"py_config": cfg, "PY_CONFIG": cfg}),
         "nj() got an unexpected keyword argument 'PY_CONFIG'"),
        (lambda cfg: _nj_py.nj(**{"py_cönfig": cfg}),
         "nj() got an unexpected keyword argument 'py_cönfig'"),
        # Too many positional arguments are refused before any keyword is looked at.
        (lambda cfg: _nj_py.nj(cfg, None, None, bogus=1),
         "nj() takes from 1 to 2 positional arguments but 3 were given"),
        # Keywords are checked in the order given.
        (lambda cfg: _nj_py.nj(cfg, bogus=1, py_config=cfg),
         "nj() got an unexpected keyword argument 'bogus'"),
        (lambda cfg: _nj_py.nj(cfg, py_config=cfg, bogus=1),
         "nj() got multiple values for argument 'py_config'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call(config())
    assert str(raised.value) == message
    assert type(raised.value) is TypeError


def test_binding_happens_before_reading():
    # An unreadable configuration is not looked at when binding fails.
    with pytest.raises(TypeError):
        _nj_py.nj({1, 2}, None, None)
