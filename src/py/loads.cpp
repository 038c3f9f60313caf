#include "py/loads.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
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
    std::uint64_t lo, hi;
    if (tokens.has_16(text.data()))
        AtomText::wide_words(text.data(), text.size(), lo, hi);
    else
        AtomText::inline_words(text.data(), text.size(), lo, hi);
    return strs.str(lo, hi);
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

// Copies a text of `n` bytes with a few loads and stores that may overlap but stay inside it:
// most atoms are short, and a call per atom would cost more than the copy.
inline void copy_text(char* to, const char* from, std::size_t n) noexcept {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// The buffer a text is written into before it becomes a str. One stays with each thread, so a
// text is written where the last one was, on memory already touched, and a growing buffer is
// copied only the first time; big ones are let go after use. A writer that finds it busy (a
// subclass's code calling dumps) takes one of its own.
class Scratch {
  public:
    Scratch() {
        Slot& s = slot();
        if (s.busy) {
            own_ = std::make_unique<RenderBuffer>();
            buffer_ = own_.get();
            return;
        }
        if (!s.buffer)
            s.buffer = std::make_unique<RenderBuffer>();
        s.busy = true;
        buffer_ = s.buffer.get();
        buffer_->clear();
    }
    ~Scratch() {
        if (own_)
            return;
        Slot& s = slot();
        s.busy = false;
        if (static_cast<std::size_t>(buffer_->end - buffer_->cur) + buffer_->size() > KEEP)
            s.buffer.reset();
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    RenderBuffer& buffer() noexcept { return *buffer_; }

  private:
    static constexpr std::size_t KEEP = std::size_t{16} << 20;
    struct Slot {
        std::unique_ptr<RenderBuffer> buffer;
        bool busy = false;
    };
    static Slot& slot() noexcept {
        static thread_local Slot s;
        return s;
    }
    std::unique_ptr<RenderBuffer> own_;
    RenderBuffer* buffer_;
};

// Writes data as the text of the tree it stands for.
//
// No code of the caller's runs while exact lists, tuples and strs are read, so the containers
// being written need no reference of their own then. Before code of the caller's can run (a
// subclass iterating, a container let go), every open one is held, so that code cannot free
// one underfoot; where another thread could, each is held from the start.
class DataWriter {
  public:
    DataWriter(const char* fname, Layout layout)
        : fname_(fname), layout_(layout), out_(scratch_.buffer()) {}
    ~DataWriter() {
        for (Frame& f : open_)
            drop(f);
    }
    DataWriter(const DataWriter&) = delete;
    DataWriter& operator=(const DataWriter&) = delete;

    bool write(PyObject* data);
    PyObject* finish() {
        std::string_view text = out_.view();
        if (!out_.is_ascii())
            return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
        if (s != nullptr && !text.empty())
            std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
        return s;
    }

  private:
    struct Frame {
        PyObject* given; // the list or tuple as the data holds it
        PyObject* items; // what is read: the same object, or a subclass's items as a tuple
        Py_ssize_t next;
        bool broke; // a list child came: from here on each child is on a line of its own
        bool held;  // `given` and `items` are references of ours
    };
    static void drop(Frame& f) noexcept {
        if (!f.held)
            return;
        if (f.items != f.given)
            Py_DECREF(f.items);
        Py_DECREF(f.given);
    }
    // Holds every open container, before code of the caller's may run.
    void hold_all() noexcept {
        for (auto it = open_.rbegin(); it != open_.rend() && !it->held; ++it) {
            Py_INCREF(it->given);
            it->held = true; // `items` is `given`: only a held frame has a tuple of its own
        }
    }
    // Makes room for `n` bytes and 16 more after `cur`; returns where writing goes on.
    char* grow(char* cur, std::size_t n) {
        out_.cur = cur;
        out_.grow(n);
        return out_.cur;
    }
    bool enter(PyObject* container);
    void leave() {
        const Frame& top = open_.back();
        PyObject* given = top.given;
        PyObject* items = top.items;
        bool held = top.held;
        open_.pop_back();
        cycles_.leave(open_.size(), given);
        if (held) {
            hold_all(); // letting go may free the container, and its items run code
            Frame f{given, items, 0, false, true};
            drop(f);
        }
    }

    const char* fname_;
    Layout layout_;
    Scratch scratch_;
    RenderBuffer& out_;
    std::string pad_; // the indent, repeated for the deepest line so far
    std::vector<Frame> open_;
    CycleWatch cycles_;
    ExactItems refs_;
};

bool DataWriter::enter(PyObject* container) {
    bool held = false;
#ifdef Py_GIL_DISABLED
    Py_INCREF(container);
    held = true;
#endif
    PyObject* items = container;
    if (!PyList_CheckExact(container) && !PyTuple_CheckExact(container)) {
        hold_all();
        if (!held)
            Py_INCREF(container);
        held = true;
        items = PySequence_Tuple(container); // a subclass iterates its own way
        if (items == nullptr) {
            Py_DECREF(container);
            return false;
        }
    }
    Frame f{container, items, 0, false, held};
    bool ok = false;
    try {
        ok = cycles_.enter(fname_, open_.size(), container);
        if (ok) {
            // Field by field into place: a record written piecewise and read back whole,
            // as a copy reads it, waits on the stores.
            Frame& top = open_.emplace_back();
            top.given = container;
            top.items = items;
            top.next = 0;
            top.broke = false;
            top.held = held;
        }
    } catch (...) {
        drop(f);
        throw;
    }
    if (!ok)
        drop(f);
    return ok;
}

bool DataWriter::write(PyObject* data) {
    // The output's cursor stays in registers: kept in the object, every byte written would
    // wait on the store of the one before.
    char* cur = out_.cur;
    char* end = out_.end;
    bool ascii = true;
    // Members are read again after every byte written (a char may alias them); locals are not.
    const bool broken = layout_.broken;
    auto room = [&](std::size_t n) {
        if (static_cast<std::size_t>(end - cur) < n + 16) [[unlikely]] {
            cur = grow(cur, n);
            end = out_.end;
        }
    };
    auto put = [&](char c) {
        room(1);
        *cur++ = c;
    };
    auto atom = [&](PyObject* str) {
        std::string_view text;
        if (PyUnicode_IS_COMPACT_ASCII(str)) {
            text = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
        } else {
            if (!utf8_of(str, text))
                return false;
            ascii = false; // maybe ASCII after all; the decoding at the end tells
        }
        room(text.size());
        copy_text(cur, text.data(), text.size());
        cur += text.size();
        return true;
    };
    auto newline = [&](std::size_t depth) {
        std::size_t unit = layout_.indent.size();
        if (unit != 0 && depth > (std::size_t(-1) / 2 - 16) / unit)
            throw std::bad_alloc();
        std::size_t n = depth * unit;
        while (pad_.size() < n)
            pad_.append(layout_.indent);
        room(n + 1);
        *cur++ = '\n';
        copy_text(cur, pad_.data(), n);
        cur += n;
    };
    auto done = [&](bool ok) {
        out_.cur = cur;
        if (!ascii)
            out_.high |= 0x80;
        return ok;
    };

    if (PyUnicode_Check(data))
        return done(atom(data));
    if (!enter(data))
        return done(false);
    put('(');
    // The open containers, outermost first; everything before each one's `next` item is
    // written. The innermost one's items are written in a loop of their own, until it ends or
    // a list item is entered: meanwhile no code of the caller's runs, so the container holds
    // still (where another thread could change a list, each item is fetched and held).
    while (!open_.empty()) {
        Frame& f = open_.back();
        PyObject* container = f.items;
        const bool is_list = PyList_CheckExact(container);
        PyObject** items = PySequence_Fast_ITEMS(container);
        const Py_ssize_t n = Py_SIZE(container);
        Py_ssize_t i = f.next;
        bool broke = f.broke;
        PyObject* inner = nullptr;
        for (; i < n; ++i) {
#ifdef Py_GIL_DISABLED
            PyObject* item = is_list ? refs_.list_item(container, i) : items[i];
            if (item == nullptr)
                return done(false);
#else
            (void)is_list;
            // Each item lies somewhere else in memory: the ones ahead are fetched meanwhile.
            constexpr Py_ssize_t AHEAD = 4;
            if (i + AHEAD < n)
                prefetch(items[i + AHEAD]);
            PyObject* item = items[i];
#endif
            bool list = false;
            if (Py_IS_TYPE(item, &PyUnicode_Type)) {
                if (!broken && PyUnicode_IS_COMPACT_ASCII(item)) {
                    // The usual atom: its separator and text under one room check.
                    std::size_t len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
                    room(len + 1);
                    *cur = ' ';
                    cur += i != 0;
                    copy_text(cur, reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(item)),
                              len);
                    cur += len;
                    continue;
                }
            } else {
                list = PyList_Check(item) || PyTuple_Check(item);
                if (!list && !PyUnicode_Check(item))
                    return done(wrong_item(fname_, item));
            }
            if (broken && (broke = broke || list))
                newline(open_.size());
            else if (i != 0)
                put(' ');
            if (list) {
                inner = item;
                ++i;
                break;
            }
            if (!atom(item))
                return done(false);
        }
        if (inner == nullptr) {
            put(')');
            leave();
            continue;
        }
        f.next = i;
        f.broke = broke;
        if (!enter(inner))
            return done(false);
        put('(');
    }
    return done(true);
}

} // namespace

PyObject* data_text(const char* fname, PyObject* data, Layout layout) {
    DataWriter writer(fname, layout);
    if (!writer.write(data))
        return nullptr;
    return writer.finish();
}

PyMethodDef loads_def = {
    "loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loads_fn)),
    METH_FASTCALL | METH_KEYWORDS, loads_doc};

} // namespace sexp::py
