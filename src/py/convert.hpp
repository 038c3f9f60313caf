#pragma once

#include <span>
#include <vector>

#include "core/build.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// The subtree under `node` as plain data: an atom its str, a list a list of its children's
// data. Equal short texts share one str. Runs no Python code of the caller, so it may run with
// the tree locked. nullptr with an exception set on failure.
PyObject* tree_to_data(const Tree& tree, NodeId node);

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
    // its items, to any depth. False with the exception set when an item is of another type,
    // a str has no UTF-8 form, a list holds itself, or iterating raises; `fname` names the
    // method in messages.
    bool read(const char* fname, PyObject* items);
    std::span<const BuildStep> steps() const noexcept { return {steps_.data(), steps_.size()}; }

  private:
    std::vector<BuildStep, SlotAllocator<BuildStep>> steps_;
    std::vector<PyObject*, SlotAllocator<PyObject*>> strs_;
};

// The packed form of the subtree under `node` as a new bytes object, for pickling. nullptr
// with MemoryError set on failure.
PyObject* packed_bytes(const Tree& tree, NodeId node);

// The method definition of the module-level `_reconstruct`, which pickle calls with the bytes
// of packed_bytes to make the tree again.
extern PyMethodDef reconstruct_def;

} // namespace sexp::py
