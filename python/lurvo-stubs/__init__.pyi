# Type information for the lurvo extension module (Python 3).
import sys
from typing import TypeVar

import numpy as np
import numpy.typing as npt

if sys.version_info >= (3, 9):
    from typing_extensions import disjoint_base as _disjoint_base
else:
    # The last type checkers for Python 3.8 predate the decorator.
    _T = TypeVar("_T")
    def _disjoint_base(cls: _T) -> _T: ...

__version__: str

# The type's instances have a C layout of their own: no class can derive
# from it and another such type at once.
@_disjoint_base
class cam:
    """LURVOPORT object"""

    def __new__(cls, ip: str = ..., port: int = ...) -> "cam": ...
    def __init__(self, ip: str = ..., port: int = ...) -> None: ...
    # positional only: a leading double underscore, which type checkers
    # on Python 3.7 and earlier read too (they parse no "/")
    def get_frame(self, __uri: str = ...) -> npt.NDArray[np.uint16]:
        """get frame."""
        ...
