"""The serial line of a QEMU boot: the console read as it arrives, with
when each read came in, and the keys sent when given texts appear.

Only the Python standard library is used.
"""

import os
import selectors
import time
from dataclasses import dataclass

from .console import clean

CONTINUE_KEY = b" "


@dataclass
class KeyPress:
    """`key` goes out on the serial line `delay` seconds after `text` shows
    in the clean console, looked for after the previous key's point."""
    text: str
    key: bytes = CONTINUE_KEY
    delay: float = 0.0


@dataclass
class SentKey:
    text: str          # the text that called for the key
    offset: int        # length of the clean console when the key went out
    time: float        # seconds from QEMU's start


class Keys:
    """The key presses still to make, one at a time, in order; and the texts
    after which the boot can not end well, which stop QEMU at once."""

    def __init__(self, presses, started, fatal=()):
        self.presses = list(presses)
        self.started = started
        self.sent = []
        self.search_from = 0
        self.due = None
        self.fatal = tuple(fatal)
        self.stopped_by = None

    def wait_limit(self, now):
        return None if self.due is None else max(0.0, self.due - now)

    def step(self, process, console):
        # The whole capture is cleaned each time: consoles here are a few
        # kilobytes, and an escape split across reads cleans correctly.
        if self.fatal and self.stopped_by is None:
            text = clean(bytes(console))
            self.stopped_by = next((f for f in self.fatal if f in text), None)
            if self.stopped_by and process.poll() is None:
                process.kill()
        if not self.presses:
            return
        press = self.presses[0]
        now = time.monotonic()
        if self.due is None:
            if clean(bytes(console)).find(press.text, self.search_from) == -1:
                return
            self.due = now + press.delay
        if now < self.due:
            return
        offset = len(clean(bytes(console)))
        send_key(process, press.key)
        self.sent.append(SentKey(press.text, offset, now - self.started))
        self.search_from = offset
        self.presses.pop(0)
        self.due = None


def drain(process, deadline, console_sink, keys, arrivals=None):
    """Collect serial output until QEMU closes it or the deadline passes,
    sending the keys on the way and noting when each read came in
    (`arrivals`, when given). Returns (console, stderr, timed_out)."""
    console, errors = bytearray(), bytearray()
    streams = {process.stdout.fileno(): console, process.stderr.fileno(): errors}
    with selectors.DefaultSelector() as selector:
        for fd in streams:
            selector.register(fd, selectors.EVENT_READ)
        while streams:
            now = time.monotonic()
            remaining = deadline - now
            if remaining <= 0:
                return console, errors, True
            wait = min(remaining, 1.0)
            key_wait = keys.wait_limit(now)
            if key_wait is not None:
                wait = min(wait, key_wait)
            for key, _ in selector.select(wait):
                chunk = os.read(key.fd, 65536)
                if not chunk:
                    selector.unregister(key.fd)
                    del streams[key.fd]
                    continue
                streams[key.fd].extend(chunk)
                if key.fd == process.stdout.fileno() and arrivals is not None:
                    arrivals.append((time.monotonic() - keys.started, len(console)))
                if key.fd == process.stdout.fileno() and console_sink:
                    console_sink.write(chunk)
                    console_sink.flush()
            keys.step(process, console)
    return console, errors, False


def send_key(process, key):
    try:
        process.stdin.write(key)
        process.stdin.flush()
    except (BrokenPipeError, OSError):
        pass


def end_process(process):
    """Kill QEMU if it still runs, reap it and close its pipes; its exit code."""
    if process.poll() is None:
        process.kill()
    exit_code = process.wait()
    for stream in (process.stdin, process.stdout, process.stderr):
        stream.close()
    return exit_code
