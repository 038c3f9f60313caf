from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, ClassVar, Literal, Self, SupportsIndex, TypeAlias, final, overload

from io import TextIOBase
from os import PathLike

from _typeshed import SupportsRead, SupportsWrite
from typing_extensions import Buffer

__all__ = [
    "SExp", "SExpIter", "ParseError", "parse", "iterparse", "dumps", "dump", "load", "loads",
    "quote", "unquote", "error_position",
]
__version__: str

_Syntax: TypeAlias = Literal["plain", "kicad", "smtlib", "wasm", "lisp"]

# A subtree as plain data, as tolist() gives it: an atom's str, a list of the children's data.
_Data: TypeAlias = str | list[_Data]
# What extend() takes for one child: tuples also stand for lists.
_Item: TypeAlias = str | list[_Item] | tuple[_Item, ...]

@final
class SExp:
    """A handle on one node of a tree that lives in native memory.

    Every handle of one tree (from one `parse`, one `SExp()`, one `clone` or `extract`) sees
    every change at once. Removing any node (`remove`, `extract`) makes every handle of the
    tree made before it stale, except handles on the root; a stale handle raises
    `RuntimeError` "stale node reference" when used.
    """

    def __new__(cls) -> Self:
        """Make a new tree holding one empty list, and return the handle on it."""
    @property
    def head(self) -> SExp:
        """The first child. Raises `IndexError` "expression is empty" when there is none."""
    @property
    def tail(self) -> SExpIter:
        """An iterator over the children after the first."""
    @property
    def is_atom(self) -> bool:
        """Whether this node is an atom (else a list)."""
    @property
    def value(self) -> str:
        """An atom's text. Raises `TypeError` on a list."""
    @value.setter
    def value(self, value: str) -> None:
        """Set an atom's text, written back byte for byte. Raises `TypeError` on a list; in a
        tree read with `keep_layout=True`, `ValueError` for text that would not read back as
        this one atom in its syntax (`quote` makes it fit)."""
    @property
    def parent(self) -> SExp | None:
        """The parent node, or `None` for the root and for detached nodes."""
    def new_atom(self, value: str) -> SExp:
        """Make a detached atom with text `value` in this tree; attach it with `append`."""
    def new_list(self) -> SExp:
        """Make a detached empty list in this tree; attach it with `append`."""
    def append(self, child: SExp) -> None:
        """Attach `child` (of this tree) as the last child, moving it if it is attached."""
    def prepend(self, child: SExp) -> None:
        """Attach `child` (of this tree) as the first child, moving it if it is attached."""
    def insert_after(self, after: SExp | None, child: SExp) -> None:
        """Attach `child` right after the child `after`; with `after` None, first."""
    def remove(self) -> None:
        """Delete this node and its subtree; every older handle of the tree goes stale."""
    def remove_all(self, nodes: Iterable[SExp]) -> None:
        """Delete every node of `nodes` (handles of this tree) with its subtree, in one step,
        all checked first; every older handle of the tree goes stale."""
    def clone(self) -> SExp:
        """Copy this subtree into a new, independent tree; returns the copy's root."""
    def extract(self) -> SExp:
        """Remove this subtree and return it as a new tree, as `clone` then `remove`."""
    def iter(self, head: str | None = None) -> Iterator[SExp]:
        """This node and every node below it, each before its children (an atom's included);
        with `head`, only the lists whose first child is the atom `head`."""
    def find(self, *path: str | None) -> SExp | None:
        """The first node `findall(*path)` gives, or `None`."""
    def findall(self, *path: str | None) -> list[SExp]:
        """Every node the path leads to, one level down per step: a `str` picks the child
        lists it heads, `None` every child list."""
    def tolist(self) -> _Data:
        """This subtree as plain data: an atom as its `str`, a list as a `list`."""
    def extend(self, items: Iterable[_Item]) -> None:
        """Append one new child per item (a `str` an atom, a `list` or `tuple` a list, an
        `SExp` a copy of its subtree with its layout), all or nothing."""
    def __copy__(self) -> SExp:
        """A new handle on the same node."""
    def __deepcopy__(self, memo: dict[int, Any], /) -> SExp:
        """A copy of this subtree in a new tree, as `clone`."""
    def __reduce__(self) -> tuple[Callable[[bytes], SExp], tuple[bytes]]:
        """Pickle this subtree; it unpickles as a new, independent tree."""
    def __len__(self) -> int:
        """The number of children (0 for an atom)."""
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> SExp:
        """A child by position, counted from the end when negative."""
    @overload
    def __getitem__(self, key: str, /) -> SExp:
        """The first child that is the atom `key`, or a list whose first child is."""
    @overload
    def __getitem__(self, key: slice, /) -> list[SExp]:
        """The children in the slice, as a list of handles."""
    def __contains__(self, key: object, /) -> bool:
        """With a `str`: whether a child atom has that text (list heads do not count). With
        a handle: whether that very node is a child."""
    def __iter__(self) -> SExpIter:
        """An iterator over the children; it goes stale with the tree's next removal."""
    def __eq__(self, value: object, /) -> bool:
        """Structural equality: the same shape and atom bytes, in any two trees."""
    def __ne__(self, value: object, /) -> bool:
        """The opposite of `==`."""
    # Handles compare by structure, so they are unhashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __repr__(self) -> str:
        """The subtree's text on one line, children separated by one space."""

@final
class SExpIter:
    """An iterator over the children of a node, one handle per step."""

    def __iter__(self) -> Self:
        """The iterator itself."""
    def __next__(self) -> SExp:
        """The next child; raises `RuntimeError` once the tree has had a removal."""

class ParseError(ValueError):
    """Raised when an S-expression string cannot be parsed."""

def parse(
    source: str | bytes | bytearray | Sequence[int],
    *,
    syntax: _Syntax = "plain",
    keep_layout: bool = False,
) -> SExp:
    """Parse one form (or none) into a new tree and return its root; with `keep_layout`,
    the tree keeps its text, which `dumps` then writes back with only the edits changed."""

def iterparse(
    source: str | bytes | bytearray | Sequence[int] | SupportsRead[Buffer],
    *,
    syntax: _Syntax = "plain",
    chunk_size: int = 1048576,
    keep_layout: bool = False,
) -> Iterator[SExp]:
    """The top-level forms of a text or binary file, each parsed into a tree of its own
    (with `keep_layout`, keeping its text: the text since the form before, and for the last
    form the text after it)."""

def dumps(node: SExp | _Item, *, indent: int | str | None = None) -> str:
    """The text of a subtree, or of the tree plain data stands for: a tree's own text as read
    with `keep_layout`, else one line; laid out anew with `indent`."""

def dump(
    node: SExp,
    file: str | PathLike[str] | SupportsWrite[bytes] | TextIOBase,
    *,
    indent: int | str | None = None,
) -> None:
    """Write `dumps(node, indent=indent)` a piece at a time: to a path whole or not at all, as
    `str` to a text file, UTF-8 encoded to a binary file."""

def load(
    file: str | PathLike[str] | SupportsRead[bytes],
    *,
    syntax: _Syntax = "plain",
    keep_layout: bool = False,
) -> SExp:
    """Parse a whole file, from a path or a binary file object, as `parse` parses a text."""

def loads(source: str | bytes | bytearray | Sequence[int], *, syntax: _Syntax = "plain") -> _Data:
    """What `parse(source, syntax=syntax).tolist()` gives, without making a tree."""

def quote(text: str, *, syntax: _Syntax) -> str:
    """`text` as one quoted string that reads back as one atom standing for it in `syntax`."""

def unquote(atom_text: str, *, syntax: _Syntax) -> str:
    """What an atom stands for in `syntax`: a quoted string's text, escapes read; a bare atom
    itself."""

def error_position(
    source: str | bytes | bytearray | Sequence[int], *, syntax: _Syntax = "plain"
) -> tuple[int, int, int] | None:
    """`None` when `parse` succeeds, else the error's (byte offset, line, column), line and
    column counted from 1."""
