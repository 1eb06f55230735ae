"""Text and binary file objects backed only by the virtual filesystem (_tarnwick_vfs).

open() reads a whole file when it is opened for reading and writes it back when a file opened
for writing is flushed or closed.
"""

SEEK_SET = 0
SEEK_CUR = 1
SEEK_END = 2


def _vfs():
    import _tarnwick_vfs
    return _tarnwick_vfs


class UnsupportedOperation(OSError, ValueError):
    pass


class IOBase:
    closed = False

    def __enter__(self):
        self._check_open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __iter__(self):
        self._check_open()
        return self

    def __next__(self):
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    def _check_open(self):
        if self.closed:
            raise ValueError("I/O operation on closed file.")

    def readable(self):
        return False

    def writable(self):
        return False

    def seekable(self):
        return False

    def flush(self):
        self._check_open()

    def close(self):
        if not self.closed:
            self.flush()
            self.closed = True

    def readlines(self, hint=-1):
        lines = []
        total = 0
        for line in self:
            lines.append(line)
            total += len(line)
            if 0 < hint <= total:
                break
        return lines

    def writelines(self, lines):
        for line in lines:
            self.write(line)


class _TextIOMeta(type):
    # The standard streams are native objects; they count as text streams.
    def __instancecheck__(cls, instance):
        kind = type(instance)
        if cls is TextIOBase and kind is _stream_type():
            return True
        return any(base is cls for base in kind.__mro__)


def _stream_type():
    import _sys
    return type(_sys.stdout)


class TextIOBase(IOBase, metaclass=_TextIOMeta):
    pass


class _MemoryFile(IOBase):
    def __init__(self, initial, empty):
        self._data = initial
        self._empty = empty
        self._pos = 0

    def readable(self):
        return True

    def writable(self):
        return True

    def seekable(self):
        return True

    def read(self, size=-1):
        self._check_open()
        if size is None or size < 0:
            end = len(self._data)
        else:
            end = min(len(self._data), self._pos + size)
        chunk = self._data[self._pos:end]
        self._pos = end
        return chunk

    def readline(self, size=-1):
        self._check_open()
        newline = "\n" if isinstance(self._data, str) else b"\n"
        end = self._data.find(newline, self._pos)
        end = len(self._data) if end < 0 else end + 1
        if size is not None and size >= 0:
            end = min(end, self._pos + size)
        chunk = self._data[self._pos:end]
        self._pos = end
        return chunk

    def write(self, data):
        self._check_open()
        self._data = self._data[:self._pos] + data + self._data[self._pos + len(data):]
        self._pos += len(data)
        return len(data)

    def seek(self, offset, whence=SEEK_SET):
        self._check_open()
        if whence == SEEK_SET:
            position = offset
        elif whence == SEEK_CUR:
            position = self._pos + offset
        elif whence == SEEK_END:
            position = len(self._data) + offset
        else:
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
        if position < 0:
            raise ValueError("negative seek value %d" % position)
        self._pos = position
        return position

    def tell(self):
        self._check_open()
        return self._pos

    def getvalue(self):
        self._check_open()
        return self._data

    def truncate(self, size=None):
        self._check_open()
        size = self._pos if size is None else size
        self._data = self._data[:size]
        return size


class StringIO(_MemoryFile):
    def __init__(self, initial_value="", newline="\n"):
        super().__init__(initial_value or "", "")


class BytesIO(_MemoryFile):
    def __init__(self, initial_bytes=b""):
        super().__init__(bytes(initial_bytes or b""), b"")


class FileIO(_MemoryFile):
    def __init__(self, name, mode, binary, encoding):
        self.name = name
        self.mode = mode
        self.encoding = None if binary else encoding
        self._binary = binary
        self._reading = "r" in mode or "+" in mode
        self._writing = "w" in mode or "a" in mode or "x" in mode or "+" in mode
        self._appending = "a" in mode
        self._dirty = False
        empty = b"" if binary else ""
        initial = empty
        if "r" in mode:
            initial = _vfs().read_bytes(name) if binary else _vfs().read_text(name)
        elif "x" in mode and _vfs().exists(name):
            raise FileExistsError(17, "File exists", name)
        elif "w" in mode or "x" in mode:
            if binary:
                _vfs().write_bytes(name, b"")
            else:
                _vfs().write_text(name, "")
        elif self._appending and not _vfs().exists(name):
            if binary:
                _vfs().write_bytes(name, b"")
            else:
                _vfs().write_text(name, "")
        super().__init__(initial, empty)
        self._flushed = 0

    def readable(self):
        return self._reading

    def writable(self):
        return self._writing

    def read(self, size=-1):
        if not self._reading:
            raise UnsupportedOperation("not readable")
        return super().read(size)

    def readline(self, size=-1):
        if not self._reading:
            raise UnsupportedOperation("not readable")
        return super().readline(size)

    def write(self, data):
        if not self._writing:
            raise UnsupportedOperation("not writable")
        if self._binary:
            if isinstance(data, str):
                raise TypeError("a bytes-like object is required, not 'str'")
            data = bytes(data)
        elif not isinstance(data, str):
            raise TypeError("write() argument must be str, not " + type(data).__name__)
        if self._appending:
            self._pos = len(self._data)
        self._dirty = True
        return super().write(data)

    def flush(self):
        self._check_open()
        if not self._dirty:
            return
        if self._appending:
            tail = self._data[self._flushed:]
            if self._binary:
                _vfs().append_bytes(self.name, tail)
            else:
                _vfs().append_text(self.name, tail)
            self._flushed = len(self._data)
        elif self._binary:
            _vfs().write_bytes(self.name, self._data)
        else:
            _vfs().write_text(self.name, self._data)
        self._dirty = False


def open(file, mode="r", buffering=-1, encoding=None, errors=None, newline=None, closefd=True, opener=None):
    if not isinstance(file, str):
        file = getattr(file, "__fspath__", None)
        if file is None:
            raise TypeError("expected str, bytes or os.PathLike object")
        file = file()
    if not isinstance(mode, str):
        raise TypeError("open() argument 'mode' must be str, not " + type(mode).__name__)
    kinds = sum(1 for c in "rwax" if c in mode)
    if kinds != 1 or any(c not in "rwaxbt+" for c in mode) or ("b" in mode and "t" in mode):
        raise ValueError("invalid mode: '" + mode + "'")
    binary = "b" in mode
    if binary and encoding is not None:
        raise ValueError("binary mode doesn't take an encoding argument")
    return FileIO(file, mode, binary, encoding or "utf-8")


open_code = open
TextIOWrapper = FileIO
BufferedReader = FileIO
BufferedWriter = FileIO
