# Type information for the lurvo extension module (Python 3).
import numpy as np
import numpy.typing as npt

__version__: str

class cam:
    """LURVOPORT object"""

    def __new__(cls, ip: str = ..., port: int = ...) -> "cam": ...
    def __init__(self, ip: str = ..., port: int = ...) -> None: ...
    def get_frame(self, uri: str = ..., /) -> npt.NDArray[np.uint16]:
        """get frame."""
        ...
