#include "py/dump_fn.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "core/kept_writer.hpp"
#include "core/render.hpp"
#include "py/error.hpp"
#include "py/loads.hpp"
#include "py/parse_fn.hpp"
#include "py/str_output.hpp"

namespace sexp::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Writing into a str

// ---------------------------------------------------------------------------------------------
// Writing to a file, a piece at a time

// Bytes handed to the file's write() at a time.
constexpr std::size_t DUMP_PIECE = std::size_t{1} << 17;

// Where dump's pieces go: a file's write(), as bytes, or as str for a text file. A piece of
// text must end between characters: the start of a sequence cut off at a piece's end waits
// for the next one.
class Pieces {
  public:
    Pieces(PyObject* write, bool text) noexcept : write_(write), text_(text) {}

    // Passes what `buf` holds on, and empties it. False with an exception set.
    bool flush(RenderBuffer& buf) {
        std::string_view bytes = buf.view();
        if (!text_) {
            if (bytes.empty())
                return true;
            Ref piece(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
            buf.clear();
            return piece && call(piece.get());
        }
        carry_.append(bytes);
        buf.clear();
        std::size_t whole = whole_chars(carry_);
        if (whole == 0)
            return true;
        Ref piece(PyUnicode_DecodeUTF8(carry_.data(), static_cast<Py_ssize_t>(whole), nullptr));
        carry_.erase(0, whole);
        return piece && call(piece.get());
    }

  private:
    bool call(PyObject* piece) {
        Ref r(PyObject_CallOneArg(write_, piece));
        return !!r;
    }
    // The length of the longest start of `s` that ends between two characters.
    static std::size_t whole_chars(std::string_view s) noexcept {
        std::size_t n = s.size();
        for (std::size_t back = 1; back <= std::min<std::size_t>(3, n); ++back) {
            auto c = static_cast<unsigned char>(s[n - back]);
            if ((c & 0xC0) == 0x80)
                continue; // a continuation byte: look further back for its lead
            std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            return len > back ? n - back : n;
        }
        return n;
    }

    PyObject* write_;
    bool text_;
    std::string carry_;
};

// Writes the text of `h`'s subtree to `pieces`. The file's write() is the caller's code and may
// edit the tree between pieces: a removal may have freed the node the walk goes on from, so it
// ends the dump; other edits are safe to walk over.
PyObject* write_pieces(SExpObject* h, Layout layout, Pieces& pieces) {
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
    for (bool done = false; !done;) {
        {
            TreeLock lock(h->tree);
            if (h->tree->tree.generation != generation)
                return stale_error();
            done = walk->write(h->tree->tree, buf, DUMP_PIECE);
        }
        if (!pieces.flush(buf))
            return nullptr;
    }
    Py_RETURN_NONE;
}

// Calls `module`.`name`(args...), a new reference or nullptr.
template <typename... Args>
PyObject* call_in(const char* module, const char* name, Args... args) {
    Ref fn(PyImport_ImportModuleAttrString(module, name));
    if (!fn)
        return nullptr;
    PyObject* argv[] = {args...};
    return PyObject_Vectorcall(fn.get(), argv, sizeof...(Args), nullptr);
}

// The text of `h` written to the file at `path` (a str or bytes path) as a whole or not at all:
// into a new file beside it, which then takes its place, with the old file's permissions.
PyObject* write_path(SExpObject* h, Layout layout, PyObject* path) {
    Ref name;
    Ref file;
    for (int attempt = 0; !file; ++attempt) {
        // Made anew ("x"), so the system gives it the permissions a new file gets; a name taken
        // (another writer's, or one left behind) is passed over.
        Ref suffix(PyUnicode_FromFormat(".%d.tmp", attempt));
        if (suffix && PyBytes_Check(path))
            suffix = Ref(PyUnicode_EncodeFSDefault(suffix.get()));
        name = Ref(suffix ? PyNumber_Add(path, suffix.get()) : nullptr);
        Ref mode(PyUnicode_FromString("xb"));
        if (!name || !mode)
            return nullptr;
        file = Ref(call_in("io", "open", name.get(), mode.get()));
        if (!file && (attempt >= 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)))
            return nullptr;
        if (!file)
            PyErr_Clear();
    }
    // A failure leaves the old file as it was and takes the new one away.
    auto fail = [&]() -> PyObject* {
        PyObject* raised = PyErr_GetRaisedException();
        Ref gone(call_in("os", "unlink", name.get()));
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return nullptr;
    };
    Ref write(PyObject_GetAttrString(file.get(), "write"));
    Pieces pieces(write.get(), false);
    Ref done(write ? write_pieces(h, layout, pieces) : nullptr);
    if (!done) {
        PyObject* raised = PyErr_GetRaisedException();
        Ref closed(PyObject_CallMethod(file.get(), "close", nullptr));
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return fail();
    }
    Ref closed(PyObject_CallMethod(file.get(), "close", nullptr));
    if (!closed)
        return fail();
    Ref old(call_in("os", "stat", path));
    if (old) {
        Ref bits(PyObject_GetAttrString(old.get(), "st_mode"));
        Ref mask(PyLong_FromLong(07777));
        Ref perm(bits && mask ? PyNumber_And(bits.get(), mask.get()) : nullptr);
        Ref set(perm ? call_in("os", "chmod", name.get(), perm.get()) : nullptr);
        if (!set)
            return fail();
    } else if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
    } else {
        return fail();
    }
    Ref replaced(call_in("os", "replace", name.get(), path));
    if (!replaced)
        return fail();
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Arguments

// The layout an `indent=` argument asks for; `unit` holds the text of one level. Without an
// indent, a tree that keeps its layout is written as it has it. False with an exception set.
bool layout_of(const char* fname, PyObject* indent, Layout& layout, std::string& unit) {
    if (indent == nullptr || indent == Py_None) {
        layout.kept = true;
        return true;
    }
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

// Whether `file` names a path rather than being a file object.
bool is_path(PyObject* file) noexcept {
    return PyUnicode_Check(file) || PyBytes_Check(file) ||
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(file)), "__fspath__");
}

const char* const DUMPS_PARAMS[] = {"node", "indent"};
const char* const DUMP_PARAMS[] = {"node", "file", "indent"};
const char* const LOAD_PARAMS[] = {"file", "syntax", "keep_layout"};

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

PyObject* dump_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[3] = {nullptr, nullptr, nullptr};
        Layout layout;
        std::string unit;
        if (!bind_dump("dump", DUMP_PARAMS, 3, args, nargs, kwnames, bound, layout, unit))
            return nullptr;
        SExpObject* h = as_sexp(bound[0]);
        PyObject* file = bound[1];
        if (is_path(file)) {
            Ref path(PyOS_FSPath(file));
            if (!path)
                return nullptr;
            {
                TreeLock lock(h->tree); // no file is made for a stale node
                if (!check_live(h))
                    return nullptr;
            }
            return write_path(h, layout, path.get());
        }
        Ref text_base(PyImport_ImportModuleAttrString("io", "TextIOBase"));
        if (!text_base)
            return nullptr;
        int text = PyObject_IsInstance(file, text_base.get());
        if (text < 0)
            return nullptr;
        Ref write(PyObject_GetAttrString(file, "write"));
        if (!write)
            return nullptr;
        Pieces pieces(write.get(), text != 0);
        return write_pieces(h, layout, pieces);
    });
}

// Reads a whole file, from a path or a file object's read(). Null with an exception set.
PyObject* read_whole(PyObject* file) {
    if (is_path(file)) {
        Ref mode(PyUnicode_FromString("rb"));
        Ref f(mode ? call_in("io", "open", file, mode.get()) : nullptr);
        if (!f)
            return nullptr;
        Ref data(PyObject_CallMethod(f.get(), "read", nullptr));
        PyObject* raised = data ? nullptr : PyErr_GetRaisedException();
        Ref closed(PyObject_CallMethod(f.get(), "close", nullptr));
        if (raised != nullptr) {
            PyErr_Clear();
            PyErr_SetRaisedException(raised);
            return nullptr;
        }
        return closed ? data.release() : nullptr;
    }
    PyObject* found;
    if (PyObject_GetOptionalAttrString(file, "read", &found) < 0)
        return nullptr;
    Ref read(found);
    if (!read) {
        bad_argument("load", "file", "a path or a binary file object", file);
        return nullptr;
    }
    return PyObject_CallNoArgs(read.get());
}

PyObject* load_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[3] = {nullptr, nullptr, nullptr};
        if (!bind_args("load", LOAD_PARAMS, 3, args, nargs, kwnames, bound, 1, 1))
            return nullptr;
        Syntax syntax;
        bool keep;
        if (!syntax_of("load", bound[1], syntax) || !flag_of(bound[2], keep))
            return nullptr;
        Ref data(read_whole(bound[0]));
        if (!data)
            return nullptr;
        SourceBytes source;
        if (!PyUnicode_Check(data.get()) && !PyBytes_Check(data.get()) &&
            !PyByteArray_Check(data.get())) {
            PyErr_Format(PyExc_TypeError, "read() must return bytes, not %.100s",
                         Py_TYPE(data.get())->tp_name);
            return nullptr;
        }
        if (!source_bytes(data.get(), source))
            return nullptr;
        return parse_source(data.get(), source, syntax, keep);
    });
}

PyDoc_STRVAR(dumps_doc,
             "dumps(node, *, indent=None)\n--\n\n"
             "Return the text of ``node``'s subtree.\n\n"
             "With ``indent=None`` this is ``str(node)``: one line, children separated by one\n"
             "space; for a tree read with ``keep_layout=True``, the text it was read from instead,\n"
             "as it was (the root's with the text before and after its form), edits written in\n"
             "place and new nodes laid out as their neighbours are. With an ``int`` (that many\n"
             "spaces per level) or a ``str`` of spaces and tabs (that string per level), a list\n"
             "that holds no list stays on one line, and a list that holds one is written as its\n"
             "opening parenthesis and leading atoms, then each child from its first list child\n"
             "on, on a line of its own one level deeper; its closing parenthesis follows its last\n"
             "child. There is no trailing newline. The text reads back with `parse` wherever\n"
             "``str(node)`` does. Atoms are written byte for byte.\n\n"
             "Raises:\n"
             "    RuntimeError: If ``node`` is stale.\n"
             "    TypeError: If ``node`` is not an ``SExp`` or ``indent`` of another type.\n"
             "    ValueError: If ``indent`` is negative or holds other characters.");

PyDoc_STRVAR(dump_doc,
             "dump(node, file, *, indent=None)\n--\n\n"
             "Write the text ``dumps(node, indent=indent)`` gives to ``file``, a piece at a time,\n"
             "without holding the whole text: to a path (a ``str`` or ``os.PathLike``), whole or\n"
             "not at all (into a new file beside it that then takes its place, keeping its\n"
             "permissions); as ``str`` to a text file (an ``io.TextIOBase``); UTF-8 encoded to any\n"
             "other object's ``write``.\n\n"
             "``write`` may edit the tree; if it removes a node meanwhile, the dump stops with\n"
             "``RuntimeError``, and other edits may or may not show in what is written.\n\n"
             "Raises:\n"
             "    RuntimeError: If ``node`` is stale, or a node is removed while writing.\n"
             "    TypeError: If ``node`` is not an ``SExp`` or ``indent`` of another type.\n"
             "    ValueError: If ``indent`` is negative or holds other characters.\n"
             "    OSError: If the file cannot be written.");

PyDoc_STRVAR(load_doc,
             "load(file, *, syntax='plain', keep_layout=False)\n--\n\n"
             "Parse a whole file into one tree, as `parse` parses a text: ``file`` is a path (a\n"
             "``str`` or ``os.PathLike``) or a binary file object, read to its end.\n\n"
             "Raises:\n"
             "    ParseError: If the text is malformed.\n"
             "    TypeError: If ``file`` is neither, or its ``read`` returns no bytes.\n"
             "    ValueError: If ``syntax`` names no syntax.\n"
             "    OSError: If the file cannot be read.");

} // namespace

PyObject* node_text(PyObject* self, Layout layout) noexcept {
    return with_live(self, nullptr, [&](SExpObject* h, const Tree& t) -> PyObject* {
        // An unedited tree is its text: the str it was read from, or its bytes decoded.
        if (layout.kept && h->id == t.root && t.layout && writes_source(t)) {
            if (PyObject* text = source_str(t))
                return Py_NewRef(text);
            std::string_view text = t.layout->source->text();
            return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        }
        // A whole tree takes about 8 bytes a node; a subtree starts small and grows.
        std::size_t estimate = 8 * t.slab.live_count() + 16;
        if (t.layout && layout.kept)
            estimate = t.layout->source_size() + t.layout->extra.size() + 16;
        StrOutput out(h->id == t.root ? estimate : std::min<std::size_t>(estimate, 256));
        TextWalk(t, h->id, layout).write(t, out);
        return out.finish();
    });
}

PyMethodDef dumps_def = {
    "dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dumps_fn)),
    METH_FASTCALL | METH_KEYWORDS, dumps_doc};

PyMethodDef dump_def = {
    "dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dump_fn)),
    METH_FASTCALL | METH_KEYWORDS, dump_doc};

PyMethodDef load_def = {
    "load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(load_fn)),
    METH_FASTCALL | METH_KEYWORDS, load_doc};

} // namespace sexp::py
