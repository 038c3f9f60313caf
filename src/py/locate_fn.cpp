#include "py/locate_fn.hpp"

#include <optional>

#include "parse/locate.hpp"
#include "py/parse_fn.hpp"

namespace sexp::py {

namespace {

const char* const ERROR_POSITION_PARAMS[] = {"source", "syntax"};

PyObject* error_position_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_args("error_position", ERROR_POSITION_PARAMS, 2, args, nargs, kwnames, bound, 1,
                       1))
            return nullptr;
        Syntax syntax;
        if (!syntax_of("error_position", bound[1], syntax))
            return nullptr;
        SourceBytes source;
        if (!source_bytes(bound[0], source))
            return nullptr;
        std::string_view text = source.text;
        if (text.size() > MAX_PARSE_INPUT) {
            PyErr_SetString(PyExc_OverflowError, TOO_LARGE_MESSAGE);
            return nullptr;
        }
        std::optional<ErrorSite> site;
        LineColumn at{};
        {
            // As in parse: the bytes are immutable or a private copy.
            LockReleased unlocked(text.size() >= RELEASE_LOCK_FROM);
            site = locate_error(text, syntax, source.validated);
            if (site)
                at = line_column(text, site->offset);
        }
        if (!site)
            Py_RETURN_NONE;
        return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(site->offset),
                             static_cast<Py_ssize_t>(at.line), static_cast<Py_ssize_t>(at.column));
    });
}

PyDoc_STRVAR(
    error_position_doc,
    "error_position(source, *, syntax='plain')\n--\n\n"
    "Where `parse` fails on ``source``: ``None`` when ``parse(source, syntax=syntax)`` succeeds,\n"
    "else ``(offset, line, column)`` of the error it raises.\n\n"
    "The place is where a reader notices the error: the stray ``)``, the first byte that is not\n"
    "UTF-8, the opening quote of an unterminated string, the start of an unterminated comment,\n"
    "the innermost ``(`` still open, or the first byte of the second top-level form.\n"
    "``offset`` counts bytes from 0 (of a ``str``'s UTF-8 form); ``line`` and ``column`` count\n"
    "from 1, lines by line feeds and columns in characters. ``source`` and ``syntax`` are as for\n"
    "`parse`.\n\n"
    "Raises:\n"
    "    TypeError: If the argument is not ``str``, ``bytes``, or ``bytearray``.\n"
    "    ValueError: If ``syntax`` names no syntax.");

} // namespace

PyMethodDef error_position_def = {
    "error_position",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(error_position_fn)),
    METH_FASTCALL | METH_KEYWORDS, error_position_doc};

} // namespace sexp::py
