"""``python -m pyzeb`` and the ``zeb`` console script: the `zeb` command.

Ctrl-C while the command's modules load (NumPy, the extension) ends it at
once, quietly, with exit status 130; once it runs, the command handles
Ctrl-C itself (removing what it was writing)."""
import os
import signal
import sys


def _stop_quietly(signum: int, frame: object) -> None:
    os.write(2, b"zeb: interrupted\n")
    os._exit(128 + signal.SIGINT)


def run() -> int:
    """The console script's entry point: the command's exit status."""
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # not where SIGINT is ignored
        signal.signal(signal.SIGINT, _stop_quietly)
    from .cli import main
    return main()


if __name__ == "__main__":
    sys.exit(run())
