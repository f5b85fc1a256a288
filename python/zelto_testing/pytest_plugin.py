"""The pytest plugin of zelto_testing, registered through the `pytest11` entry point: pytest
loads it by itself when the zelto_sdk wheel is installed; nothing else imports it.

Fixtures:
    zelto_engine          a MockEngine of its own for each test
    zelto_engine_session  one MockEngine for the whole session (one per pytest-xdist worker)
    zelto_engine_factory  starts MockEngines with any knobs; all are stopped after the test

Knobs for zelto_engine come from the marker, or from indirect parametrisation with a dict:

    @pytest.mark.zelto_engine(error="boom", delay_ms=20)
    def test_reports_the_engine_error(zelto_engine): ...

    @pytest.mark.parametrize("zelto_engine", [{}, {"close_after": 1}], indirect=True)
    def test_survives_closed_connections(zelto_engine): ...

Every engine has a private socket folder, shared-memory name and kernel-chosen TCP port, so
tests may run in parallel (pytest -n N) without sharing anything.
"""

from __future__ import annotations

from typing import Any, Dict, Iterator, List

import pytest

from .mock_engine import MockEngine

MARKER = "zelto_engine"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(**knobs): behaviour knobs of the zelto_engine fixture's engine, as MockEngine "
        "keyword arguments (error='boom', delay_ms=20, notify=True, shm=False, ...)")


def knobs_for(request: pytest.FixtureRequest) -> Dict[str, Any]:
    """The marker's keyword arguments, updated by an indirect parameter's dict."""
    knobs: Dict[str, Any] = {}
    for marker in reversed(list(request.node.iter_markers(MARKER))):
        if marker.args:
            raise TypeError(f"@pytest.mark.{MARKER} takes keyword arguments only")
        knobs.update(marker.kwargs)
    param = getattr(request, "param", None)
    if param is not None:
        if not isinstance(param, dict):
            raise TypeError(f"an indirect parameter of zelto_engine is a dict of knobs, not "
                            f"{type(param).__name__}")
        knobs.update(param)
    return knobs


@pytest.fixture
def zelto_engine(request: pytest.FixtureRequest) -> Iterator[MockEngine]:
    """A running MockEngine for this test, with the knobs of its zelto_engine marker."""
    with MockEngine(**knobs_for(request)) as engine:
        yield engine


@pytest.fixture(scope="session")
def zelto_engine_session() -> Iterator[MockEngine]:
    """One running MockEngine (default knobs) shared by the session's tests."""
    with MockEngine() as engine:
        yield engine


class EngineFactory:
    """Starts MockEngines; stop_all() stops them, newest first."""

    def __init__(self) -> None:
        self.started: List[MockEngine] = []

    def __call__(self, **knobs: Any) -> MockEngine:
        engine = MockEngine(**knobs)
        engine.start()
        self.started.append(engine)
        return engine

    def stop_all(self) -> None:
        problems: List[BaseException] = []
        for engine in reversed(self.started):
            try:
                engine.stop()
            except Exception as problem:  # every engine is stopped before one is reported
                problems.append(problem)
        if problems:
            raise problems[0]


@pytest.fixture
def zelto_engine_factory() -> Iterator[EngineFactory]:
    """zelto_engine_factory(**knobs) starts another MockEngine; all stop after the test."""
    factory = EngineFactory()
    yield factory
    factory.stop_all()
