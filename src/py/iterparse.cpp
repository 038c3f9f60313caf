#include "py/iterparse.hpp"

#include <atomic>
#include <memory>
#include <new>

#include "parse/parser.hpp"
#include "py/error.hpp"
#include "py/parse_fn.hpp"

namespace sexp::py {

namespace {

// What an iterator reads from: a text in memory, or a file's chunks.
struct FormSource {
    FormSource(Syntax syntax, bool keep_layout) noexcept : reader(syntax, keep_layout) {}
    FormReader reader;
    SourceBytes bytes; // an in-memory source
};

// The iterator `iterparse` returns. `state` is null once it is exhausted or has raised.
struct FormIterObject {
    PyObject_HEAD
    FormSource* state;
    PyObject* source;     // keeps an in-place text alive; the file object
    PyObject* read;       // the file's read method; null for a text in memory
    PyObject* chunk_size; // the int passed to read()
    bool sized;           // the file's size was asked for, or found not worth asking
    // Set while next() runs: a second caller (another thread, or the file's own read())
    // is refused rather than let in.
    std::atomic<bool> busy;
};

FormIterObject* formiter_of(PyObject* o) noexcept { return reinterpret_cast<FormIterObject*>(o); }

const char* const SOURCE_OR_FILE_MESSAGE =
    "expected str, bytes, bytearray, or a binary file object";

void finish(FormIterObject* it) noexcept {
    delete it->state;
    it->state = nullptr;
    Py_CLEAR(it->read);
    Py_CLEAR(it->source);
}

// The bytes left to read in a file that has a size (a regular file, found as FileIO.readall
// finds it: its size less its position), else 0. Runs the file's fileno() and tell(); an
// Exception they raise only means the size is unknown, but an interrupt stays raised.
std::size_t bytes_left(PyObject* file) noexcept {
    std::size_t left = 0;
    {
        Ref os(PyImport_ImportModule("os"));
        Ref fd(os ? PyObject_CallMethod(file, "fileno", nullptr) : nullptr);
        Ref st(fd ? PyObject_CallMethod(os.get(), "fstat", "O", fd.get()) : nullptr);
        Ref size(st ? PyObject_GetAttrString(st.get(), "st_size") : nullptr);
        Ref at(size ? PyObject_CallMethod(file, "tell", nullptr) : nullptr);
        if (at && PyLong_Check(size.get()) && PyLong_Check(at.get())) {
            long long n = PyLong_AsLongLong(size.get()), done = PyLong_AsLongLong(at.get());
            if (n > done && done >= 0)
                left = static_cast<std::size_t>(n - done);
        }
    }
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Clear();
    return left;
}

// Handing the interpreter lock over costs about what reading a few hundred bytes does: worth
// it for a large form, judged by the size of the one before (the first is presumed large).
bool worth_releasing(const FormReader& reader) noexcept {
    constexpr std::size_t SMALL_FORM = 4096;
    return reader.unread() >= RELEASE_LOCK_FROM &&
           (reader.form_end() == 0 || reader.form_end() - reader.form_begin() >= SMALL_FORM);
}

// A buffer view of an object, released when it goes.
class BufferView {
  public:
    BufferView() noexcept = default;
    ~BufferView() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    // False with an exception set when `o` has no simple buffer.
    bool get(PyObject* o) noexcept {
        held_ = PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// Feeds the reader the file's next chunk. False with an exception set.
bool read_chunk(FormIterObject* it) {
    Ref data(PyObject_CallOneArg(it->read, it->chunk_size));
    if (!data)
        return false;
    BufferView view;
    if (!view.get(data.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "read() must return a bytes-like object, not %.100s",
                     Py_TYPE(data.get())->tp_name);
        return false;
    }
    if (view.size() == 0)
        it->state->reader.finish();
    else
        it->state->reader.append(view.data(), view.size());
    if (!it->sized) {
        // A file that fills its first chunk may be large: its size lets a big first form get
        // its room at once. A small one is not worth asking.
        it->sized = true;
        Py_ssize_t chunk = PyLong_AsSsize_t(it->chunk_size);
        if (chunk == -1)
            PyErr_Clear(); // larger than any read
        else if (static_cast<std::size_t>(chunk) <= view.size())
            it->state->reader.expect(view.size() + bytes_left(it->source));
        if (PyErr_Occurred())
            return false;
    }
    return true;
}

PyObject* formiter_next(PyObject* self) noexcept {
    FormIterObject* it = formiter_of(self);
    if (it->busy.exchange(true, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "iterparse iterator is already running");
        return nullptr;
    }
    PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        while (it->state != nullptr) {
            FormReader& reader = it->state->reader;
            FormReader::Status status;
            {
                // The bytes at hand are the reader's own copy or an immutable text the
                // iterator keeps alive, so other threads may run while a large run is read.
                LockReleased unlocked(worth_releasing(reader));
                status = reader.next();
            }
            switch (status) {
            case FormReader::Status::Form:
                return wrap_new_tree(reader.take_form());
            case FormReader::Status::NeedBytes:
                if (!read_chunk(it))
                    return nullptr;
                continue;
            case FormReader::Status::Done:
                finish(it);
                return nullptr;
            case FormReader::Status::Error:
                raise_parse_error(reader.error());
                return nullptr;
            }
        }
        return nullptr;
    });
    // Like a generator, an iterator that raised is exhausted.
    if (result == nullptr && it->state != nullptr)
        finish(it);
    it->busy.store(false, std::memory_order_release);
    return result;
}

int formiter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FormIterObject* it = formiter_of(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->source);
    Py_VISIT(it->read);
    return 0;
}

// The state may view the source's bytes, so both go together.
int formiter_clear(PyObject* self) noexcept {
    finish(formiter_of(self));
    return 0;
}

void formiter_dealloc(PyObject* self) noexcept {
    FormIterObject* it = formiter_of(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    finish(it);
    Py_CLEAR(it->chunk_size);
    it->busy.~atomic();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot formiter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over the top-level forms of a text or binary file, "
                                  "made by `iterparse`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(formiter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(formiter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(formiter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(formiter_next)},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec formiter_spec = {
    "_sexp.FormIter", sizeof(FormIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, formiter_slots,
};

const char* const ITERPARSE_PARAMS[] = {"source", "syntax", "chunk_size", "keep_layout"};

PyObject* iterparse_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[4] = {nullptr, nullptr, nullptr, nullptr};
        if (!bind_args("iterparse", ITERPARSE_PARAMS, 4, args, nargs, kwnames, bound, 1, 1))
            return nullptr;
        Syntax syntax;
        bool keep;
        if (!syntax_of("iterparse", bound[1], syntax))
            return nullptr;
        Ref chunk;
        if (bound[2] == nullptr) {
            chunk = Ref(PyLong_FromLong(1L << 20));
            if (!chunk)
                return nullptr;
        } else if (!PyLong_Check(bound[2])) {
            bad_argument("iterparse", "chunk_size", "int", bound[2]);
            return nullptr;
        } else {
            int overflow;
            long n = PyLong_AsLongAndOverflow(bound[2], &overflow);
            if (n == -1 && PyErr_Occurred())
                return nullptr;
            if (overflow < 0 || (overflow == 0 && n <= 0)) {
                PyErr_SetString(PyExc_ValueError, "chunk_size must be positive");
                return nullptr;
            }
            chunk = Ref(Py_NewRef(bound[2]));
        }
        if (!flag_of(bound[3], keep))
            return nullptr;
        PyTypeObject* type = get_formiter_type();
        if (type == nullptr)
            return nullptr;
        auto state = std::make_unique<FormSource>(syntax, keep);
        PyObject* source = bound[0];
        PyObject* found = nullptr;
        bool in_memory =
            PyUnicode_Check(source) || PyBytes_Check(source) || PyByteArray_Check(source);
        if (!in_memory && PyObject_GetOptionalAttrString(source, "read", &found) < 0)
            return nullptr;
        Ref read(found);
        if (!read) {
            if (!source_bytes(source, state->bytes)) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                    PyErr_Clear();
                    PyErr_SetString(PyExc_TypeError, SOURCE_OR_FILE_MESSAGE);
                }
                return nullptr;
            }
            if (keep && state->bytes.text.size() < NO_SPAN) {
                // The forms share the text rather than each copying its own.
                std::shared_ptr<const TextHold> hold = hold_source(source, state->bytes);
                std::string_view text = hold->text();
                state->reader.read_text(text, state->bytes.validated, std::move(hold));
            } else {
                state->reader.read_text(state->bytes.text, state->bytes.validated);
            }
        }
        FormIterObject* it = PyObject_GC_New(FormIterObject, type);
        if (it == nullptr)
            return nullptr;
        it->state = state.release();
        it->source = Py_NewRef(source);
        it->read = read.release();
        it->chunk_size = chunk.release();
        it->sized = false;
        new (&it->busy) std::atomic<bool>(false);
        PyObject_GC_Track(it);
        return reinterpret_cast<PyObject*>(it);
    });
}

PyDoc_STRVAR(
    iterparse_doc,
    "iterparse(source, *, syntax='plain', chunk_size=1048576, keep_layout=False)\n--\n\n"
    "Iterate over the top-level forms of a text, each parsed into a tree of its own.\n\n"
    "``source`` is anything `parse` accepts, or a binary file object (anything whose\n"
    "``read(n)`` returns bytes), which is read lazily, ``chunk_size`` bytes at a time, as forms\n"
    "are asked for: memory holds one form and one chunk, not the whole file. An atom at the top\n"
    "level is a form; a text with no form yields nothing. ``syntax`` is as for `parse`.\n\n"
    "With ``keep_layout``, each form keeps its own text, as `parse` keeps a text's: the text\n"
    "since the form before (the file's header comments go with the first form), and for the\n"
    "last form the text after it too, so the forms' `dumps` joined give the text back.\n\n"
    "Errors come in the order of the text: the forms before an error are yielded, then it is\n"
    "raised, and the iterator is exhausted. UTF-8 is checked as the bytes arrive.\n\n"
    "Raises:\n"
    "    ParseError: If the text is malformed where the iterator reads it.\n"
    "    TypeError: If ``source`` is of no accepted kind, or ``read`` returns something that is\n"
    "        not bytes-like.\n"
    "    ValueError: If ``syntax`` names no syntax or ``chunk_size`` is not positive.");

} // namespace

PyTypeObject* create_formiter_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&formiter_spec));
}

PyMethodDef iterparse_def = {
    "iterparse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(iterparse_fn)),
    METH_FASTCALL | METH_KEYWORDS, iterparse_doc};

} // namespace sexp::py
