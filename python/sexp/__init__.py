"""S-expression trees in native memory: parse, navigate, edit, compare and print them.

Every name of the extension module ``_sexp`` is here too, as the same object, and
``python -m sexp`` (or the ``sexp`` command) checks, formats, searches and converts whole
folders of files; see ``sexp --help``.

Parsing
-------
``parse(text)`` reads one form (a ``str``, ``bytes`` or ``bytearray``) into a new tree and
returns the handle on its root; ``iterparse(text_or_binary_file)`` yields the top-level forms
of a script one by one, each a tree of its own. The plain grammar has only whitespace,
parentheses and atoms (every other run of bytes, taken as it is). ``syntax=`` reads the
quoted strings and comments of real formats:

    "kicad"   KiCad files and EDIF: "..." with backslash escapes, # comment lines
    "smtlib"  SMT-LIB 2: "..." and |...|, ; comments
    "wasm"    WebAssembly text: "..." with escapes, ;; and nesting (; ;) comments
    "lisp"    Lisp data, dune files: "..." and |...| with escapes, ; and #| |# comments

A quoted string stays one atom, quotes and escapes kept byte for byte; comments are skipped
and are not in the tree. A malformed text raises ``ParseError`` (a ``ValueError``) saying
what is wrong; ``error_position(text)`` says where: ``(offset, line, column)``, or ``None``
when the text parses.

    >>> import sexp
    >>> pad = sexp.parse('(pad 1 smd (at -0.8 0) (layers "F.Cu" "F.Mask"))', syntax="kicad")
    >>> sexp.error_position("(pad 1\\n  (at 0 0)")
    (0, 1, 1)

Navigating
----------
Every access makes a fresh ``SExp`` handle on one node. ``node[i]`` is a child by position
(negative counts from the end), ``node["at"]`` the first child that is the atom ``at`` or a
list headed by it (``KeyError`` if none), ``node[1:3]`` a list of handles. ``"smd" in node``
asks whether a child *atom* has that text; a handle, whether that very node is a child.
``head``, ``tail``, ``parent``, ``value`` (an atom's text, settable) and ``is_atom`` do the
rest; ``len(node)`` counts children, so an atom is false in a truth test. For "which nodes"
questions, ``node.iter(head)``, ``node.findall(*path)`` and ``node.find(*path)`` search in
native code, and ``node.tolist()`` gives the subtree as nested lists of ``str``.

    >>> pad["at"][1].value
    '-0.8'
    >>> "smd" in pad, "at" in pad
    (True, False)

Comparing
---------
``==`` compares structure: the same shape and the same atom bytes, in one tree or two;
spacing, position and storage do not matter, and anything that is not an ``SExp`` is
unequal. Handles are unhashable: use ``str(node)`` as a key.

    >>> sexp.parse("(at -0.8 0)") == pad["at"]
    True

Editing, and stale handles
--------------------------
``new_atom``/``new_list`` make detached nodes; ``append``, ``prepend`` and ``insert_after``
attach (or move) them; ``extend`` appends nested data (and copies of nodes) in one call.
``remove()`` deletes a subtree, ``remove_all(nodes)`` several, and ``extract()`` moves one
into a new tree. Any removal makes *every* handle and
iterator of that tree made before it stale, except handles on the root, not only those of
the removed nodes: using one raises ``RuntimeError("stale node reference")``. Navigate again
from the root after a removal.

    >>> layers = pad["layers"]
    >>> pad["at"].remove()
    >>> pad
    (pad 1 smd (layers "F.Cu" "F.Mask"))
    >>> layers.value
    Traceback (most recent call last):
      ...
    RuntimeError: stale node reference

Editing a file and keeping its layout
-------------------------------------
``parse(text, syntax=..., keep_layout=True)`` (or ``load(path, ...)``) keeps the text the tree
was read from: ``dumps(root)`` gives it back byte for byte, comments and all, and after edits
only the edited parts change; ``dump(root, path)`` writes a file whole or not at all. Comments
travel with their node; new nodes are laid out as their neighbours are. Such a tree refuses an
atom text that would not read back as one atom; ``quote(text, syntax=...)`` makes one, and
``unquote`` reads it back.

    >>> fp = sexp.parse('(footprint R1\\n  (descr "a resistor") ; shown in lists\\n)',
    ...                 syntax="kicad", keep_layout=True)
    >>> fp["descr"][1].value = sexp.quote("a 10k resistor", syntax="kicad")
    >>> print(sexp.dumps(fp))
    (footprint R1
      (descr "a 10k resistor") ; shown in lists
    )

Printing and plain data
-----------------------
``str(node)`` is one line of canonical text (so is ``dumps(node)`` of a tree that keeps no
layout); ``dumps(node, indent=2)`` lays it out anew on lines, and ``dump(node, file)`` writes
it in pieces. ``loads(text)`` gives the nested lists that
``parse(text).tolist()`` gives, without building a tree, and ``dumps`` also writes such data.

    >>> sexp.loads("(net 1 (node R1 2))")
    ['net', '1', ['node', 'R1', '2']]
    >>> print(sexp.dumps(["net", "1", ["node", "R1", "2"]], indent=2))
    (net 1
      (node R1 2))
"""

import _sexp
from _sexp import *  # noqa: F403  (the names of _sexp.__all__, the same objects)

__all__ = list(_sexp.__all__)
__version__ = _sexp.__version__
