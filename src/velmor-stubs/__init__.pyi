# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from . import errors as errors
from . import _internal as _internal
from . import aes as aes
from . import rsa as rsa
from . import hybrid as hybrid
from . import password as password
from . import quantum as quantum
from . import sync as sync
from .errors import DecryptionError as DecryptionError
from .errors import EncryptionError as EncryptionError
from .errors import InvalidInputError as InvalidInputError
from .errors import QuantumOperationError as QuantumOperationError
from .errors import VelMorError as VelMorError
from .errors import SignatureError as SignatureError
from . import version as version
from .version import __version__ as __version__

__all__ = [
    "__version__",
    "aes",
    "rsa",
    "hybrid",
    "password",
    "quantum",
    "sync",
    "errors",
    "VelMorError",
    "InvalidInputError",
    "EncryptionError",
    "DecryptionError",
    "SignatureError",
    "QuantumOperationError",
]
