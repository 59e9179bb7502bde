"""A results folder with one sub-folder per factor, each written atomically.

A factor's files are written into a hidden temporary folder beside the final
one and renamed into place when complete, so an interrupted run never leaves
half a result: a folder either is complete or is not there. ``factor.txt`` in
each folder records the factor it holds; a re-run with ``resume`` skips the
factors whose folder holds the same factor. A failure is written as
``<name>.error.txt`` and does not count as complete.
"""
import os
import re
import shutil
import uuid

__all__ = ["ResultsFolder", "folder_names", "write_frame"]

_TMP_MARK = ".tmp-"
DESCRIPTION_FILE = "factor.txt"


def folder_names(names):
    """name -> folder name (letters, digits, dot, dash, underscore); two
    names that would share a folder are an error."""
    out, seen = {}, {}
    for name in names:
        safe = re.sub(r"[^A-Za-z0-9._-]+", "_", str(name)).strip("._") or "factor"
        if safe.lower() in seen:
            raise ValueError("factors {!r} and {!r} would share the results folder {!r}".format(
                seen[safe.lower()], name, safe))
        seen[safe.lower()] = name
        out[name] = safe
    return out


def write_frame(frame, folder, stem):
    """A table as Parquet when a Parquet engine is installed, else as CSV."""
    try:
        path = os.path.join(folder, stem + ".parquet")
        frame.to_parquet(path)
        return path
    except ImportError:
        path = os.path.join(folder, stem + ".csv")
        frame.to_csv(path)
        return path


def _fsync_tree(folder):
    for entry in os.scandir(folder):
        if entry.is_file():
            with open(entry.path, "rb") as fh:
                os.fsync(fh.fileno())
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class ResultsFolder:
    def __init__(self, root, names):
        self.root = os.path.abspath(os.fspath(root))
        self.folders = folder_names(names)
        os.makedirs(self.root, exist_ok=True)
        self._remove_stale_temporaries()

    def _remove_stale_temporaries(self):
        """Temporary folders of runs that died before renaming."""
        for entry in os.listdir(self.root):
            match = re.search(r"\.tmp-(\d+)-[0-9a-f]{32}(\.old)?$", entry)
            if match and not _pid_alive(int(match.group(1))):
                full = os.path.join(self.root, entry)
                if os.path.isdir(full):
                    shutil.rmtree(full, ignore_errors=True)
                else:
                    os.remove(full)

    def path(self, name):
        return os.path.join(self.root, self.folders[name])

    def error_path(self, name):
        return os.path.join(self.root, self.folders[name] + ".error.txt")

    def is_complete(self, name, description):
        try:
            with open(os.path.join(self.path(name), DESCRIPTION_FILE), encoding="utf-8") as fh:
                return fh.read() == description
        except OSError:
            return False

    def _temporary(self, name):
        return os.path.join(self.root, ".{}{}{}-{}".format(
            self.folders[name], _TMP_MARK, os.getpid(), uuid.uuid4().hex))

    def write(self, name, description, fill):
        """Creates the factor's folder: ``fill(folder)`` writes the files into
        a temporary folder that is renamed into place once complete."""
        tmp = self._temporary(name)
        os.makedirs(tmp)
        try:
            fill(tmp)
            with open(os.path.join(tmp, DESCRIPTION_FILE), "w", encoding="utf-8") as fh:
                fh.write(description)
            _fsync_tree(tmp)
            final = self.path(name)
            if os.path.exists(final):  # an older result of this name: move it aside first
                old = tmp + ".old"
                os.rename(final, old)
                os.rename(tmp, final)
                shutil.rmtree(old, ignore_errors=True)
            else:
                os.rename(tmp, final)
        except BaseException:
            shutil.rmtree(tmp, ignore_errors=True)
            raise
        try:
            os.remove(self.error_path(name))
        except FileNotFoundError:
            pass
        return final

    def write_error(self, name, error):
        path = self.error_path(name)
        tmp = "{}{}{}-{}".format(path, _TMP_MARK, os.getpid(), uuid.uuid4().hex)
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(str(error) + "\n")
            if getattr(error, "traceback_text", ""):
                fh.write("\n" + error.traceback_text)
        os.replace(tmp, path)
        return path

    def leftovers(self):
        """Temporary entries still present (none after a finished run)."""
        return [e for e in os.listdir(self.root) if _TMP_MARK in e]
