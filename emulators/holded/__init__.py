"""Local Holded v1 API for tests, benchmarks and the demo."""

from .server import (
    DEFAULT_KEY,
    FAULT_MODES,
    PAGE_SIZE,
    SEED_PATH,
    HoldedEmulator,
    RecordedRequest,
    load_seed,
    new_object_id,
)

__all__ = [
    "DEFAULT_KEY",
    "FAULT_MODES",
    "PAGE_SIZE",
    "SEED_PATH",
    "HoldedEmulator",
    "RecordedRequest",
    "load_seed",
    "new_object_id",
]
