"""orvalnest: find where the disk space goes, and move what you pick to the trash safely."""

from orvalnest import _native
from orvalnest._native import *  # noqa: F403  (the native module's public names, in its order)

__all__ = list(_native.__all__)
