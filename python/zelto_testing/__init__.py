"""Tools for users of zelto_sdk, installed by the same wheel beside the module.

- MockEngine: a private zelto-mock-engine for a test (see zelto_testing.mock_engine), and a
  pytest plugin with the fixtures zelto_engine, zelto_engine_session and zelto_engine_factory
  (zelto_testing.pytest_plugin, loaded by pytest through its entry point).
- zelto_testing.arrays: numpy arrays in and out of the three clients (infer_array and friends).
- zelto_testing.perf: the zelto-perf command.
"""

from .executables import ExecutableNotFoundError, find_executable
from .mock_engine import KnobValue, MockEngine, MockEngineError

__all__ = ["ExecutableNotFoundError", "KnobValue", "MockEngine", "MockEngineError",
           "find_executable"]
