"""Failures that only a database spread over several processes can have."""

from typing import Optional


class ShardUnavailableError(RuntimeError):
    """A shard's worker died, or did not answer in time, while it handled a call.

    For a write the outcome on that shard is unknown: the change may or may not be in its
    log. Ray restarts the worker, which reopens the shard's directory, so the next call goes
    to a shard that holds every write it acknowledged.
    """

    def __init__(self, shard: int, method: str, cause: BaseException):
        self.shard = shard
        self.method = method
        first_line = str(cause).strip().splitlines()[0] if str(cause).strip() else type(cause).__name__
        super().__init__(f"shard {shard} failed during {method}: {first_line}")
        self.__cause__ = cause


class PartialBatchError(Exception):
    """A batch went to several shards and at least one of them refused or lost its part.

    ``applied`` holds the ids whose shards finished their part, ``not_applied`` the ids whose
    shards refused theirs (a shard applies its part of a batch all or nothing), and
    ``uncertain`` the ids whose shard died or did not answer, so the caller cannot know.
    ``errors`` maps each failing shard to the exception it raised; the first one is also the
    ``__cause__``.
    """

    def __init__(
        self,
        method: str,
        applied: list[str],
        not_applied: list[str],
        uncertain: list[str],
        errors: dict[int, BaseException],
    ):
        self.method = method
        self.applied = applied
        self.not_applied = not_applied
        self.uncertain = uncertain
        self.errors = errors
        first: Optional[BaseException] = errors[min(errors)] if errors else None
        parts = [f"shard {s}: {_first_line(e)}" for s, e in sorted(errors.items())]
        total = len(applied) + len(not_applied) + len(uncertain)
        text = f"{method} partly applied: {len(applied)} of {total} ids were applied ({'; '.join(parts)})"
        if uncertain:
            text += f"; {len(uncertain)} ids may or may not have been applied"
        super().__init__(text)
        self.__cause__ = first


def _first_line(e: BaseException) -> str:
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__
