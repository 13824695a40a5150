"""How a command ends: every way out that is not success is one line naming
the command, the step where there is one, and the real cause."""
import signal
import sys
import traceback


class Failure(Exception):
    """Ends a command with exit code 1 and this one line (after the name)."""


class Interrupted(Exception):
    """SIGINT, SIGTERM or SIGHUP arrived: the command stops where it is."""


def note(tool, text):
    """A line on stderr naming the command: a step that takes a while, or a
    note the caller should see."""
    print("%s: %s" % (tool, text), file=sys.stderr, flush=True)


def _interrupt(number, frame):
    raise Interrupted()


def run(tool, main, argv):
    """Runs main(argv) and returns the exit code; a Failure is said as one line."""
    sys.stdout.reconfigure(line_buffering=True, errors="backslashreplace")
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _interrupt)
    try:
        return main(argv)
    except Failure as failure:
        note(tool, str(failure))
        return 1
    except Interrupted as interrupted:
        note(tool, str(interrupted) or "interrupted")
        return 130
    except Exception as error:  # a fault of the tool's own: its trace, then the one line
        traceback.print_exc()
        note(tool, "internal error: %s: %s" % (type(error).__name__, error))
        return 1
