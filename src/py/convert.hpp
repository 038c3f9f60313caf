#pragma once

#include <span>
#include <unordered_set>
#include <vector>

#include "core/build.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// The subtree under `node` as plain data: an atom its str, a list a list of its children's
// data. Equal short texts share one str. Runs no Python code of the caller, so it may run with
// the tree locked. nullptr with an exception set on failure.
PyObject* tree_to_data(const Tree& tree, NodeId node);

// A list that holds itself would be read until memory runs out. From this depth on, every
// container is checked against the ones open above it at such depths; a cycle shows once it
// has gone round once there, and shallower data pays nothing for the check.
class CycleWatch {
  public:
    // False, with ValueError set, when `container`, opened at `depth`, is open already; `fname`
    // names the function in the message.
    bool enter(const char* fname, std::size_t depth, PyObject* container) {
        return depth < FROM_DEPTH || enter_deep(fname, container);
    }
    void leave(std::size_t depth, PyObject* container) noexcept {
        if (depth >= FROM_DEPTH)
            open_.erase(container);
    }

  private:
    static constexpr std::size_t FROM_DEPTH = 1000;
    bool enter_deep(const char* fname, PyObject* container);
    std::unordered_set<PyObject*> open_;
};

// TypeError for an item of data that is no str, list or tuple (nor, where `nodes` are taken
// too, an SExp); returns false.
bool wrong_item(const char* fname, PyObject* item, bool nodes = true);

// The items of an `extend` call written out as build steps before the tree is touched: the
// caller's code (iterators, generators) runs while they are read, and no tree is locked then.
// Holds a reference on every str whose bytes the steps point into, so drop it only with no
// tree locked.
class BuildItems {
  public:
    BuildItems() = default;
    ~BuildItems();
    BuildItems(const BuildItems&) = delete;
    BuildItems& operator=(const BuildItems&) = delete;

    // Reads every item of the iterable `items`: a str is an atom, a list or tuple a list of
    // its items, to any depth, an SExp a copy of its subtree (made now, with its tree locked
    // alone). False with the exception set when an item is of another type, a str has no
    // UTF-8 form, an SExp is stale, a list holds itself, or iterating raises; `fname` names
    // the method in messages.
    bool read(const char* fname, PyObject* items);
    std::span<const BuildStep> steps() const noexcept { return {steps_.data(), steps_.size()}; }
    std::span<const TreeCopy> copies() const noexcept { return {copies_.data(), copies_.size()}; }

  private:
    std::vector<BuildStep, SlotAllocator<BuildStep>> steps_;
    std::vector<TreeCopy> copies_;
    std::vector<PyObject*, SlotAllocator<PyObject*>> strs_;
};

// The references build_exact takes on what it reads. With the interpreter lock no other code
// runs while it reads, so nothing can change or free the items, and borrowed references do;
// without it another thread could, so each is held, to be dropped (which may run code) only
// once the tree lock is let go: this must outlive that lock.
class ExactItems {
  public:
    ExactItems() = default;
    ~ExactItems();
    ExactItems(const ExactItems&) = delete;
    ExactItems& operator=(const ExactItems&) = delete;

    // Item `i` of an exact list, or nullptr with an exception set (another thread shrank it).
    PyObject* list_item(PyObject* list, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
        return held_item(list, i);
#else
        return PyList_GET_ITEM(list, i);
#endif
    }

  private:
#ifdef Py_GIL_DISABLED
    PyObject* held_item(PyObject* list, Py_ssize_t i);
    std::vector<PyObject*> held_;
#endif
};

enum class Exact { Built, Failed, Other };

// Builds `items` straight into the tree through `b` when they are an exact list or tuple of
// strs and exact lists and tuples, to any depth: nothing of the caller's can run while such
// data is read, so it may be read with the tree locked. Built: every item is made (commit is
// the caller's). Failed: an item of no accepted type, a str without UTF-8 form or a list
// holding itself; the exception is set. Other: a subclass of list or tuple, or another
// iterable, which must be read the general way (BuildItems) with no tree locked. After Failed
// or Other the caller lets `b` undo what it made.
Exact build_exact(const char* fname, PyObject* items, Builder& b, ExactItems& refs);

// The packed form of the subtree under `node` as a new bytes object, for pickling. nullptr
// with MemoryError set on failure.
PyObject* packed_bytes(const Tree& tree, NodeId node);

// The method definition of the module-level `_reconstruct`, which pickle calls with the bytes
// of packed_bytes to make the tree again.
extern PyMethodDef reconstruct_def;

} // namespace sexp::py
