#pragma once

#include "core/walk.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// Creates the SExpIter heap type. Called once per process.
PyTypeObject* create_sexpiter_type();

// A new iterator over the chain starting at `first` (NO_NODE: exhausted from the start),
// recording the tree's current generation. Call with the tree locked.
PyObject* make_iterator(SharedTree* tree, NodeId first) noexcept;

// Creates the SExpWalk heap type, the iterator of SExp.iter(). Called once per process.
PyTypeObject* create_sexpwalk_type();

// A new walk over `top` and everything below it in pre-order (an atom's children included, as
// `len()` and `for` see them), recording the tree's current
// generation: every node, or with `head`, only the lists it accepts. `head_text` (may be null)
// is kept alive with the walk, for a long head's bytes. Call with the tree locked.
PyObject* make_walk(SharedTree* tree, NodeId top, const HeadTest* head,
                    PyObject* head_text) noexcept;

} // namespace sexp::py
