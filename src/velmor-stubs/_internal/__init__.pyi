# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from . import keys as keys
