"""Atomic output files: each is written to a temporary file beside its target
and renamed over it only when every output of the run is complete, so that a
failure leaves neither a partial file nor a mix of old and new outputs."""

import os
import secrets


class StagedOutputs:
    """Temporary files waiting to be renamed over their targets together.

    Use as a context manager: leaving the block by an exception removes every
    temporary file; `commit()` renames them all.
    """

    def __init__(self):
        self._staged = []  # (temporary path, target path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()
        return False

    def stage(self, path, write, binary=False):
        """Calls `write(handle)` on a new temporary file for `path`."""
        target = os.fspath(path)
        directory, base = os.path.split(target)
        temporary = os.path.join(directory, f".{base}.{secrets.token_hex(4)}.tmp")
        # O_EXCL with mode 0o666: the file gets the permissions the umask
        # gives any new file, as if it had been opened for writing directly.
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except OSError as error:  # name the file asked for, not the temporary one
            raise OSError(error.errno, error.strerror, target) from None
        self._staged.append((temporary, target))
        mode = "wb" if binary else "w"
        with open(fd, mode, **({} if binary else {"encoding": "utf-8", "newline": "\n"})) as handle:
            write(handle)

    def commit(self):
        for temporary, target in self._staged:
            os.replace(temporary, target)
        self._staged.clear()

    def discard(self):
        for temporary, _ in self._staged:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        self._staged.clear()


def write_atomically(path, write, binary=False):
    """Writes one file through `write(handle)`, atomically."""
    with StagedOutputs() as outputs:
        outputs.stage(path, write, binary)
        outputs.commit()
