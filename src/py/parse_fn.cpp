#include "py/parse_fn.hpp"

#include <algorithm>
#include <string>

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

// From this size on, the interpreter lock is let go while the text is checked and parsed: the
// work then dwarfs handing the lock over, and other threads run meanwhile.
constexpr std::size_t RELEASE_LOCK_FROM = 64 * 1024;

// Lets the interpreter lock go for its lifetime (when asked to), and takes it back on the way
// out, exceptions included. Nothing in its scope may touch a Python object.
class LockReleased {
  public:
    explicit LockReleased(bool release) noexcept
        : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~LockReleased() {
        if (saved_ != nullptr)
            PyEval_RestoreThread(saved_);
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

  private:
    PyThreadState* saved_;
};

// `text` must not change until this returns: a str's UTF-8 form, a bytes object's contents, or
// a private copy.
PyObject* parse_text(std::string_view text, bool validate) {
    if (text.size() > MAX_PARSE_INPUT) {
        PyErr_SetString(PyExc_OverflowError, TOO_LARGE_MESSAGE);
        return nullptr;
    }
    ParseResult r;
    {
        LockReleased unlocked(text.size() >= RELEASE_LOCK_FROM);
        if (validate && !is_valid_utf8(text.data(), text.size()))
            r.error = ParseErrorKind::InvalidUtf8;
        else
            r = parse(text);
    }
    if (!r.tree)
        return raise_parse_error(r.error);
    return wrap_new_tree(std::move(*r.tree));
}

PyObject* parse_source(PyObject* source) {
    if (PyUnicode_Check(source)) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(source, &n);
        if (p == nullptr) {
            // No UTF-8 form (a lone surrogate) makes it no accepted source; running out of
            // memory while making that form stays a MemoryError.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return nullptr;
            PyErr_Clear();
            return type_error();
        }
        return parse_text({p, static_cast<std::size_t>(n)}, false);
    }
    if (PyBytes_Check(source)) {
        return parse_text({PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source))},
                          true);
    }
    if (PyByteArray_Check(source)) {
        // A private copy: the parse must not see the buffer change under it.
        std::string copy(PyByteArray_AS_STRING(source),
                         static_cast<std::size_t>(PyByteArray_GET_SIZE(source)));
        return parse_text(copy, true);
    }
    if (PySequence_Check(source)) {
        std::string bytes;
        if (!collect_bytes(source, bytes))
            return type_error();
        return parse_text(bytes, true);
    }
    return type_error();
}

const char* const PARSE_PARAMS[] = {"source"};

PyObject* parse_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* source;
        if (!bind_args("parse", PARSE_PARAMS, 1, args, nargs, kwnames, &source))
            return nullptr;
        return parse_source(source);
    });
}

PyDoc_STRVAR(parse_doc,
             "parse(source)\n--\n\nParse an S-expression from a ``str``, ``bytes``, or "
             "``bytearray``.\n\nRaises:\n    ParseError: If the input is structurally "
             "malformed.\n    TypeError: If the argument is not ``str``, ``bytes``, or "
             "``bytearray``.");

} // namespace

PyMethodDef parse_def = {
    "parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse_fn)),
    METH_FASTCALL | METH_KEYWORDS, parse_doc};

} // namespace sexp::py
