from . import keys as keys
