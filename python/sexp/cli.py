"""The ``sexp`` command: check, format, search and convert S-expression files."""

import argparse
import os
import sys
import time

from _sexp import ParseError, dumps, error_position, iterparse, loads, parse

# The syntax a file is read in, by its name.
SUFFIXES = {
    ".kicad_pcb": "kicad", ".kicad_sch": "kicad", ".kicad_sym": "kicad", ".kicad_mod": "kicad",
    ".net": "kicad", ".edif": "kicad", ".edf": "kicad",
    ".smt2": "smtlib",
    ".wat": "wasm", ".wast": "wasm",
    ".lisp": "lisp", ".scm": "lisp", ".el": "lisp", ".sexp": "lisp",
}
NAMES = {"dune": "lisp", "dune-project": "lisp"}
SYNTAXES = ["plain", "kicad", "smtlib", "wasm", "lisp"]
# Files in these syntaxes are scripts: any number of forms, read one by one. A KiCad file
# holds one form, and so does a file of the plain grammar.
SCRIPTS = {"smtlib", "wasm", "lisp"}
UTF8_MESSAGE = "input is not valid UTF-8"
STDIN = "-"
WHITESPACE = b" \t\n\r"


def syntax_of(path):
    """The syntax a file's name gives, or None for a name that says nothing."""
    name = os.path.basename(path)
    if name in NAMES:
        return NAMES[name]
    return SUFFIXES.get(os.path.splitext(name)[1].lower())


class Problem(Exception):
    """A file that cannot be read, or does not parse: said as PATH:LINE:COLUMN: MESSAGE."""

    def __init__(self, path, message, where=None):
        super().__init__(message)
        self.path, self.message, self.where = path, message, where

    def __str__(self):
        if self.where is None:
            return f"{self.path}: {self.message}"
        return f"{self.path}:{self.where[1]}:{self.where[2]}: {self.message}"


def read(path):
    try:
        if path == STDIN:
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Problem(path, f"cannot read: {e.strerror or e}") from None


def script_error(path, data, syntax, error):
    """The Problem for the error `error` that reading `data` form by form raised."""
    where = error_position(data, syntax=syntax)
    if str(error) != UTF8_MESSAGE:
        # Form by form, the text is read up to an error where it stands; parse checks UTF-8
        # first. Where there is a bad byte, the error lies before it.
        try:
            parse(data, syntax=syntax)
        except ParseError as whole:
            if str(whole) == UTF8_MESSAGE:
                where = error_position(data[: where[0]], syntax=syntax)
    return Problem(path, str(error), where)


def forms(path, data, syntax):
    """The trees of a file's forms: one, or in a script any number. Raises Problem."""
    try:
        if syntax in SCRIPTS:
            return list(iterparse(data, syntax=syntax))
        return [parse(data, syntax=syntax)]
    except ParseError as e:
        if syntax in SCRIPTS:
            raise script_error(path, data, syntax, e) from None
        raise Problem(path, str(e), error_position(data, syntax=syntax)) from None


def check_one(task):
    """(path, bytes read, problem text or None): whether the file parses, found without a tree
    where it does. Runs in the worker processes."""
    path, syntax = task
    syntax = syntax or syntax_of(path) or "plain"
    try:
        data = read(path)
    except Problem as p:
        return path, 0, str(p)
    # A script parses as one form once wrapped in a list: "(" and a line feed before it, so
    # that no comment starter forms, and a line feed before ")", which ends a line comment.
    text = b"(\n" + data + b"\n)" if syntax in SCRIPTS else data
    if error_position(text, syntax=syntax) is None:
        return path, len(data), None
    try:
        forms(path, data, syntax)
    except Problem as p:
        return path, len(data), str(p)
    return path, len(data), None


def files_under(paths):
    """The files named, and under the folders named (in name order, hidden ones left out)
    those whose name gives a syntax: not the notes and licences beside them."""
    for path in paths:
        if path == STDIN or not os.path.isdir(path):
            yield path
            continue
        for top, folders, names in os.walk(path):
            folders[:] = sorted(d for d in folders if not d.startswith("."))
            for name in sorted(names):
                if not name.startswith(".") and syntax_of(name):
                    yield os.path.join(top, name)


# Below this many bytes in all, one process reads the files unless workers are asked for.
WORTH_A_POOL = 1 << 20


def size_of(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def total_size(tasks):
    total = 0
    for path, _ in tasks:
        total += size_of(path)
        if total >= WORTH_A_POOL:
            break
    return total


class Progress:
    """A line on standard error, redrawn at most ten times a second, when it is a terminal."""

    def __init__(self, total):
        self.total, self.shown = total, 0.0
        self.on = total > 1 and sys.stderr.isatty()

    def update(self, done, size):
        now = time.monotonic()
        if self.on and now - self.shown >= 0.1:
            self.shown = now
            sys.stderr.write(f"\rsexp check: {done}/{self.total} files, {size / 1e6:.1f} MB")
            sys.stderr.flush()

    def clear(self):
        if self.on:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def usable_cores():
    """The cores this process may run on (os.process_cpu_count, new in 3.13)."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def cmd_check(args):
    start = time.perf_counter()
    tasks = [(p, args.syntax) for p in files_under(args.paths)]
    jobs = min(args.jobs or usable_cores(), len(tasks))
    if any(path == STDIN for path, _ in tasks):
        jobs = 1  # standard input is this process's
    elif args.jobs is None and jobs > 1 and total_size(tasks) < WORTH_A_POOL:
        jobs = 1  # starting workers would take longer than the reading
    progress = Progress(len(tasks))
    size = bad = 0
    if jobs > 1:
        from sexp import workers

        sys.stdout.flush()
        results = workers.imap(check_one, tasks, jobs, [size_of(path) for path, _ in tasks])
    else:
        results = map(check_one, tasks)
    try:
        for done, (path, nbytes, problem) in enumerate(results, 1):
            size += nbytes
            if problem is not None:
                bad += 1
                progress.clear()
                print(problem, flush=True)
            progress.update(done, size)
    finally:
        progress.clear()
    seconds = time.perf_counter() - start
    print(f"{len(tasks)} files, {size} bytes, {bad} bad, {seconds:.2f} s")
    return 1 if bad else 0


def each_file(args, work):
    """Runs work(path, syntax, data) on every file; a file that fails is reported on standard
    error and the rest go on. Returns the exit status."""
    status = 0
    for path in files_under(args.paths):
        syntax = args.syntax or syntax_of(path) or "plain"
        try:
            work(path, syntax, read(path))
        except Problem as p:
            print(p, file=sys.stderr, flush=True)
            status = 1
    return status


def indent_of(text):
    if text == "tab":
        return "\t"
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"not a number of spaces, or 'tab': {text!r}")
    return n


def positive(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return n


def non_blank(data):
    return len(data) - sum(data.count(c) for c in WHITESPACE)


def write_over(path, data):
    """Replaces the file by `data` all at once: written beside it, then renamed over it, so
    that a failure leaves the file as it was."""
    import tempfile

    folder = os.path.dirname(path) or "."
    fd, temp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, os.stat(path).st_mode & 0o7777)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def cmd_fmt(args):
    def work(path, syntax, data):
        texts = (dumps(form, indent=args.indent) for form in forms(path, data, syntax))
        text = "".join(t + "\n" for t in texts if t)  # a blank text stays empty
        out = text.encode()
        # Formatting drops whitespace and comments only; every other byte stays.
        dropped_comments = non_blank(out) != non_blank(data)
        if args.in_place:
            if dropped_comments:
                raise Problem(path, "holds comments, which formatting would drop; left as it is")
            if out != data:
                try:
                    write_over(path, out)
                except OSError as e:
                    raise Problem(path, f"cannot write: {e.strerror or e}") from None
            return
        if dropped_comments:
            print(f"{path}: note: its comments are not in the output", file=sys.stderr)
        sys.stdout.write(text)
        sys.stdout.flush()

    return each_file(args, work)


def cmd_find(args):
    steps = [None if s == "*" else s[1:] if s.startswith("\\") else s for s in args.steps]

    def work(path, syntax, data):
        lines = [f"{path}: {node}\n" for form in forms(path, data, syntax)
                 for node in form.findall(*steps)]
        sys.stdout.write("".join(lines))
        sys.stdout.flush()

    return each_file(args, work)


def cmd_json(args):
    import json

    def work(path, syntax, data):
        if syntax in SCRIPTS:
            values = [form.tolist() for form in forms(path, data, syntax)]
        else:
            try:
                values = [loads(data, syntax=syntax)]
            except ParseError as e:
                raise Problem(path, str(e), error_position(data, syntax=syntax)) from None
        sys.stdout.write("".join(json.dumps(v, ensure_ascii=False) + "\n" for v in values))
        sys.stdout.flush()

    return each_file(args, work)


def parser():
    from sexp import __version__

    top = argparse.ArgumentParser(
        prog="sexp", description="Check, format, search and convert S-expression files.",
        epilog="Each file is read in the syntax its name gives: "
        ".kicad_pcb .kicad_sch .kicad_sym .kicad_mod .net .edif .edf: kicad; .smt2: smtlib; "
        ".wat .wast: wasm; dune dune-project .lisp .scm .el .sexp: lisp; any other: plain. "
        "smtlib, wasm and lisp files are scripts of any number of forms; the others hold one. "
        "Folders are read recursively, taking the files whose name gives a syntax; "
        "- is standard input.")
    top.add_argument("--version", action="version", version=f"sexp {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, help, run):
        p = commands.add_parser(name, help=help, description=help)
        p.add_argument("--syntax", choices=SYNTAXES, help="read every file in this syntax")
        p.set_defaults(run=run)
        return p

    check = command("check", "Say which files do not parse, and where: PATH:LINE:COLUMN: "
                    "MESSAGE, then a summary. Exit status 1 if any does not.", cmd_check)
    check.add_argument("-j", "--jobs", type=positive, metavar="N",
                       help="worker processes (default: one per core)")
    check.add_argument("paths", nargs="+", metavar="PATH")

    fmt = command("fmt", "Write each file indented, to standard output or (-i) back over it.",
                  cmd_fmt)
    fmt.add_argument("--indent", type=indent_of, default=2, metavar="I",
                     help="spaces per level, or 'tab' (default: 2)")
    fmt.add_argument("-i", "--in-place", action="store_true",
                     help="replace each file (written beside it, then renamed over it); a "
                     "file whose comments would be dropped is left as it is")
    fmt.add_argument("paths", nargs="+", metavar="PATH")

    find = command("find", "Print what findall(*STEP) finds in each form, one node a line, "
                   "after the file's name: each STEP picks the child lists it heads, '*' every "
                   "child list ('\\*' heads that are '*').", cmd_find)
    find.add_argument("steps", nargs="+", metavar="STEP")
    find.usage = "sexp find [-h] [--syntax S] STEP... -- PATH..."

    as_json = command("json", "Print each form as one line of JSON: nested lists of strings.",
                      cmd_json)
    as_json.add_argument("paths", nargs="+", metavar="PATH")
    return top


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):  # file names that are not UTF-8 are written back
            stream.reconfigure(encoding="utf-8", errors="surrogateescape")
    top = parser()
    paths = None
    if argv[:1] == ["find"] and "--" in argv:  # the steps, then the paths
        cut = argv.index("--")
        argv, paths = argv[:cut], argv[cut + 1:]
    args = top.parse_args(argv)
    if args.command == "find":
        if not paths:
            top.error("find: give the paths after --: sexp find STEP... -- PATH...")
        args.paths = paths
    if args.command == "fmt" and args.in_place and STDIN in args.paths:
        top.error("fmt: -i cannot write standard input back")
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader went away (sexp json ... | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
