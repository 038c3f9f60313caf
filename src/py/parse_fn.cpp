#include "py/parse_fn.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "parse/parser.hpp"
#include "parse/tokenizer.hpp"
#include "py/error.hpp"

namespace sexp::py {

namespace {

PyObject* type_error() noexcept {
    PyErr_SetString(PyExc_TypeError, SOURCE_TYPE_MESSAGE);
    return nullptr;
}

// Collects a sequence of byte values into `out`. False (with any error cleared) when
// iteration fails or an item is not an integer in 0..255.
bool collect_bytes(PyObject* source, std::string& out) {
    // The reported length only sizes the buffer; it is the caller's claim, so it is capped
    // and the buffer grows as items arrive.
    constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{1} << 24;
    Py_ssize_t n = PyObject_Size(source);
    if (n < 0)
        PyErr_Clear();
    else
        out.reserve(static_cast<std::size_t>(std::min(n, MAX_RESERVE)));
    PyObject* iter = PyObject_GetIter(source);
    if (iter == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool ok = true;
    for (;;) {
        PyObject* item;
        int r = PyIter_NextItem(iter, &item);
        if (r == 0)
            break;
        if (r < 0) {
            ok = false;
            break;
        }
        long v = PyLong_AsLong(item);
        Py_DECREF(item);
        if (v < 0 || v > 255) {
            ok = false;
            break;
        }
        try {
            out.push_back(static_cast<char>(v));
        } catch (...) {
            Py_DECREF(iter);
            throw;
        }
    }
    Py_DECREF(iter);
    if (!ok)
        PyErr_Clear();
    return ok;
}

// A text held by keeping alive the Python object whose bytes it is: the UTF-8 form of a str
// (which the str keeps) or the contents of a bytes object, neither of which can change. It is
// let go with the last tree that holds it, which the interpreter's thread does.
class ObjectText final : public TextHold {
  public:
    ObjectText(PyObject* owner, std::string_view text) noexcept : owner_(Py_NewRef(owner)) {
        text_ = text;
    }
    ~ObjectText() override { Py_DECREF(owner_); }
    ObjectText(const ObjectText&) = delete;
    ObjectText& operator=(const ObjectText&) = delete;
    PyObject* owner() const noexcept { return owner_; }

  private:
    PyObject* owner_;
};

// `text` must not change until this returns: a str's UTF-8 form, a bytes object's contents, or
// a private copy. With `kept`, the text `kept` holds, whose layout the tree keeps.
PyObject* parse_text(std::string_view text, bool validate, Syntax syntax,
                     const std::shared_ptr<const TextHold>& kept) {
    // A kept text's offsets stop short of the largest: that one marks "none".
    if (text.size() > MAX_PARSE_INPUT - (kept ? 1 : 0)) {
        PyErr_SetString(PyExc_OverflowError, TOO_LARGE_MESSAGE);
        return nullptr;
    }
    ParseResult r;
    {
        // `kept` outlives this scope, so no hold is let go without the interpreter lock.
        LockReleased unlocked(text.size() >= RELEASE_LOCK_FROM);
        if (validate && !is_valid_utf8(text.data(), text.size()))
            r.error = ParseErrorKind::InvalidUtf8;
        else
            r = kept ? parse_keeping_layout(kept, syntax) : parse(text, syntax);
    }
    if (!r.tree)
        return raise_parse_error(r.error);
    return wrap_new_tree(std::move(*r.tree));
}

const char* const PARSE_PARAMS[] = {"source", "syntax", "keep_layout"};

PyObject* parse_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_args("parse", PARSE_PARAMS, 3, args, nargs, kwnames, bound, 1, 1))
            return nullptr;
        Syntax syntax;
        bool keep;
        if (!syntax_of("parse", bound[1], syntax) || !flag_of(bound[2], keep))
            return nullptr;
        SourceBytes source;
        if (!source_bytes(bound[0], source))
            return nullptr;
        return parse_source(bound[0], source, syntax, keep);
    });
}

PyDoc_STRVAR(parse_doc,
             "parse(source, *, syntax='plain', keep_layout=False)\n--\n\n"
             "Parse an S-expression from a ``str``, "
             "``bytes``, or ``bytearray``.\n\n"
             "``syntax`` names how the text is read: ``\"plain\"`` (whitespace and parentheses are\n"
             "all the syntax there is), or ``\"kicad\"``, ``\"smtlib\"``, ``\"wasm\"`` or ``\"lisp\"``,\n"
             "which add the quoted strings and comments those formats write. A quoted string is\n"
             "atom text, kept byte for byte with its quotes and escapes; comments are skipped and\n"
             "are not in the tree.\n\n"
             "With ``keep_layout``, the tree also keeps the text it was read from and where each\n"
             "node lies in it: `dumps` and `dump` then write it back exactly as it was, comments\n"
             "and all, and after edits change only what was edited.\n\n"
             "Raises:\n    ParseError: If the input is structurally malformed.\n"
             "    TypeError: If the argument is not ``str``, ``bytes``, or ``bytearray``.\n"
             "    ValueError: If ``syntax`` names no syntax.");

} // namespace

bool source_bytes(PyObject* source, SourceBytes& out) {
    if (PyUnicode_Check(source)) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(source, &n);
        if (p == nullptr) {
            // No UTF-8 form (a lone surrogate) makes it no accepted source; running out of
            // memory while making that form stays a MemoryError.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return false;
            PyErr_Clear();
            type_error();
            return false;
        }
        out.text = {p, static_cast<std::size_t>(n)};
        out.validated = true;
        return true;
    }
    if (PyBytes_Check(source)) {
        out.text = {PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source))};
        return true;
    }
    if (PyByteArray_Check(source)) {
        // A private copy: the parse must not see the buffer change under it.
        out.copy.assign(PyByteArray_AS_STRING(source),
                        static_cast<std::size_t>(PyByteArray_GET_SIZE(source)));
    } else if (!PySequence_Check(source) || !collect_bytes(source, out.copy)) {
        type_error();
        return false;
    }
    out.text = out.copy;
    return true;
}

PyObject* source_str(const Tree& tree) noexcept {
    if (!tree.layout)
        return nullptr;
    const auto* held = dynamic_cast<const ObjectText*>(tree.layout->source.get());
    return held != nullptr && PyUnicode_CheckExact(held->owner()) ? held->owner() : nullptr;
}

bool flag_of(PyObject* value, bool& out) noexcept {
    out = false;
    if (value == nullptr)
        return true;
    int truth = PyObject_IsTrue(value);
    out = truth > 0;
    return truth >= 0;
}

std::shared_ptr<const TextHold> hold_source(PyObject* object, SourceBytes& source) {
    // A str's UTF-8 form and a bytes object's contents are kept where they are; a copy moves.
    if (source.copy.empty() && (PyUnicode_Check(object) || PyBytes_Check(object)))
        return std::make_shared<ObjectText>(object, source.text);
    return std::make_shared<OwnedText>(std::move(source.copy));
}

PyObject* parse_source(PyObject* object, SourceBytes& source, Syntax syntax, bool keep_layout) {
    if (!keep_layout)
        return parse_text(source.text, !source.validated, syntax, nullptr);
    std::shared_ptr<const TextHold> kept = hold_source(object, source);
    return parse_text(kept->text(), !source.validated, syntax, kept);
}

namespace {

constexpr std::pair<const char*, Syntax> SYNTAX_NAMES[] = {
    {"plain", Syntax::Plain}, {"kicad", Syntax::Kicad}, {"smtlib", Syntax::Smtlib},
    {"wasm", Syntax::Wasm},   {"lisp", Syntax::Lisp},
};

} // namespace

const char* syntax_name(Syntax syntax) noexcept {
    for (const auto& [name, s] : SYNTAX_NAMES)
        if (s == syntax)
            return name;
    return "plain";
}

bool syntax_of(const char* fname, PyObject* value, Syntax& out) noexcept {
    out = Syntax::Plain;
    if (value == nullptr)
        return true;
    if (!PyUnicode_Check(value)) {
        bad_argument(fname, "syntax", "str", value);
        return false;
    }
    for (const auto& [name, syntax] : SYNTAX_NAMES) {
        if (PyUnicode_EqualToUTF8(value, name)) {
            out = syntax;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown syntax: %R", value);
    return false;
}

PyMethodDef parse_def = {
    "parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse_fn)),
    METH_FASTCALL | METH_KEYWORDS, parse_doc};

} // namespace sexp::py
