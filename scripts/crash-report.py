#!/usr/bin/env python3
"""Reads a crash dump of the Talvern tray agent and says where it crashed.

    crash-report.py DUMP [--symbols DIR]

Prints the exception (code and name), the faulting module and the offset in
it, the product version from the agent's own stream, the system, the threads
(with the bytes of stack the dump holds of each), the module list (base, size, name), and the faulting address as function, file and line.
The line comes from `x86_64-w64-mingw32-addr2line` on the module's debug file,
<module>.debug: by default from build/dist/Talvern-<version>-x64-debug/, which
scripts/package.sh keeps beside each package, or from DIR (a folder of .debug
files named after their modules; an unstripped module copied as <name>.debug
does as well). Without a debug file the module and offset are still given.

The dump is read here (Python's standard library only): the header "MDMP", the
stream directory, and the streams Exception (6), ModuleList (4), ThreadList (3)
and SystemInfo (7), both optional, and the agent's version stream (app/crash_version_stream.h).

Exit code 0, or 2 with a message on stderr when DUMP is no minidump, is cut
short (a stream or the directory reaches past its end), or lacks the exception
or the module list."""
import argparse, os, shutil, signal, struct, subprocess, sys

ADDR2LINE = "x86_64-w64-mingw32-addr2line"
HERE = os.path.dirname(os.path.abspath(__file__))

STREAM_THREAD_LIST, STREAM_MODULE_LIST, STREAM_EXCEPTION, STREAM_SYSTEM_INFO = 3, 4, 6, 7
STREAM_TALVERN_VERSION = 0x54560001  # app/crash_version_stream.h

EXCEPTION_NAMES = {
    0x80000002: "EXCEPTION_DATATYPE_MISALIGNMENT",
    0x80000003: "EXCEPTION_BREAKPOINT",
    0x80000004: "EXCEPTION_SINGLE_STEP",
    0xC0000005: "EXCEPTION_ACCESS_VIOLATION",
    0xC0000006: "EXCEPTION_IN_PAGE_ERROR",
    0xC0000008: "STATUS_INVALID_HANDLE",
    0xC000001D: "EXCEPTION_ILLEGAL_INSTRUCTION",
    0xC0000025: "EXCEPTION_NONCONTINUABLE_EXCEPTION",
    0xC0000026: "EXCEPTION_INVALID_DISPOSITION",
    0xC000008C: "EXCEPTION_ARRAY_BOUNDS_EXCEEDED",
    0xC000008D: "EXCEPTION_FLT_DENORMAL_OPERAND",
    0xC000008E: "EXCEPTION_FLT_DIVIDE_BY_ZERO",
    0xC000008F: "EXCEPTION_FLT_INEXACT_RESULT",
    0xC0000090: "EXCEPTION_FLT_INVALID_OPERATION",
    0xC0000091: "EXCEPTION_FLT_OVERFLOW",
    0xC0000092: "EXCEPTION_FLT_STACK_CHECK",
    0xC0000093: "EXCEPTION_FLT_UNDERFLOW",
    0xC0000094: "EXCEPTION_INT_DIVIDE_BY_ZERO",
    0xC0000095: "EXCEPTION_INT_OVERFLOW",
    0xC0000096: "EXCEPTION_PRIV_INSTRUCTION",
    0xC00000FD: "EXCEPTION_STACK_OVERFLOW",
    0xC0000374: "STATUS_HEAP_CORRUPTION",
    0xC0000409: "STATUS_STACK_BUFFER_OVERRUN",
    0x20474343: "GCC C++ exception",
    0xE06D7363: "MSVC C++ exception",
}
ACCESS_KINDS = {0: "reading", 1: "writing", 8: "executing"}


class BadDump(Exception):
    pass


class Dump:
    """The parts of a minidump the report needs; raises BadDump on anything malformed."""

    def __init__(self, data):
        self.data = data
        if len(data) < 32 or data[:4] != b"MDMP":
            raise BadDump("not a minidump (no MDMP header)")
        _, _, count, rva = struct.unpack_from("<4sIII", data, 0)
        self.need(rva, 12 * count, "the stream directory")
        self.streams = {}
        for i in range(count):
            kind, size, at = struct.unpack_from("<III", data, rva + 12 * i)
            self.need(at, size, "stream %d (type 0x%X)" % (i, kind))
            self.streams.setdefault(kind, (at, size))

    def need(self, at, size, what):
        if at + size > len(self.data):
            raise BadDump("truncated: %s (%d bytes at %d) reaches past the end (%d bytes)"
                          % (what, size, at, len(self.data)))

    def stream(self, kind, least, what):
        if kind not in self.streams:
            return None
        at, size = self.streams[kind]
        if size < least:
            raise BadDump("the %s stream is %d bytes, too short" % (what, size))
        return at, size

    def string(self, rva, what):
        self.need(rva, 4, what)
        (length,) = struct.unpack_from("<I", self.data, rva)
        self.need(rva + 4, length, what)
        return self.data[rva + 4:rva + 4 + length].decode("utf-16-le", errors="replace")

    def exception(self):
        found = self.stream(STREAM_EXCEPTION, 168, "exception")
        if found is None:
            raise BadDump("no exception stream: not a crash dump")
        at, _ = found
        thread, _, code, _, _, address, count, _ = struct.unpack_from("<IIIIQQII", self.data, at)
        params = struct.unpack_from("<15Q", self.data, at + 40)[:min(count, 15)]
        return thread, code, address, params

    def modules(self):
        found = self.stream(STREAM_MODULE_LIST, 4, "module list")
        if found is None:
            raise BadDump("no module list stream")
        at, size = found
        (count,) = struct.unpack_from("<I", self.data, at)
        if 4 + 108 * count > size:
            raise BadDump("the module list claims %d modules, more than its %d bytes hold" % (count, size))
        result = []
        for i in range(count):
            base, length, _, _, name_rva = struct.unpack_from("<QIIII", self.data, at + 4 + 108 * i)
            result.append((base, length, self.string(name_rva, "module %d's name" % i)))
        return result

    def threads(self):
        """(thread id, bytes of its stack in the dump) of each thread, or None without a thread list."""
        found = self.stream(STREAM_THREAD_LIST, 4, "thread list")
        if found is None:
            return None
        at, size = found
        (count,) = struct.unpack_from("<I", self.data, at)
        if 4 + 48 * count > size:
            raise BadDump("the thread list claims %d threads, more than its %d bytes hold" % (count, size))
        return [(struct.unpack_from("<I", self.data, at + 4 + 48 * i)[0],
                 struct.unpack_from("<I", self.data, at + 4 + 48 * i + 32)[0]) for i in range(count)]

    def version(self):
        found = self.stream(STREAM_TALVERN_VERSION, 12, "version")
        if found is None:
            return None
        layout, a, b, c, d = struct.unpack_from("<IHHHH", self.data, found[0])
        if layout != 1:
            raise BadDump("the version stream has layout %d, not 1" % layout)
        return "%d.%d.%d.%d" % (a, b, c, d)

    def system(self):
        found = self.stream(STREAM_SYSTEM_INFO, 24, "system information")
        if found is None:
            return None
        arch, _, _, cpus, _, major, minor, build = struct.unpack_from("<HHHBBIII", self.data, found[0])
        machine = {9: "x64", 0: "x86", 12: "arm64"}.get(arch, "architecture %d" % arch)
        return "Windows %d.%d.%d, %s, %d processors" % (major, minor, build, machine, cpus)


def image_base(path):
    """The preferred load address in a PE file's optional header, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        (pe,) = struct.unpack_from("<I", head, 0x3C)
        if head[:2] != b"MZ" or head[pe:pe + 4] != b"PE\0\0":
            return None
        optional = pe + 24
        (magic,) = struct.unpack_from("<H", head, optional)
        if magic == 0x20B:
            return struct.unpack_from("<Q", head, optional + 24)[0]
        if magic == 0x10B:
            return struct.unpack_from("<I", head, optional + 28)[0]
    except (OSError, struct.error):
        pass
    return None


def find_debug_file(folders, module):
    want = (module + ".debug").lower()
    for folder in folders:
        try:
            for name in os.listdir(folder):
                if name.lower() == want:
                    return os.path.join(folder, name)
        except OSError:
            continue
    return None


def locate(debug_file, address, load_base):
    """"function at file:line" of address in the module loaded at load_base, or why not."""
    base = image_base(debug_file)
    if base is None:
        return "no line: %s is not a PE image" % debug_file
    tool = shutil.which(ADDR2LINE)
    if tool is None:
        return "no line: %s is not installed" % ADDR2LINE
    rebased = address - load_base + base
    out = subprocess.run([tool, "-f", "-C", "-e", debug_file, "0x%x" % rebased],
                         capture_output=True, text=True).stdout.splitlines()
    function = out[0] if out else "??"
    where = out[1] if len(out) > 1 else "??:0"
    if where.startswith("??"):
        return "%s (no line information at 0x%x in %s)" % (function, rebased, debug_file)
    return "%s at %s" % (function, where.split(" (discriminator")[0])


def report(path, symbol_dirs):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise BadDump("cannot read: %s" % e.strerror)
    dump = Dump(data)
    thread, code, address, params = dump.exception()
    modules = dump.modules()
    threads = dump.threads()
    version = dump.version()
    system = dump.system()

    name = EXCEPTION_NAMES.get(code, "unknown exception")
    detail = ""
    if code in (0xC0000005, 0xC0000006) and len(params) >= 2:
        detail = " (%s address 0x%x)" % (ACCESS_KINDS.get(params[0], "access %d at" % params[0]), params[1])
    print("dump:      %s" % path)
    print("version:   %s" % (version or "unknown (no version stream)"))
    if system:
        print("system:    %s" % system)
    print("exception: 0x%08X %s%s" % (code, name, detail))
    print("thread:    %d" % thread)

    faulting = next(((b, s, n) for b, s, n in modules if b <= address < b + s), None)
    if faulting is None:
        print("module:    none holds the address 0x%x" % address)
    else:
        base, _, full = faulting
        module = full.replace("/", "\\").rsplit("\\", 1)[-1]
        print("module:    %s+0x%x (address 0x%x, loaded at 0x%x)" % (module, address - base, address, base))
        folders = list(symbol_dirs)
        if not folders and version:
            folders.append(os.path.join(HERE, "..", "build", "dist", "Talvern-%s-x64-debug" % version))
        debug_file = find_debug_file(folders, module)
        if debug_file is None:
            print("location:  symbols not found (no %s.debug in %s)" % (module, ", ".join(folders) or "any folder"))
        else:
            print("location:  %s" % locate(debug_file, address, base))
    if threads is not None:
        print("threads:   %s" % ", ".join("%d (stack %d bytes%s)" % (t, n, ", crashed" if t == thread else "")
                                          for t, n in threads))
    print("modules:")
    for base, size, full in modules:
        print("  0x%016x  0x%08x  %s" % (base, size, full))


def main():
    # A reader that stops early (| head) is no error.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    parser = argparse.ArgumentParser(description="Where a crash dump of the Talvern tray agent crashed.")
    parser.add_argument("dump")
    parser.add_argument("--symbols", action="append", default=[], metavar="DIR",
                        help="a folder of <module>.debug files (may be given more than once)")
    args = parser.parse_args()
    try:
        report(args.dump, args.symbols)
    except BadDump as e:
        print("crash-report: %s: %s" % (args.dump, e), file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
