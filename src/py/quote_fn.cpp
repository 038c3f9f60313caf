#include "py/quote_fn.hpp"

#include <string>
#include <string_view>

#include "parse/quote.hpp"
#include "py/parse_fn.hpp"

namespace sexp::py {

namespace {

const char* const QUOTE_PARAMS[] = {"text", "syntax"};
const char* const UNQUOTE_PARAMS[] = {"atom_text", "syntax"};

// Binds `(text, *, syntax)`, both required, and reads them in the order parse does: the
// syntax, which must have quoting, then the text, whose UTF-8 bytes go to `text`.
bool quote_args(const char* fname, const char* const* names, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject*& text_obj, std::string_view& text,
                Syntax& syntax) {
    PyObject* bound[2];
    if (!bind_args(fname, names, 2, args, nargs, kwnames, bound, 1, 2))
        return false;
    if (!syntax_of(fname, bound[1], syntax))
        return false;
    if (!has_quoting(syntax)) {
        PyErr_SetString(PyExc_ValueError, "the plain syntax has no quoting");
        return false;
    }
    if (!PyUnicode_Check(bound[0])) {
        bad_argument(fname, names[0], "str", bound[0]);
        return false;
    }
    text_obj = bound[0];
    return utf8_of(text_obj, text);
}

PyObject* str_of(const std::string& s) noexcept {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* quote_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj;
        std::string_view text;
        Syntax syntax;
        if (!quote_args("quote", QUOTE_PARAMS, args, nargs, kwnames, obj, text, syntax))
            return nullptr;
        return str_of(quote(text, syntax));
    });
}

PyObject* unquote_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj;
        std::string_view text;
        Syntax syntax;
        if (!quote_args("unquote", UNQUOTE_PARAMS, args, nargs, kwnames, obj, text, syntax))
            return nullptr;
        std::string out;
        switch (Unquoted u = unquote(text, syntax, out)) {
        case Unquoted::Bare:
            return PyUnicode_CheckExact(obj) ? Py_NewRef(obj) : PyUnicode_FromObject(obj);
        case Unquoted::Decoded:
            return str_of(out);
        default:
            PyErr_SetString(PyExc_ValueError, unquote_message(u));
            return nullptr;
        }
    });
}

PyDoc_STRVAR(quote_doc,
             "quote(text, *, syntax)\n--\n\n"
             "``text`` as a quoted string that reads back in ``syntax`` as one atom standing "
             "for it.\n\n"
             "``\"kicad\"``, ``\"wasm\"`` and ``\"lisp\"`` put a backslash before ``\"`` and "
             "``\\``, and write line feed,\ncarriage return and tab as ``\\n``, ``\\r`` and "
             "``\\t`` (``\"wasm\"`` writes other control\ncharacters as ``\\hh``); "
             "``\"smtlib\"`` doubles ``\"``.\n\n"
             "Raises:\n"
             "    ValueError: If ``syntax`` names no syntax, or names ``\"plain\"``, which has "
             "no quoting.");

PyDoc_STRVAR(unquote_doc,
             "unquote(atom_text, *, syntax)\n--\n\n"
             "What the atom ``atom_text`` stands for in ``syntax``.\n\n"
             "A quoted string stands for its text with its escapes read, a ``|...|`` symbol "
             "(``\"smtlib\"``,\n``\"lisp\"``) for the text between the bars, a bare atom for "
             "itself.\n\n"
             "Raises:\n"
             "    ValueError: If ``atom_text`` is not one atom in ``syntax``, mixes a quoted "
             "string with\n"
             "        other text, or holds an escape the syntax does not define; if "
             "``syntax`` names no\n"
             "        syntax, or names ``\"plain\"``, which has no quoting.");

} // namespace

PyMethodDef quote_def = {
    "quote", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(quote_fn)),
    METH_FASTCALL | METH_KEYWORDS, quote_doc};

PyMethodDef unquote_def = {
    "unquote", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(unquote_fn)),
    METH_FASTCALL | METH_KEYWORDS, unquote_doc};

} // namespace sexp::py
