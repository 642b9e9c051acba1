"""The lab's exceptions: every user mistake is one of these, with a message saying what to fix."""

from __future__ import annotations


class LabError(Exception):
    """A mistake in a study, a store or an executor setting; reported without a traceback."""


class StudyError(LabError, ValueError):
    """Everything wrong with a study description, found in one pass; one message per line."""

    def __init__(self, problems: list[str] | str):
        self.problems = [problems] if isinstance(problems, str) else list(problems)
        super().__init__("\n".join(self.problems))


class StoreError(LabError):
    """A store that cannot be used: not a store, or the store of another study."""


class ExecutorError(LabError):
    """An executor that cannot run the study, such as an unreachable scheduler."""


class ChunkError(ExecutorError):
    """A chunk that could not be computed: the module stopped, memory ran out, or the worker
    running it died. The chunks finished before it are committed."""

    def __init__(self, chunk: int, message: str):
        self.chunk = chunk
        super().__init__(message)
