"""Command line entry of show3d (see tessarand.command for the options).

Signals come first: the handlers are in place before anything else is
imported, so that Ctrl-C, SIGTERM or SIGHUP at any moment, start-up included,
ends the run the same way: one line, nothing left behind, no traceback.
"""

import contextlib
import os
import signal
import sys

# Signals that end a run as Ctrl-C does: the run stops and cleans up after itself.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(BaseException):
    """A stop signal other than Ctrl-C (which comes as KeyboardInterrupt)."""


class StopSignals:
    """While in use, a stop signal raises in the main thread, and is remembered:
    the code it cuts short (an import, a native call) may turn the exception into
    one of its own. Within `held()` it waits until the block is done."""

    def __init__(self):
        self.received: int | None = None
        self._holding = 0
        self._previous = {}

    def __enter__(self):
        self._previous = {number: signal.signal(number, self._arrived) for number in STOP_SIGNALS}
        return self

    def __exit__(self, *exc):
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _arrived(self, number, frame):
        if self.received is None:
            self.received = number
        if not self._holding:
            self._raise()

    def _raise(self):
        raise KeyboardInterrupt if self.received == signal.SIGINT else Stopped(self.received)

    @contextlib.contextmanager
    def held(self):
        """Cleaning up is never cut short: a signal meanwhile waits for the end."""
        self._holding += 1
        try:
            yield
        finally:
            self._holding -= 1
            if self.received is not None and not self._holding:
                self._raise()


def main(argv=None) -> int:
    """Run the command on `argv` and return its exit status. Without `argv` it
    is the program itself, on the process's own arguments, and ends the
    process when done (see end_process)."""
    status = run(argv)
    if argv is None:
        end_process(status)
    return status


def run(argv) -> int:
    with StopSignals() as signals:
        try:
            # Imports are not cut short: some report an interrupted import of
            # theirs on standard error before failing.
            with signals.held():
                from tessarand import command
            return command.run(argv, signals)
        except BaseException:
            if signals.received is None:
                raise
        # Once stopping, further signals change nothing.
        for number in STOP_SIGNALS:
            signal.signal(number, signal.SIG_IGN)
        said = "interrupted" if signals.received == signal.SIGINT else "terminated"
        with contextlib.suppress(OSError):
            print(f"show3d: {said}", file=sys.stderr, flush=True)
        return 128 + signals.received


def end_process(status: int):
    """End the process with `status` once everything is written. Python's own
    exit would take KLayout, numpy and shapely apart first, which takes longer
    than converting a small layout, and a stop signal meanwhile would kill the
    process although its work is done. If the output cannot be flushed, the
    ordinary exit reports that, as it always has."""
    try:
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None when the process was started without it
                stream.flush()
    except (OSError, ValueError):
        return
    os._exit(status)


if __name__ == "__main__":
    sys.exit(main())
