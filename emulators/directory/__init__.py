"""Local stand-in for the public company directory (listings and company pages)."""

from .server import DirectoryEmulator, RecordedRequest

__all__ = ["DirectoryEmulator", "RecordedRequest"]
