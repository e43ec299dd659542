"""Times extract_pgm on a 1280x1024 16-bit frame: the shipped SSE2
conversion against the one-sample-at-a-time loop (-DLURVO_SCALAR_SWAP),
with the plain C++ block loop used where SSE2 is missing
(-DLURVO_PORTABLE_SWAP) alongside.

Both variants are compiled from image/pgm.cpp with the same g++ command
into build/, so only the conversion differs; the module's own lurvo.so is
timed too when it has been built.  Each iteration first copies the frame
into the working buffer (the function works in place), so that copy is
timed alone and subtracted.  This prints figures; it checks nothing.

    .venv/bin/python bench/pgm_swap.py [iterations]
"""
from __future__ import print_function

import ctypes
import os
import subprocess
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, 'image', 'pgm.cpp')
BUILD = os.path.join(ROOT, 'build')
CXXFLAGS = ['-std=c++17', '-O2', '-Wall', '-Wextra', '-Werror', '-fPIC', '-shared']
WIDTH, HEIGHT = 1280, 1024
REPEATS = 7


def build_variant(name, defines):
    if not os.path.isdir(BUILD):
        os.makedirs(BUILD)
    target = os.path.join(BUILD, name)
    command = ['g++'] + CXXFLAGS + ['-I', ROOT] + defines + ['-o', target, SOURCE]
    subprocess.check_call(command)
    return target


def load(path):
    function = ctypes.CDLL(path).extract_pgm
    function.restype = ctypes.c_int
    function.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p,
                         ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    return function


def make_frame():
    header = ('P5\n%d %d\n65535\n' % (WIDTH, HEIGHT)).encode('ascii')
    pixels = bytearray((i * 37 + 11) & 0xFF for i in range(2 * WIDTH * HEIGHT))
    data = header + bytes(pixels)
    return ctypes.create_string_buffer(data, len(data)), len(header)


def best_seconds(step, iterations):
    """Best per-iteration time over REPEATS runs: the least disturbed one."""
    best = None
    for _ in range(REPEATS):
        start = timeit.default_timer()
        for _ in range(iterations):
            step()
        elapsed = (timeit.default_timer() - start) / iterations
        best = elapsed if best is None else min(best, elapsed)
    return best


def time_variant(extract, frame, size, header_length, iterations):
    work = ctypes.create_string_buffer(size)
    err = ctypes.create_string_buffer(128)

    def step():
        ctypes.memmove(work, frame, size)
        result = extract(work, size, None, None, None, err, len(err))
        if result != header_length:
            raise RuntimeError('extract_pgm returned %d: %s' % (result, err.value))

    return best_seconds(step, iterations)


def main():
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    frame, header_length = make_frame()
    size = len(frame)
    work = ctypes.create_string_buffer(size)
    copy = best_seconds(lambda: ctypes.memmove(work, frame, size), iterations)

    variants = [('sse2', build_variant('pgm_vector.so', [])),
                ('portable', build_variant('pgm_portable.so', ['-DLURVO_PORTABLE_SWAP'])),
                ('scalar', build_variant('pgm_scalar.so', ['-DLURVO_SCALAR_SWAP']))]
    module = os.path.join(ROOT, 'lurvo.so')
    if os.path.exists(module):
        variants.append(('lurvo.so', module))

    print('frame %dx%d 16-bit, %d bytes; %d iterations, best of %d'
          % (WIDTH, HEIGHT, size, iterations, REPEATS))
    print('%-10s %10.1f us  (copy of the frame alone)' % ('copy', copy * 1e6))
    net = {}
    for name, path in variants:
        total = time_variant(load(path), frame, size, header_length, iterations)
        net[name] = total - copy
        print('%-10s %10.1f us  with copy, %8.1f us without, %6.2f GB/s of samples'
              % (name, total * 1e6, net[name] * 1e6, 2 * WIDTH * HEIGHT / net[name] / 1e9))
    print('scalar / sse2: %.2fx' % (net['scalar'] / net['sse2']))


if __name__ == '__main__':
    main()
