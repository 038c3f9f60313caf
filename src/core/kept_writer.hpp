#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/text_output.hpp"
#include "core/tree.hpp"
#include "core/walk.hpp"

namespace sexp {

// Writes the subtree under a node of a tree that keeps its layout, as that layout has it: what
// was not edited is copied from the text it was read from, and an edited list is written from
// its parts (its opening and closing text, each child with the text around it), so that only
// the edit changes the text. Nodes without layout are laid out as the indented writer lays
// them out, in the tree's own indent unit, from the column they start at. Writing the root
// writes the text before and after its form too.
//
// Where an edit puts two things side by side that were not side by side in the text, and
// writing them together would read differently, a space goes between; a comment that runs to
// the end of its line is followed by a line break before anything else; a new atom that would
// begin a line and read as a comment there (kicad's '#') stays on the line before.
//
// Like TextWalk it may write in pieces, the tree edited (not shrunk) in between.
// Whether writing the root of `tree`, which keeps its layout, gives its source text unchanged:
// nothing was edited since it was read.
bool writes_source(const Tree& tree) noexcept;

// Whether `text`, as the text of the atom `id` of `tree` (which keeps its layout), is written
// where it reads back as that one atom: one atom in the tree's syntax, and not one that would
// begin a line and read as a comment there.
bool reads_back_as_atom(const Tree& tree, NodeId id, std::string_view text) noexcept;

class KeptWalk {
  public:
    KeptWalk(const Tree& tree, NodeId node);
    // Writes on until at least `budget` bytes went out in this call, or the text is complete
    // (true). May throw what out.grow throws; the walk is then unusable.
    bool write(const Tree& tree, TextOutput& out, std::size_t budget);

  private:
    // A list being written from its parts, innermost last: one for each level the cursor is
    // below the node written.
    struct Frame {
        NodeId list = NO_NODE;
        bool fresh = false;       // a list without layout, laid out anew
        bool broke = false;       // fresh: its children go on lines of their own from here on
        std::size_t depth = 0;    // fresh: its level below the top of its fresh region
        std::size_t base = 0;     // fresh: bases_[base] is that region's first indentation
        std::uint32_t copy_from = NO_SPAN; // the leading text of its last child with layout
        std::uint32_t copy_to = NO_SPAN;
    };
    enum class Phase : std::uint8_t { Start, Enter, Leave, Done };
    // What the last byte written was part of, for telling whether the next piece joins it.
    enum class Last : std::uint8_t { Nothing, Gap, Atom, Open, Close };

    void enter(NodeId id);
    bool write_on(std::size_t budget);
    // The indentation of the line being written.
    std::string line_indent() const;
    void leave(NodeId id);
    void copy_rest();
    void close(NodeId list);
    void leading(Frame& f, NodeId id, const Node& n);
    void count_break(Frame& f, const Node& n) const;
    void separate_fresh(const Frame& f, const Node& n);
    bool comment_at_line_start(const Node& n) const;
    const TextFacts& facts() const;

    // Writes `text`, read from the layout at [from, from + size) (or made here: NO_SPAN), as
    // part of what `kind` says.
    void piece(std::string_view text, std::uint32_t from, Last kind);
    void arena(std::uint32_t from, std::uint32_t to, Last kind);
    void put(std::string_view text);
    void newline(std::size_t depth, std::size_t base);
    bool joins(std::string_view next) const;

    const Tree* tree_;
    const TreeLayout& layout_;
    TextOutput* out_ = nullptr;
    Cursor cursor_;
    Phase phase_ = Phase::Start;
    std::vector<Frame> frames_;
    std::vector<std::string> bases_;
    std::string pad_;
    // A piece of the layout's text still to copy: [rest_from_, rest_to_), the atoms given a new
    // text in it replaced when `replacing_`.
    std::uint32_t rest_from_ = 0;
    std::uint32_t rest_to_ = 0;
    bool replacing_ = false;
    std::size_t written_ = 0;
    // The join state.
    Last last_ = Last::Nothing;
    std::uint32_t last_end_ = NO_SPAN; // where the last piece ended in the layout's text
    NodeId last_atom_ = NO_NODE;       // the atom written last
    bool break_due_ = false;           // a line comment was written last
    bool trailed_ = false;             // the node just written came with its trailing text
    // The line being written when the output was last handed back: its indentation, and
    // whether only blanks stood on it yet.
    std::string carried_;
    bool carried_open_ = true;
};

} // namespace sexp
