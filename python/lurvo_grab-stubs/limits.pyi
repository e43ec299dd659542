# Type information for lurvo_grab.limits (Python 3).
BUFFER_SIZE: int
ERR_SIZE: int
MAX_SAMPLES: int
