"""Local Holded API (v1 and v2) for tests, benchmarks and the demo."""

from .book import JUNK_PHONES, Book, make_book
from .server import (
    DEFAULT_KEY,
    DEFAULT_TOKEN,
    FAULT_MODES,
    PAGE_SIZE,
    SEED_PATH,
    V2_LIMIT,
    V2_MAX_LIMIT,
    HoldedEmulator,
    RecordedRequest,
    load_seed,
    new_object_id,
)

__all__ = [
    "DEFAULT_KEY",
    "DEFAULT_TOKEN",
    "FAULT_MODES",
    "JUNK_PHONES",
    "PAGE_SIZE",
    "SEED_PATH",
    "V2_LIMIT",
    "V2_MAX_LIMIT",
    "Book",
    "HoldedEmulator",
    "RecordedRequest",
    "load_seed",
    "make_book",
    "new_object_id",
]
