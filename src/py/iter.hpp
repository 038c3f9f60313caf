#pragma once

#include "py/shared.hpp"

namespace sexp::py {

// Creates the SExpIter heap type. Called once per process.
PyTypeObject* create_sexpiter_type();

// A new iterator over the chain starting at `first` (NO_NODE: exhausted from the start),
// recording the tree's current generation. Call with the tree locked.
PyObject* make_iterator(SharedTree* tree, NodeId first) noexcept;

} // namespace sexp::py
