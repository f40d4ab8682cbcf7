from typing import Final

__version__: Final = "1.0.10"
