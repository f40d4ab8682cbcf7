# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from typing import Final

AES_KEY_SIZE: Final = 32

def _try_base64(s: str) -> bytes | None: ...
def convert_key(key: str) -> bytes: ...
