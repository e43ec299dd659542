"""The asyncio side of the grabber's tests (Python 3 only: the suite's
own files compile on 2.7 too)."""
import asyncio

from lurvo_grab import aio


async def _run(grabber, other, number_of):
    loop = asyncio.get_event_loop()         # the running one (3.6 has no get_running_loop)
    ticks = [0]

    async def tick():
        while True:
            await asyncio.sleep(0.001)
            ticks[0] += 1

    ticker = asyncio.ensure_future(tick())
    started = loop.time()
    first = await aio.grab(grabber)
    ticked = ticks[0], loop.time() - started
    both = await aio.grab_all([grabber, other])
    numbers = []
    async with aio.frames(grabber) as stream:
        async for frame in stream:
            numbers.append(number_of(frame))
            if len(numbers) == 2:
                break
    ticker.cancel()
    return first, ticked, both, numbers, loop._default_executor


def grab_in_the_loop(grabber, other, number_of):
    """(a grab awaited while a ticker task runs, (the ticks it saw, the
    seconds it took), grab_all
    over both grabbers, the numbers of two frames of an async stream, the
    loop's default executor: None unless something used a thread pool)."""
    loop = asyncio.new_event_loop()         # asyncio.run() came with 3.7
    try:
        return loop.run_until_complete(_run(grabber, other, number_of))
    finally:
        loop.close()
