"""The sizes get_frame works with, for all the Python that needs them (the
grabber's shared slots, the tests, the benchmarks): each call allocates a
receive buffer of BUFFER_SIZE bytes, which bounds a response and so a frame
(an 8-bit sample takes one byte of it), and an error text buffer of
ERR_SIZE bytes, which bounds a message."""

BUFFER_SIZE = 2621696           # 0x280100
ERR_SIZE = 1024
# The most samples a frame can have: width x height of an 8-bit frame
# whose response is nothing but samples.
MAX_SAMPLES = BUFFER_SIZE
