#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "parse/tokenizer.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// The method definition of the module-level `parse` function.
extern PyMethodDef parse_def;

// The bytes of a source that `parse` accepts: viewed in place (the UTF-8 form of a str, the
// contents of bytes) or copied (a bytearray, a sequence of byte values).
struct SourceBytes {
    std::string_view text;
    std::string copy;       // holds `text` when the source was copied
    bool validated = false; // known to be UTF-8
};

// Reads `source` as `parse` does. False with TypeError "expected str, bytes, or bytearray" set
// (whatever error made the source unusable is discarded), or with MemoryError. A view in
// place lasts as long as the source object.
bool source_bytes(PyObject* source, SourceBytes& out);

// The str a tree that keeps its layout was read from, when it was read from one (borrowed);
// null otherwise.
PyObject* source_str(const Tree& tree) noexcept;

// A yes-or-no argument by its truth (null: no). False with the error of its truth test set.
bool flag_of(PyObject* value, bool& out) noexcept;

// What keeps the bytes source_bytes read from `object` alive and unchanged for a tree that
// keeps its layout: the object itself, or the copy, moved out of `source`. Its text() is where
// the bytes are from then on. Let it go only with the interpreter's thread attached.
std::shared_ptr<const TextHold> hold_source(PyObject* object, SourceBytes& source);

// Parses what source_bytes read from `object`, keeping the layout when asked: a new tree's
// root handle, or nullptr with an exception set. May move `source`'s copy into the tree.
PyObject* parse_source(PyObject* object, SourceBytes& source, Syntax syntax, bool keep_layout);

// The name `syntax=` gives `syntax`.
const char* syntax_name(Syntax syntax) noexcept;

// The syntax a `syntax=` argument names (null: plain). False with TypeError or ValueError set.
bool syntax_of(const char* fname, PyObject* value, Syntax& out) noexcept;

} // namespace sexp::py
