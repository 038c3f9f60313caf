#include "py/loads.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "parse/parser.hpp"
#include "py/convert.hpp"
#include "py/error.hpp"
#include "py/parse_fn.hpp"
#include "py/str_cache.hpp"

namespace sexp::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Text to data

// The values read so far: the items of every list still open on one stack, each list's from
// the height its entry in `starts_` gives, and at the bottom the forms already whole. A list
// is made when it closes, at its full length, from the items on top. Owns every item.
class DataStack {
  public:
    DataStack() {
        items_.reserve(64);
        starts_.reserve(64);
    }
    ~DataStack() {
        for (PyObject* o : items_)
            Py_DECREF(o);
    }
    DataStack(const DataStack&) = delete;
    DataStack& operator=(const DataStack&) = delete;

    bool is_open() const noexcept { return !starts_.empty(); }
    // A whole form is read and no list is open.
    bool has_form() const noexcept { return starts_.empty() && !items_.empty(); }

    // Takes the reference to `o`; nullptr is an error already set.
    bool push(PyObject* o) {
        if (o == nullptr)
            return false;
        try {
            items_.push_back(o);
        } catch (...) {
            Py_DECREF(o);
            throw;
        }
        return true;
    }
    void open() { starts_.push_back(items_.size()); }
    bool close() {
        std::size_t start = starts_.back();
        starts_.pop_back();
        std::size_t n = items_.size() - start;
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (list == nullptr)
            return false;
        for (std::size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[start + i]);
        items_.resize(start);
        return push(list);
    }
    // The one form read, or the empty list that stands for a text with none.
    PyObject* take() {
        if (items_.empty())
            return PyList_New(0);
        PyObject* form = items_.back();
        items_.pop_back();
        return form;
    }

  private:
    std::vector<PyObject*> items_;
    std::vector<std::size_t> starts_;
};

// An atom's text as a str; short ones come from the cache, as tolist() makes them.
template <typename Tokens>
PyObject* atom_value(StrCache& strs, std::string_view text, const Tokens& tokens) {
    if (text.size() > INLINE_CAPACITY)
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    return strs.str(tokens.has_16(text.data())
                        ? AtomText::make_inline_wide(text.data(), text.size())
                        : AtomText::make_inline(text.data(), text.size()));
}

// After a second form has begun, `depth` lists deep, no value is needed: the text is read on
// only for the error that parse reports, which may come from anywhere in it.
template <typename Tokens> PyObject* second_form(Tokens& tokens, std::size_t depth) {
    for (;;) {
        switch (tokens.next().kind) {
        case TokenKind::End:
        case TokenKind::More:
            return raise_parse_error(depth != 0 ? ParseErrorKind::UnclosedParen
                                                : ParseErrorKind::MultipleTopLevel);
        case TokenKind::UnterminatedString:
            return raise_parse_error(ParseErrorKind::UnterminatedString);
        case TokenKind::UnterminatedComment:
            return raise_parse_error(ParseErrorKind::UnterminatedComment);
        case TokenKind::Close:
            if (depth == 0)
                return raise_parse_error(ParseErrorKind::StrayCloseParen);
            --depth;
            break;
        case TokenKind::Open:
            ++depth;
            break;
        case TokenKind::Atom:
            break;
        }
    }
}

// The parse loop, making values instead of nodes; the errors are parse's, in its order.
template <Syntax S> PyObject* loads_as(std::string_view text) {
    SyntaxTokenizer<S> tokens(text.data(), text.size());
    DataStack data;
    StrCache strs;
    for (;;) {
        Token tok = tokens.next();
        switch (tok.kind) {
        case TokenKind::End:
        case TokenKind::More: // not given when the text is whole
            if (data.is_open())
                return raise_parse_error(ParseErrorKind::UnclosedParen);
            return data.take();
        case TokenKind::UnterminatedString:
            return raise_parse_error(ParseErrorKind::UnterminatedString);
        case TokenKind::UnterminatedComment:
            return raise_parse_error(ParseErrorKind::UnterminatedComment);
        case TokenKind::Close:
            if (!data.is_open())
                return raise_parse_error(ParseErrorKind::StrayCloseParen);
            if (!data.close())
                return nullptr;
            break;
        case TokenKind::Open:
            if (data.has_form())
                return second_form(tokens, 1);
            data.open();
            break;
        case TokenKind::Atom:
            if (data.has_form())
                return second_form(tokens, 0);
            if (!data.push(atom_value(strs, tok.text, tokens)))
                return nullptr;
            break;
        }
    }
}

const char* const LOADS_PARAMS[] = {"source", "syntax"};

PyObject* loads_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_args("loads", LOADS_PARAMS, 2, args, nargs, kwnames, bound, 1, 1))
            return nullptr;
        Syntax syntax;
        if (!syntax_of("loads", bound[1], syntax))
            return nullptr;
        SourceBytes source;
        if (!source_bytes(bound[0], source))
            return nullptr;
        std::string_view text = source.text;
        if (text.size() > MAX_PARSE_INPUT) {
            PyErr_SetString(PyExc_OverflowError, TOO_LARGE_MESSAGE);
            return nullptr;
        }
        if (!source.validated) {
            bool valid;
            {
                LockReleased unlocked(text.size() >= RELEASE_LOCK_FROM);
                valid = is_valid_utf8(text.data(), text.size());
            }
            if (!valid)
                return raise_parse_error(ParseErrorKind::InvalidUtf8);
        }
        return with_syntax(syntax, [&](auto s) { return loads_as<s.value>(text); });
    });
}

PyDoc_STRVAR(loads_doc,
             "loads(source, *, syntax='plain')\n--\n\n"
             "Read an S-expression as plain data: what ``parse(source, syntax=syntax).tolist()``\n"
             "returns, without making a tree. An atom is its ``str``, a list a ``list`` of its\n"
             "children's data; a text with no form gives an empty list. ``source`` and ``syntax``\n"
             "are as for `parse`, and so are the errors, in the same order.\n\n"
             "Raises:\n"
             "    ParseError: If the input is structurally malformed.\n"
             "    TypeError: If the argument is not ``str``, ``bytes``, or ``bytearray``.\n"
             "    ValueError: If ``syntax`` names no syntax.");

// ---------------------------------------------------------------------------------------------
// Data to text

// Writes data as the text of the tree it stands for. Every container being written is held,
// so the caller's code that a subclass runs while iterating cannot free it underfoot.
class DataWriter {
  public:
    DataWriter(const char* fname, Layout layout) noexcept : fname_(fname), layout_(layout) {}

    bool write(PyObject* data);
    PyObject* result() const;

  private:
    struct Frame {
        Ref given; // the list or tuple, as the data holds it
        Ref items; // what is read: the same object, or a subclass's items as a tuple
        Py_ssize_t next = 0;
        bool broke = false; // a list child came: from here on each child is on a line of its own
    };

    void room(std::size_t n) {
        if (static_cast<std::size_t>(out_.end - out_.cur) < n) [[unlikely]]
            out_.grow(n);
    }
    void put(char c) {
        room(1);
        *out_.cur++ = c;
    }
    bool atom(PyObject* str) {
        std::string_view text;
        if (!utf8_of(str, text))
            return false;
        if (!PyUnicode_IS_ASCII(str))
            out_.high |= 0x80;
        room(text.size());
        if (!text.empty())
            std::memcpy(out_.cur, text.data(), text.size());
        out_.cur += text.size();
        return true;
    }
    void newline(std::size_t depth) {
        std::size_t unit = layout_.indent.size();
        if (unit != 0 && depth > (std::size_t(-1) / 2 - 16) / unit)
            throw std::bad_alloc();
        std::size_t n = depth * unit;
        while (pad_.size() < n)
            pad_.append(layout_.indent);
        room(n + 1);
        *out_.cur++ = '\n';
        if (n != 0)
            std::memcpy(out_.cur, pad_.data(), n);
        out_.cur += n;
    }
    bool enter(PyObject* container);

    const char* fname_;
    Layout layout_;
    RenderBuffer out_;
    std::string pad_; // the indent, repeated for the deepest line so far
    std::vector<Frame> open_;
    CycleWatch cycles_;
    ExactItems refs_;
};

bool DataWriter::enter(PyObject* container) {
    Frame f;
    f.given = Ref(Py_NewRef(container));
    if (PyList_CheckExact(container) || PyTuple_CheckExact(container))
        f.items = Ref(Py_NewRef(container));
    else if (f.items = Ref(PySequence_Tuple(container)); !f.items) // a subclass iterates its own way
        return false;
    if (!cycles_.enter(fname_, open_.size(), container))
        return false;
    open_.push_back(std::move(f));
    put('(');
    return true;
}

bool DataWriter::write(PyObject* data) {
    if (PyUnicode_Check(data))
        return atom(data);
    if (!enter(data))
        return false;
    // The open containers, outermost first; everything before each one's `next` item is
    // written.
    while (!open_.empty()) {
        Frame& f = open_.back();
        PyObject* items = f.items.get();
        PyObject* item = nullptr;
        if (PyList_CheckExact(items)) {
            if (f.next < PyList_GET_SIZE(items) &&
                (item = refs_.list_item(items, f.next)) == nullptr)
                return false;
        } else if (f.next < PyTuple_GET_SIZE(items)) {
            item = PyTuple_GET_ITEM(items, f.next);
        }
        if (item == nullptr) {
            put(')');
            cycles_.leave(open_.size() - 1, f.given.get());
            open_.pop_back();
            continue;
        }
        bool list = PyList_Check(item) || PyTuple_Check(item);
        if (!list && !PyUnicode_Check(item))
            return wrong_item(fname_, item);
        if (layout_.broken && (f.broke = f.broke || list))
            newline(open_.size());
        else if (f.next != 0)
            put(' ');
        ++f.next;
        if (!(list ? enter(item) : atom(item)))
            return false;
    }
    return true;
}

PyObject* DataWriter::result() const {
    std::string_view text = out_.view();
    if (!out_.is_ascii())
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (s != nullptr && !text.empty())
        std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
    return s;
}

} // namespace

PyObject* data_text(const char* fname, PyObject* data, Layout layout) {
    DataWriter writer(fname, layout);
    if (!writer.write(data))
        return nullptr;
    return writer.result();
}

PyMethodDef loads_def = {
    "loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loads_fn)),
    METH_FASTCALL | METH_KEYWORDS, loads_doc};

} // namespace sexp::py
