#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that makes loopback behave like a slower, farther link.

Every byte, in both directions, reaches the other side `delay` seconds after it left
(a round trip costs 2 x delay), and all connections in both directions together share
one byte rate (a token bucket with a burst of one piece; default 100 Mbit/s). The
proxy reads at most 64 KiB at a time and sends it through the link in pieces of
16 KiB, each released at the other side, in order, `delay` after its last byte went
through the bucket. A new connection also pays its handshake: its first bytes reach
the target three one-way delays after the accept, so the first response arrives two
round trips after connect(), as over a real link (TCP slow start is not emulated).

Memory stays bounded: a connection stops reading in a direction while that
direction holds more than 2 x rate x delay + 1 MiB not yet delivered, and every
connection stops reading while the shared link has more than 64 KiB waiting, so the
bucket behaves like a short router queue and the rest waits in the kernel.

Use from Python (the proxy runs on a thread of its own):

    from latency_proxy import LatencyProxy
    with LatencyProxy(target_port=8080, delay=0.040) as proxy:
        fetch(f"http://127.0.0.1:{proxy.port}/file")
        print(proxy.connections)  # connections accepted so far

From the command line, in the foreground until SIGTERM or SIGINT:

    latency_proxy.py serve --target PORT [--port PORT] [--delay-ms 40]
                           [--rate-mbit 100] [--port-file FILE]
                           [--idle-exit 300] [--max-run 3600]

It prints the port it listens on (and writes it to --port-file once listening). It
ends by itself after --idle-exit seconds without a connection open or a byte moved,
and after --max-run seconds in all, so a crashed run leaves nothing behind.
"""

import argparse
import asyncio
import collections
import os
import signal
import sys
import threading

HOST = "127.0.0.1"
DEFAULT_RATE = 100e6 / 8  # bytes per second: 100 Mbit/s
READ_SIZE = 64 << 10
PIECE = 16 << 10
LINK_QUEUE = 64 << 10  # bytes waiting for the bucket before readers pause
DIRECTION_QUEUE = 1 << 20  # plus 2 x rate x delay: undelivered bytes per direction


class _Link:
    """The shared bottleneck: a token bucket as a virtual clock of when the link is free."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    def send(self, size, now):
        """Reserves the link for `size` bytes; returns when their last byte is through."""
        self.free_at = max(self.free_at, now - PIECE / self.rate) + size / self.rate
        return max(now, self.free_at)

    def backlog(self, now):
        """Seconds of reserved bytes beyond the queue allowance (> 0: readers pause)."""
        return self.free_at - now - LINK_QUEUE / self.rate


class _Direction:
    """One way of one connection: pieces in order, each with the time it is due."""

    def __init__(self, limit):
        self.limit = limit
        self.pieces = collections.deque()
        self.queued = 0
        self.last_due = 0.0
        self.arrived = asyncio.Event()
        self.delivered = asyncio.Event()

    def put(self, due, piece):
        self.last_due = max(self.last_due, due)
        self.pieces.append((self.last_due, piece))
        self.queued += len(piece or b"")
        self.arrived.set()

    async def first(self):
        while not self.pieces:
            self.arrived.clear()
            await self.arrived.wait()
        return self.pieces[0]

    def done(self):
        _, piece = self.pieces.popleft()
        self.queued -= len(piece or b"")
        self.delivered.set()

    async def room(self):
        while self.queued > self.limit:
            self.delivered.clear()
            await self.delivered.wait()


class LatencyProxy:
    """The proxy, listening on `port` (0: a free one) and forwarding to `target_port`,
    both on 127.0.0.1. `delay` is one way, in seconds; `rate` in bytes per second.
    With `idle_exit` or `max_run` (seconds) it stops by itself (see wait())."""

    def __init__(self, target_port, delay=0.0, rate=DEFAULT_RATE, port=0, idle_exit=None,
                 max_run=None, handshake=True):
        if rate <= 0 or delay < 0:
            raise ValueError("the rate must be positive and the delay not negative")
        self.target_port = target_port
        self.delay = delay
        self.rate = rate
        self.port = port
        self.idle_exit = idle_exit
        self.max_run = max_run
        self.handshake = handshake
        self.connections = 0  # accepted so far
        self.peak_queued = 0  # most undelivered bytes one direction ever held
        self._active = 0
        self._tasks = set()
        self._loop = None
        self._stopping = None
        self._thread = None
        self._ready = threading.Event()
        self._error = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._thread = threading.Thread(target=self._run, name="latency-proxy", daemon=True)
        self._thread.start()
        self._ready.wait(10)
        if self._error is not None or not self._ready.is_set():
            self._thread.join(1)
            raise RuntimeError(f"latency proxy did not start: {self._error}")
        return self

    def stop(self):
        if self._loop is not None and self._thread.is_alive():
            try:
                self._loop.call_soon_threadsafe(self._stopping.set)
            except RuntimeError:
                pass  # it has just stopped by itself
        if self._thread is not None:
            self._thread.join(10)

    def wait(self, timeout=None):
        """Waits for the proxy to stop by itself; True when it has."""
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def _run(self):
        try:
            asyncio.run(self._main())
        except BaseException as error:  # reported to start(); the thread just ends
            self._error = error
            self._ready.set()

    async def _main(self):
        self._loop = asyncio.get_running_loop()
        self._stopping = asyncio.Event()
        self._link = _Link(self.rate)
        self._limit = DIRECTION_QUEUE + int(2 * self.rate * self.delay)
        self._started = self._last_activity = self._loop.time()
        server = await asyncio.start_server(self._connection, HOST, self.port)
        self.port = server.sockets[0].getsockname()[1]
        self._ready.set()
        watchdog = asyncio.ensure_future(self._watchdog())
        try:
            await self._stopping.wait()
        finally:
            watchdog.cancel()
            server.close()
            for task in list(self._tasks):
                task.cancel()
            await asyncio.gather(*self._tasks, return_exceptions=True)
            await server.wait_closed()

    async def _watchdog(self):
        while True:
            await asyncio.sleep(0.2)
            now = self._loop.time()
            idle = self._active == 0 and now - self._last_activity > (self.idle_exit or 0)
            if (self.idle_exit is not None and idle) or (
                    self.max_run is not None and now - self._started > self.max_run):
                self._stopping.set()
                return

    async def _connection(self, client_reader, client_writer):
        task = asyncio.current_task()
        self._tasks.add(task)
        self._active += 1
        self.connections += 1
        opened = self._last_activity = self._loop.time()
        target_writer = None
        try:
            target_reader, target_writer = await asyncio.open_connection(HOST, self.target_port)
            up, down = _Direction(self._limit), _Direction(self._limit)
            # Without the handshake, the first bytes are due after one delay, as any.
            first_up = opened + 3 * self.delay if self.handshake else 0.0
            first_down = opened + 2 * self.delay if self.handshake else 0.0
            pumps = [
                asyncio.ensure_future(self._receive(client_reader, up, first_up)),
                asyncio.ensure_future(self._deliver(target_writer, up)),
                asyncio.ensure_future(self._receive(target_reader, down, first_down)),
                asyncio.ensure_future(self._deliver(client_writer, down)),
            ]
            try:
                # Done when both ways have delivered their end, or at the first error.
                await asyncio.wait(pumps, return_when=asyncio.FIRST_EXCEPTION)
            finally:
                for pump in pumps:
                    pump.cancel()
                await asyncio.gather(*pumps, return_exceptions=True)
        except OSError:
            pass  # a refused target: the connection just ends
        except asyncio.CancelledError:
            pass  # the proxy stops; ending normally keeps the server's callback quiet
        finally:
            for writer in (client_writer, target_writer):
                if writer is not None:
                    writer.close()
            self._active -= 1
            self._last_activity = self._loop.time()
            self._tasks.discard(task)

    async def _receive(self, reader, direction, first_due):
        while True:
            await direction.room()
            data = await reader.read(READ_SIZE)
            now = self._last_activity = self._loop.time()
            if not data:
                direction.put(max(now + self.delay, first_due), None)
                return
            for start in range(0, len(data), PIECE):
                piece = data[start:start + PIECE]
                now = self._loop.time()
                through = self._link.send(len(piece), now)
                direction.put(max(through + self.delay, first_due), piece)
                self.peak_queued = max(self.peak_queued, direction.queued)
                backlog = self._link.backlog(self._loop.time())
                if backlog > 0:
                    await asyncio.sleep(backlog)

    async def _deliver(self, writer, direction):
        while True:
            due, piece = await direction.first()
            wait = due - self._loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if piece is None:
                if writer.can_write_eof():
                    writer.write_eof()
                direction.done()
                return
            writer.write(piece)
            await writer.drain()
            direction.done()


def _write_atomic(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("command", choices=["serve"])
    parser.add_argument("--target", type=int, required=True, help="port on 127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="listening port (0: a free one)")
    parser.add_argument("--delay-ms", type=float, default=40.0, help="one-way delay")
    parser.add_argument("--rate-mbit", type=float, default=100.0,
                        help="shared by all connections, both directions")
    parser.add_argument("--port-file", help="gets the port once listening")
    parser.add_argument("--idle-exit", type=float, default=300.0)
    parser.add_argument("--max-run", type=float, default=3600.0)
    args = parser.parse_args(argv)
    proxy = LatencyProxy(args.target, args.delay_ms / 1000, args.rate_mbit * 1e6 / 8,
                         port=args.port, idle_exit=args.idle_exit,
                         max_run=args.max_run).start()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: proxy.stop())
    print(f"latency_proxy: {HOST}:{proxy.port} -> {HOST}:{args.target}, "
          f"{args.delay_ms:g} ms each way, {args.rate_mbit:g} Mbit/s", flush=True)
    if args.port_file:
        _write_atomic(args.port_file, str(proxy.port))
    try:
        while not proxy.wait(0.5):
            pass
    finally:
        if args.port_file:
            try:
                os.remove(args.port_file)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
