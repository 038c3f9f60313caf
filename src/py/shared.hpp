#pragma once

#include "py/compat.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/tree.hpp"
#include "memory/hints.hpp"

#if defined(Py_GIL_DISABLED) || defined(SEXP_FORCE_TREE_LOCK)
#define SEXP_TREE_LOCK 1
#endif

// Freed handle and iterator objects are kept for reuse only where the global interpreter lock
// serialises every make and free, and not under AddressSanitizer, which must see each
// object's lifetime.
#if !defined(SEXP_TREE_LOCK) && !defined(SEXP_ASAN)
#define SEXP_FREE_LISTS 1
#endif

namespace sexp::py {

// Fixed messages; tests spell them out, so a change here shows up there.
inline constexpr const char* STALE_MESSAGE = "stale node reference";
inline constexpr const char* OTHER_TREE_MESSAGE = "node belongs to a different tree";
inline constexpr const char* EMPTY_MESSAGE = "expression is empty";
inline constexpr const char* INDEX_MESSAGE = "index out of range";
inline constexpr const char* LIST_NO_VALUE_MESSAGE = "list node has no value";
inline constexpr const char* LIST_SET_VALUE_MESSAGE = "cannot set value on a list node";
inline constexpr const char* REMOVE_ROOT_MESSAGE = "cannot remove the root node";
inline constexpr const char* EXTRACT_ROOT_MESSAGE = "cannot extract the root node";
inline constexpr const char* ATTACH_ROOT_MESSAGE = "cannot attach the root node";
inline constexpr const char* ATTACH_CYCLE_MESSAGE =
    "cannot attach a node under itself or one of its descendants";
inline constexpr const char* AFTER_SELF_MESSAGE = "cannot insert a node after itself";
inline constexpr const char* AFTER_NOT_CHILD_MESSAGE = "after is not a child of this node";
inline constexpr const char* SOURCE_TYPE_MESSAGE = "expected str, bytes, or bytearray";
inline constexpr const char* TOO_LARGE_MESSAGE = "input is too large";
inline constexpr const char* PICKLE_DATA_MESSAGE = "not the pickled form of an SExp";

// The one holder of a tree, shared by all its handles and iterators. Its address is the
// tree's identity. Destroyed with the last reference.
struct SharedTree {
    explicit SharedTree(Tree&& t) noexcept : tree(std::move(t)) {}
    std::atomic<std::size_t> refs{1};
    Tree tree;
#ifdef SEXP_TREE_LOCK
    PyMutex mutex{};
#endif
};

// With a global interpreter lock every handle is made and destroyed under that lock, so the
// count needs atomic loads and stores but no locked read-modify-write, which costs more than
// the rest of making a handle.
inline void retain(SharedTree* t) noexcept {
#ifdef Py_GIL_DISABLED
    t->refs.fetch_add(1, std::memory_order_relaxed);
#else
    t->refs.store(t->refs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
#endif
}
inline void release(SharedTree* t) noexcept {
#ifdef Py_GIL_DISABLED
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete t;
#else
    std::size_t left = t->refs.load(std::memory_order_relaxed) - 1;
    t->refs.store(left, std::memory_order_relaxed);
    if (left == 0)
        delete t;
#endif
}

// A handle on one node. All three fields are fixed when the handle is made.
struct SExpObject {
    PyObject_HEAD
    SharedTree* tree;
    std::uint64_t generation; // the tree's removal counter when this handle was made
    NodeId id;
};

// A lazy walk along one sibling chain. `use` guards the iterator's own fields where two
// threads can reach them at once: 0 free, -1 held by next(), >0 held shared.
struct SExpIterObject {
    PyObject_HEAD
    SharedTree* tree;
    std::uint64_t generation;
    NodeId next_node;
#ifdef SEXP_TREE_LOCK
    std::atomic<int> use;
#endif
};

// A bounded stack of freed objects of one type, their memory still allocated. The objects in
// it hold no reference to their type or tree.
struct FreeList {
    static constexpr int CAPACITY = 512;
    int count = 0;
    PyObject* items[CAPACITY];
};

extern FreeList handle_free_list;
extern FreeList iter_free_list;

// A new object of `type` (reference count 1, holding a reference to its type), reused from
// `list` where free lists are kept.
template <typename T>
inline T* new_object([[maybe_unused]] FreeList& list, PyTypeObject* type) noexcept {
#ifdef SEXP_FREE_LISTS
    if (list.count > 0)
        return reinterpret_cast<T*>(PyObject_Init(list.items[--list.count], type));
#endif
    return PyObject_New(T, type);
}

// Frees an object made by new_object, into `list` while it has room, and drops its reference
// to its type.
inline void free_object([[maybe_unused]] FreeList& list, PyObject* o) noexcept {
    PyTypeObject* tp = Py_TYPE(o);
#ifdef SEXP_FREE_LISTS
    if (list.count < FreeList::CAPACITY) {
        list.items[list.count++] = o;
        Py_DECREF(tp);
        return;
    }
#endif
    tp->tp_free(o);
    Py_DECREF(tp);
}

// Returns the memory of every kept object to the allocator.
void clear_free_lists() noexcept;

// Serialises operations on one tree where the interpreter does not. Held for the whole of an
// operation, never while the caller's Python code can run.
class TreeLock {
  public:
#ifdef SEXP_TREE_LOCK
    explicit TreeLock(SharedTree* t) noexcept : t_(t) { PyMutex_Lock(&t_->mutex); }
    ~TreeLock() { PyMutex_Unlock(&t_->mutex); }

  private:
    SharedTree* t_;
#else
    explicit TreeLock(SharedTree*) noexcept {}
#endif
    TreeLock(const TreeLock&) = delete;
    TreeLock& operator=(const TreeLock&) = delete;
};

// Both trees' locks, taken in address order so two threads cannot deadlock; one lock when
// both handles share a tree.
class TreePairLock {
  public:
#ifdef SEXP_TREE_LOCK
    TreePairLock(SharedTree* a, SharedTree* b) noexcept
        : first_(a < b ? a : b), second_(a == b ? nullptr : (a < b ? b : a)) {
        PyMutex_Lock(&first_->mutex);
        if (second_)
            PyMutex_Lock(&second_->mutex);
    }
    ~TreePairLock() {
        if (second_)
            PyMutex_Unlock(&second_->mutex);
        PyMutex_Unlock(&first_->mutex);
    }

  private:
    SharedTree* first_;
    SharedTree* second_;
#else
    TreePairLock(SharedTree*, SharedTree*) noexcept {}
#endif
    TreePairLock(const TreePairLock&) = delete;
    TreePairLock& operator=(const TreePairLock&) = delete;
};

// The process-wide classes, made once (under a lock) by the getters; the raw pointers are
// set before any instance can exist, so the hot paths read them directly.
extern PyTypeObject* sexp_type_object;
extern PyTypeObject* sexpiter_type_object;
extern PyTypeObject* sexpwalk_type_object;
PyTypeObject* get_sexp_type();
PyTypeObject* get_sexpiter_type();
PyTypeObject* get_sexpwalk_type();
PyObject* get_parse_error();

inline bool is_sexp(PyObject* o) noexcept { return Py_IS_TYPE(o, sexp_type_object); }
inline SExpObject* as_sexp(PyObject* o) noexcept { return reinterpret_cast<SExpObject*>(o); }

inline bool is_live(const SExpObject* h) noexcept {
    const Tree& t = h->tree->tree;
    return h->id == t.root || h->generation == t.generation;
}

// Sets RuntimeError "stale node reference" and returns nullptr.
PyObject* stale_error() noexcept;

// Liveness check: false, with the stale error set, when the handle is stale.
inline bool check_live(const SExpObject* h) noexcept {
    if (is_live(h))
        return true;
    stale_error();
    return false;
}

// Same-tree check: false, with ValueError set, when the handles belong to different trees.
bool check_same_tree(const SExpObject* a, const SExpObject* b) noexcept;

// A new handle on `id`, recording the tree's current generation. Call with the tree locked.
inline PyObject* make_handle(SharedTree* tree, NodeId id) noexcept {
    SExpObject* h = new_object<SExpObject>(handle_free_list, sexp_type_object);
    if (h == nullptr)
        return nullptr;
    retain(tree);
    h->tree = tree;
    h->generation = tree->tree.generation;
    h->id = id;
    return reinterpret_cast<PyObject*>(h);
}

// Wraps a new tree in a SharedTree and returns the handle on its root. On failure the tree is
// destroyed and nullptr returned with an exception set.
PyObject* wrap_new_tree(Tree&& tree) noexcept;

// From this size on, parsing lets the interpreter lock go while it checks and reads the text:
// the work then dwarfs handing the lock over, and other threads run meanwhile.
inline constexpr std::size_t RELEASE_LOCK_FROM = 64 * 1024;

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

// The general case of bind_args: keywords, or a count of positional arguments that is wrong.
bool bind_args_slow(const char* fname, const char* const* names, Py_ssize_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    Py_ssize_t positional, Py_ssize_t required);

// Binds fast-call arguments to `count` parameters, filling `out`: the first `positional` may
// be given by position or keyword, the others by keyword only; the first `required` must be
// given, the others are left null when absent (both default to all). Returns false with
// TypeError set in the interpreter's own wording, naming the callable as `fname`. Arguments
// given by position alone, the usual call, take no further look.
inline bool bind_args(const char* fname, const char* const* names, Py_ssize_t count,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                      Py_ssize_t positional = -1, Py_ssize_t required = -1) {
    if (positional < 0)
        positional = count;
    if (required < 0)
        required = count;
    if (kwnames == nullptr && nargs <= positional && nargs >= required) [[likely]] {
        for (Py_ssize_t i = 0; i < count; ++i)
            out[i] = i < nargs ? args[i] : nullptr;
        return true;
    }
    return bind_args_slow(fname, names, count, args, nargs, kwnames, out, positional, required);
}

// An atom's text as a new str. A short ASCII text, the common case, is copied without
// decoding: its inline record (text, zero padding, a length byte below 16) has no high bit set.
inline PyObject* atom_str(const AtomText& text) noexcept {
    std::string_view v = text.view();
    if (text.is_inline() && v.size() >= 2) { // shorter ones are the interpreter's singletons
        std::uint64_t w[2];
        static_assert(sizeof w == sizeof(AtomText));
        std::memcpy(w, &text, sizeof w);
        if (ascii_word(w[0] | w[1])) {
            PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(v.size()), 127);
            if (s != nullptr)
                std::memcpy(PyUnicode_1BYTE_DATA(s), v.data(), v.size());
            return s;
        }
    }
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}

// The UTF-8 bytes of a str, or false with the interpreter's UnicodeEncodeError set. A compact
// ASCII str's own bytes are its UTF-8 form.
inline bool utf8_of(PyObject* s, std::string_view& out) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        out = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
        return true;
    }
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr)
        return false;
    out = {p, static_cast<std::size_t>(n)};
    return true;
}

// Owns one reference (or none) and drops it when it goes.
class Ref {
  public:
    Ref() noexcept = default;
    explicit Ref(PyObject* o) noexcept : o_(o) {}
    ~Ref() { Py_XDECREF(o_); }
    Ref(Ref&& other) noexcept : o_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    PyObject* get() const noexcept { return o_; }
    explicit operator bool() const noexcept { return o_ != nullptr; }
    // Hands the reference over to the caller.
    PyObject* release() noexcept {
        PyObject* o = o_;
        o_ = nullptr;
        return o;
    }
    void swap(Ref& other) noexcept { std::swap(o_, other.o_); }

  private:
    PyObject* o_ = nullptr;
};

// TypeError for an argument of the wrong type, in the interpreter's wording.
void bad_argument(const char* fname, const char* arg, const char* expected, PyObject* got);

// Runs `body` and turns allocation failure into MemoryError, so no C++ exception reaches the
// interpreter. `failed` is the slot's error return value.
template <typename R, typename F> inline R guarded(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failed;
    }
}

// The prologue of every operation on a receiver, with its checks in their order: the tree is
// locked (where the interpreter does not serialise), then the receiver must be live. Only then
// does `body(h, tree)` run, still under the lock, with allocation failure turned into
// MemoryError. Binding and converting arguments, which may run the caller's code, and the
// same-tree checks, which read no tree, come before.
template <typename F, typename R = std::invoke_result_t<F&, SExpObject*, Tree&>>
inline R with_live(PyObject* self, std::type_identity_t<R> failed, F&& body) noexcept {
    SExpObject* h = as_sexp(self);
    TreeLock lock(h->tree);
    if (!check_live(h))
        return failed;
    return guarded<R>(failed, [&]() -> R { return body(h, h->tree->tree); });
}

} // namespace sexp::py
