"""Unicode character data: normalization of text (`_unicodedata`)."""
from _unicodedata import normalize

__all__ = ["normalize"]
