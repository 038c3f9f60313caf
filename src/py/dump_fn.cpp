#include "py/dump_fn.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "core/render.hpp"
#include "py/loads.hpp"
#include "py/sexp.hpp"

namespace sexp::py {

namespace {

// Bytes handed to the file's write() at a time.
constexpr std::size_t DUMP_PIECE = std::size_t{1} << 17;

// The layout an `indent=` argument asks for; `unit` holds the text of one level. False with
// an exception set.
bool layout_of(const char* fname, PyObject* indent, Layout& layout, std::string& unit) {
    if (indent == nullptr || indent == Py_None)
        return true;
    if (PyLong_Check(indent)) {
        Py_ssize_t n = PyLong_AsSsize_t(indent);
        if (n == -1 && PyErr_Occurred())
            return false;
        if (n < 0) {
            PyErr_SetString(PyExc_ValueError, "indent must not be negative");
            return false;
        }
        unit.assign(static_cast<std::size_t>(n), ' ');
    } else if (PyUnicode_Check(indent)) {
        Py_ssize_t n = PyUnicode_GetLength(indent);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_ReadChar(indent, i);
            if (c != ' ' && c != '\t') {
                PyErr_SetString(PyExc_ValueError, "indent must hold only spaces and tabs");
                return false;
            }
            unit.push_back(static_cast<char>(c));
        }
    } else {
        bad_argument(fname, "indent", "None, int or str", indent);
        return false;
    }
    layout = Layout{true, unit};
    return true;
}

// Binds (node[, file], *, indent) and converts node (an SExp, or with `data` also plain data)
// and indent. False with an exception set.
bool bind_dump(const char* fname, const char* const* names, Py_ssize_t count, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** bound, Layout& layout,
               std::string& unit, bool data = false) {
    if (!bind_args(fname, names, count, args, nargs, kwnames, bound, count - 1, count - 1))
        return false;
    if (!is_sexp(bound[0]) && !(data && is_data(bound[0]))) {
        bad_argument(fname, "node", "SExp", bound[0]);
        return false;
    }
    return layout_of(fname, bound[count - 1], layout, unit);
}

const char* const DUMPS_PARAMS[] = {"node", "indent"};
const char* const DUMP_PARAMS[] = {"node", "file", "indent"};

PyObject* dumps_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[2] = {nullptr, nullptr};
        Layout layout;
        std::string unit;
        if (!bind_dump("dumps", DUMPS_PARAMS, 2, args, nargs, kwnames, bound, layout, unit, true))
            return nullptr;
        if (!is_sexp(bound[0]))
            return data_text("dumps", bound[0], layout);
        return node_text(bound[0], layout);
    });
}

// Passes what the walk wrote to write() as bytes; the tree is not locked meanwhile.
bool flush(RenderBuffer& buf, PyObject* write) {
    std::string_view text = buf.view();
    if (text.empty())
        return true;
    PyObject* piece = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    buf.clear();
    if (piece == nullptr)
        return false;
    PyObject* r = PyObject_CallOneArg(write, piece);
    Py_DECREF(piece);
    Py_XDECREF(r);
    return r != nullptr;
}

PyObject* dump_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[3] = {nullptr, nullptr, nullptr};
        Layout layout;
        std::string unit;
        if (!bind_dump("dump", DUMP_PARAMS, 3, args, nargs, kwnames, bound, layout, unit))
            return nullptr;
        SExpObject* h = as_sexp(bound[0]);
        Ref write(PyObject_GetAttrString(bound[1], "write"));
        if (!write)
            return nullptr;
        RenderBuffer buf;
        std::uint64_t generation;
        std::optional<TextWalk> walk;
        {
            TreeLock lock(h->tree);
            if (!check_live(h))
                return nullptr;
            generation = h->tree->tree.generation;
            walk.emplace(h->tree->tree, h->id, layout);
        }
        // write() is the caller's code and may edit the tree between pieces: a removal may
        // have freed the node the walk goes on from, so it ends the dump; other edits are
        // safe to walk over.
        for (bool done = false; !done;) {
            {
                TreeLock lock(h->tree);
                if (h->tree->tree.generation != generation)
                    return stale_error();
                done = walk->write(h->tree->tree, buf, DUMP_PIECE);
            }
            if (!flush(buf, write.get()))
                return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyDoc_STRVAR(dumps_doc,
             "dumps(node, *, indent=None)\n--\n\n"
             "Return the text of ``node``'s subtree.\n\n"
             "With ``indent=None`` this is ``str(node)``: one line, children separated by one\n"
             "space. With an ``int`` (that many spaces per level) or a ``str`` of spaces and tabs\n"
             "(that string per level; KiCad writes ``\"\\t\"``), a list that holds no list stays on\n"
             "one line, and a list that holds one is written as its opening parenthesis and\n"
             "leading atoms, then each child from its first list child on, on a line of its own\n"
             "one level deeper; its closing parenthesis follows its last child. There is no\n"
             "trailing newline. The text reads back with `parse` wherever ``str(node)`` does.\n"
             "Atoms are written byte for byte; comments read by `parse` are not in the tree.\n\n"
             "Raises:\n"
             "    RuntimeError: If ``node`` is stale.\n"
             "    TypeError: If ``node`` is not an ``SExp`` or ``indent`` of another type.\n"
             "    ValueError: If ``indent`` is negative or holds other characters.");

PyDoc_STRVAR(dump_doc,
             "dump(node, file, *, indent=None)\n--\n\n"
             "Write the text ``dumps(node, indent=indent)`` gives, UTF-8 encoded, to a binary\n"
             "file object's ``write``, a piece at a time, without holding the whole text.\n\n"
             "``write`` may edit the tree; if it removes a node meanwhile, the dump stops with\n"
             "``RuntimeError``, and other edits may or may not show in what is written.\n\n"
             "Raises:\n"
             "    RuntimeError: If ``node`` is stale, or a node is removed while writing.\n"
             "    TypeError: If ``node`` is not an ``SExp`` or ``indent`` of another type.\n"
             "    ValueError: If ``indent`` is negative or holds other characters.");

} // namespace

PyMethodDef dumps_def = {
    "dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dumps_fn)),
    METH_FASTCALL | METH_KEYWORDS, dumps_doc};

PyMethodDef dump_def = {
    "dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dump_fn)),
    METH_FASTCALL | METH_KEYWORDS, dump_doc};

} // namespace sexp::py
