#include "py/loads.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "parse/parser.hpp"
#include "py/convert.hpp"
#include "py/error.hpp"
#include "py/parse_fn.hpp"
#include "py/str_cache.hpp"
#include "py/str_output.hpp"

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

// The size of the last text this thread wrote: a program writes texts of like sizes, so a
// str that starts there seldom grows (a str grown by doubling is copied and touched anew at
// every step).
std::size_t& last_size() noexcept {
    static thread_local std::size_t n = 0;
    return n;
}

#ifdef __SIZEOF_INT128__
__extension__ typedef unsigned __int128 Word128;
#endif

// Writes the characters of a compact ASCII str, with 16 bytes of room at `to`. A short text
// is loaded as the 16 bytes that end with its terminating NUL, which lie inside the object
// (its header comes before), and shifted into place, with no branch on its length: atom
// lengths vary from one to the next, and branching on them costs more than the copy.
inline void copy_ascii(char* to, PyObject* str, std::size_t n) noexcept {
    const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str));
#ifdef __SIZEOF_INT128__
    static_assert(sizeof(PyASCIIObject) >= 16, "the header covers the bytes before a text");
    if (n < 16) {
        std::uint64_t lo, hi;
        std::memcpy(&lo, data + n + 1 - 16, 8);
        std::memcpy(&hi, data + n + 1 - 8, 8);
        Word128 w = (static_cast<Word128>(hi) << 64 | lo) >> (8 * (15 - n));
        std::uint64_t a = static_cast<std::uint64_t>(w), b = static_cast<std::uint64_t>(w >> 64);
        std::memcpy(to, &a, 8);
        std::memcpy(to + 8, &b, 8);
        return;
    }
#endif
    if (n < 16 || n > 48) {
        copy_text(to, data, n);
        return;
    }
    // Longer ones (names, quoted strings, identifiers) in 16-byte pieces, the last one
    // overlapping the ones before.
    std::memcpy(to, data, 16);
    if (n > 32)
        std::memcpy(to + 16, data + 16, 16);
    std::memcpy(to + n - 16, data + n - 16, 16);
}

// Writes data as the text of the tree it stands for.
//
// No code of the caller's runs while exact lists, tuples and strs are read, so the containers
// being written need no reference of their own then. Before code of the caller's can run (a
// subclass iterating, a container let go), every open one is held, so that code cannot free
// one underfoot; where another thread could, each is held from the start.
//
// Characters are written one byte each while all are below 256, as most texts' are, so that
// the str is made by one copy; the first one above turns what is written into UTF-8.
class DataWriter {
  public:
    DataWriter(const char* fname, Layout layout) : fname_(fname), layout_(layout) {}
    ~DataWriter() {
        for (Frame& f : open_)
            drop(f);
    }
    DataWriter(const DataWriter&) = delete;
    DataWriter& operator=(const DataWriter&) = delete;

    bool write(PyObject* data);
    PyObject* finish() {
        Py_ssize_t size = static_cast<Py_ssize_t>(out_.size());
        if (!latin1_)
            return PyUnicode_DecodeUTF8(out_.data(), size, nullptr);
        if (!high_) {
            last_size() = out_.size();
            return out_.take();
        }
        // Characters of 128 to 255 want a str of their own kind: one copy.
        PyObject* s = PyUnicode_New(size, 255);
        if (s != nullptr)
            std::memcpy(PyUnicode_1BYTE_DATA(s), out_.data(), out_.size());
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

    // The writing steps off the usual path. Each takes the output's cursor and returns where
    // writing goes on (null after an error, set), so that the loop keeps it in a register.
    char* grow(char* cur, std::size_t n) {
        out_.cur = cur;
        out_.grow(n);
        return out_.cur;
    }
    char* room(char* cur, std::size_t n) {
        return static_cast<std::size_t>(out_.end - cur) < n + 16 ? grow(cur, n) : cur;
    }
    char* newline(char* cur, std::size_t depth);
    char* atom(char* cur, PyObject* str);
    char* to_utf8(char* cur);

    const char* fname_;
    Layout layout_;
    bool latin1_ = true; // one byte per character so far
    bool high_ = false;  // some of them not ASCII
    StrOutput out_{std::max<std::size_t>(256, last_size() + last_size() / 8)};
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

char* DataWriter::newline(char* cur, std::size_t depth) {
    std::size_t unit = layout_.indent.size();
    if (unit != 0 && depth > (std::size_t(-1) / 2 - 16) / unit)
        throw std::bad_alloc();
    std::size_t n = depth * unit;
    while (pad_.size() < n)
        pad_.append(layout_.indent);
    cur = room(cur, n + 1);
    *cur++ = '\n';
    copy_text(cur, pad_.data(), n);
    return cur + n;
}

char* DataWriter::atom(char* cur, PyObject* str) {
    std::size_t len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        cur = room(cur, len);
        copy_ascii(cur, str, len);
        return cur + len;
    }
    if (latin1_ && PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) {
        cur = room(cur, len);
        copy_text(cur, reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)), len);
        high_ = high_ || !PyUnicode_IS_ASCII(str);
        return cur + len;
    }
    std::string_view text;
    if (!utf8_of(str, text))
        return nullptr;
    if (latin1_)
        cur = to_utf8(cur);
    cur = room(cur, text.size());
    copy_text(cur, text.data(), text.size());
    return cur + text.size();
}

// The text so far, written one byte per character, made UTF-8: from the back, in place.
char* DataWriter::to_utf8(char* cur) {
    latin1_ = false;
    if (!high_)
        return cur; // ASCII reads the same
    const std::size_t used = static_cast<std::size_t>(cur - out_.data());
    std::size_t extra = 0;
    for (const char* p = out_.data(); p != cur; ++p)
        extra += static_cast<unsigned char>(*p) >> 7;
    cur = room(cur, extra); // may move the text
    char* from = const_cast<char*>(out_.data()) + used;
    char* to = from + extra;
    cur = to;
    while (from != to) {
        auto c = static_cast<unsigned char>(*--from);
        if (c < 0x80) {
            *--to = static_cast<char>(c);
        } else {
            *--to = static_cast<char>(0x80 | (c & 0x3F));
            *--to = static_cast<char>(0xC0 | (c >> 6));
        }
    }
    return cur;
}

bool DataWriter::write(PyObject* data) {
    // The output's cursor stays in a register: kept in the object, every byte written would
    // wait on the store of the one before.
    char* cur = out_.cur;
    char* end = out_.end;
    auto done = [&](bool ok) {
        out_.cur = cur;
        return ok;
    };
    auto reserve = [&](std::size_t n) {
        if (static_cast<std::size_t>(end - cur) < n + 16) [[unlikely]] {
            cur = grow(cur, n);
            end = out_.end;
        }
    };
    // Members are read again after every byte written (a char may alias them); locals are not.
    const bool broken = layout_.broken;

    if (PyUnicode_Check(data)) {
        cur = atom(cur, data);
        return done(cur != nullptr);
    }
    if (!enter(data))
        return done(false);
    reserve(1);
    *cur++ = '(';
    // open_ holds the containers being written, outermost first, the innermost one's place
    // kept in the locals below (and written back before a list inside it is entered):
    // everything before item `i` is written. No code of the caller's runs between entering a
    // list or tuple and the next subclass, so the container read holds still meanwhile (where
    // another thread could change a list, each item is fetched and held).
    PyObject* container = open_.back().items;
    PyObject** items = PySequence_Fast_ITEMS(container);
    Py_ssize_t n = Py_SIZE(container);
    Py_ssize_t i = 0;
    bool broke = false;
    for (;;) {
        if (i >= n) { // a subclass's code may have shortened a list meanwhile
            reserve(1);
            *cur++ = ')';
            leave();
            if (open_.empty())
                break;
            const Frame& f = open_.back();
            container = f.items;
            items = PySequence_Fast_ITEMS(container);
            n = Py_SIZE(container);
            i = f.next;
            broke = f.broke;
            continue;
        }
#ifdef Py_GIL_DISABLED
        PyObject* item = PyList_CheckExact(container) ? refs_.list_item(container, i) : items[i];
        if (item == nullptr)
            return done(false);
#else
        PyObject* item = items[i];
#endif
        bool list = false;
        if (Py_IS_TYPE(item, &PyUnicode_Type)) {
            if (!broken && PyUnicode_IS_COMPACT_ASCII(item)) {
                // The usual atom: its separator and text under one room check.
                std::size_t len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
                reserve(len + 1);
                *cur = ' ';
                cur += i != 0;
                copy_ascii(cur, item, len);
                cur += len;
                ++i;
                continue;
            }
        } else {
            list = PyList_Check(item) || PyTuple_Check(item);
            if (!list && !PyUnicode_Check(item))
                return done(wrong_item(fname_, item, false));
        }
        // The separator before the item: a line break in a broken layout once a list has
        // come, else a space after the first item.
        const bool gap = i != 0;
        const bool line = broken && (broke = broke || list);
        ++i;
        if (!list) {
            if (line) {
                cur = newline(cur, open_.size());
            } else {
                reserve(1);
                *cur = ' ';
                cur += gap;
            }
            cur = atom(cur, item);
            end = out_.end;
            if (cur == nullptr)
                return false;
            continue;
        }
        Frame& f = open_.back();
        f.next = i;
        f.broke = broke;
#ifndef Py_GIL_DISABLED
        if (Py_IS_TYPE(item, &PyList_Type) || Py_IS_TYPE(item, &PyTuple_Type)) {
            // An exact list or tuple: nothing to hold, nothing of the caller's to run.
            if (!cycles_.enter(fname_, open_.size(), item))
                return done(false);
            Frame& top = open_.emplace_back();
            top.given = top.items = item;
            top.next = 0;
            top.broke = top.held = false;
            container = item;
        } else {
            if (!enter(item))
                return done(false);
            container = open_.back().items;
        }
#else
        if (!enter(item))
            return done(false);
        container = open_.back().items;
#endif
        if (line) {
            cur = newline(cur, open_.size() - 1);
            end = out_.end;
            reserve(1);
        } else {
            reserve(2);
            *cur = ' ';
            cur += gap;
        }
        *cur++ = '(';
        items = PySequence_Fast_ITEMS(container);
        n = Py_SIZE(container);
        i = 0;
        broke = false;
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
