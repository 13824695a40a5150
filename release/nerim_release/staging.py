"""How the tools write what others rely on: a new file or folder is written
beside its target under a hidden name, verified by the caller, flushed to
disk and renamed into place in one step, so that the target is either the
old one or the whole new one, whatever happens in between.

A killed run leaves its staged names (".NAME.staged.PID.XXXXXXXX"); the next
run in that folder removes them (remove_stale), never those of a run that
still lives. lock() keeps two runs from writing into one folder at once."""
import argparse
import ctypes
import errno
import fcntl
import os
import re
import shutil
import tempfile

from . import tool

RENAME_NOREPLACE, RENAME_EXCHANGE = 1, 2
AT_FDCWD = -100
STALE = re.compile(r"\..*\.staged\.(\d+)\.[^.]*$")


class StagingError(Exception):
    """Why a staged file could not be put in place; the target is as it was."""


def staged(target, folder=False, owner=None):
    """A new hidden file (or folder) beside target, named after the process
    that owns it (this one unless owner says another)."""
    directory, name = os.path.split(target)
    prefix = ".%s.staged.%d." % (name, owner or os.getpid())
    if folder:
        return tempfile.mkdtemp(prefix=prefix, dir=directory or ".")
    handle, path = tempfile.mkstemp(prefix=prefix, dir=directory or ".")
    os.close(handle)
    return path


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale(folder, note):
    """Removes the staged names of runs no longer running, saying each with
    note(text); a live run's are left alone, and said so."""
    for name in sorted(os.listdir(folder)):
        found = STALE.match(name)
        if not found:
            continue
        path = os.path.join(folder, name)
        if _alive(int(found.group(1))):
            note("note: %s belongs to the running process %s; left alone" % (path, found.group(1)))
            continue
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
        note("note: removed %s, left by a killed run" % path)


def _fsync(path, directory=False):
    handle = os.open(path, os.O_RDONLY | (os.O_DIRECTORY if directory else 0))
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


def flush(path):
    """A file's bytes, or a folder's files and the folder itself, on disk."""
    if not os.path.isdir(path):
        _fsync(path)
        return
    for directory, _, files in os.walk(path):
        for name in files:
            _fsync(os.path.join(directory, name))
        _fsync(directory, directory=True)


def _renameat2(source, target, flag):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), flag) != 0:
        return os.strerror(ctypes.get_errno())
    return None


def rename_in_one_step(source, target, renameat2=_renameat2):
    """A plain rename over a file; "noreplace" where target does not exist (a
    rename that would replace a new one fails); "exchange" with a folder (the
    old one ends up at source). A file system that cannot do the last two
    makes it fail rather than leave a moment with no target."""
    if os.path.isdir(target) and not os.path.islink(target):
        flag, how = RENAME_EXCHANGE, "swap"
    elif os.path.lexists(target):
        os.rename(source, target)
        return
    else:
        flag, how = RENAME_NOREPLACE, "rename"
    problem = renameat2(source, target, flag)
    if problem:
        raise StagingError("cannot %s %s and %s in one step: %s" % (how, source, target, problem))


def put_in_place(source, target, renameat2=_renameat2):
    """Flushes source, renames it to target in one step and flushes the
    folder; a folder target is swapped with source and the old one removed."""
    try:
        flush(source)
    except OSError as error:
        raise StagingError("cannot flush %s to disk: %s" % (source, error.strerror))
    rename_in_one_step(source, target, renameat2)
    try:
        _fsync(os.path.dirname(target) or ".", directory=True)
    except OSError as error:
        raise StagingError("cannot flush the folder of %s to disk: %s" % (target, error.strerror))
    if os.path.lexists(source):
        try:
            shutil.rmtree(source)
        except OSError as error:
            raise StagingError("cannot remove the old %s, now at %s: %s"
                               % (target, source, error.strerror))


def lock(folder):
    """An open descriptor holding folder's lock, or None when another run
    holds it; the lock goes when the process ends."""
    handle = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        os.close(handle)
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            return None
        raise
    return handle


def main(argv):
    """release/staging: the same steps for the shell scripts that write a medium."""
    parser = argparse.ArgumentParser(prog="staging", description=__doc__.split("\n\n")[0])
    steps = parser.add_subparsers(dest="step", required=True)
    new = steps.add_parser("new", help="make a staged file (--folder: folder) beside TARGET; "
                           "prints its path")
    new.add_argument("--folder", action="store_true")
    new.add_argument("--owner", type=int, required=True,
                     help="the process id of the run it belongs to (the calling script's $$)")
    new.add_argument("target")
    put = steps.add_parser("put", help="flush STAGED and rename it to TARGET in one step")
    put.add_argument("staged")
    put.add_argument("target")
    stale = steps.add_parser("remove-stale", help="remove the staged names of dead runs in FOLDER")
    stale.add_argument("folder")
    args = parser.parse_args(argv)
    try:
        if args.step == "new":
            print(staged(args.target, args.folder, args.owner))
        elif args.step == "put":
            put_in_place(args.staged, args.target)
        else:
            remove_stale(args.folder, lambda text: tool.note("staging", text))
    except StagingError as problem:
        raise tool.Failure(str(problem))
    except OSError as error:
        raise tool.Failure("%s: %s" % (error.filename, error.strerror))
    return 0
