#pragma once

// A deliberately plain reference for the fuzzers: nodes with a vector of children, a parser and
// a printer written from the grammar alone, and a UTF-8 check that decodes code points instead
// of checking byte ranges. Nothing here shares code with the core it is compared against.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz_model {

inline constexpr std::uint32_t NONE = 0xFFFFFFFFu;

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    if (!detail.empty())
        std::fprintf(stderr, "%s\n", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

struct MNode {
    bool list = true;
    bool live = true;
    std::string text;
    std::uint32_t parent = NONE;
    std::vector<std::uint32_t> kids;
};

// Ids are slab indices: the model numbers and reuses slots the way the slab is specified to.
struct Model {
    std::vector<MNode> nodes;
    std::vector<std::uint32_t> free; // last freed on top
    std::uint32_t root = 0;
    bool implicit_root = false;

    std::uint32_t insert(MNode n) {
        if (free.empty()) {
            nodes.push_back(std::move(n));
            return static_cast<std::uint32_t>(nodes.size() - 1);
        }
        std::uint32_t id = free.back();
        free.pop_back();
        nodes[id] = std::move(n);
        return id;
    }

    void detach(std::uint32_t id) {
        std::uint32_t p = nodes[id].parent;
        if (p == NONE)
            return;
        auto& k = nodes[p].kids;
        for (std::size_t i = 0; i < k.size(); ++i)
            if (k[i] == id) {
                k.erase(k.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        nodes[id].parent = NONE;
    }

    bool is_self_or_ancestor(std::uint32_t node, std::uint32_t of) const {
        for (std::uint32_t at = of; at != NONE; at = nodes[at].parent)
            if (at == node)
                return true;
        return false;
    }

    // Whether the surface refuses to attach `child` under `parent` (after `after`, or NONE): the
    // root, a cycle, or an `after` that is the child itself or not a child of `parent`.
    bool refuses(std::uint32_t parent, std::uint32_t after, std::uint32_t child) const {
        return child == root || is_self_or_ancestor(child, parent) ||
               (after != NONE && (after == child || nodes[after].parent != parent));
    }

    // Moves `child` under `parent`: last (`at_end`), else after `after` (first when NONE).
    void attach(std::uint32_t parent, std::uint32_t after, std::uint32_t child, bool at_end) {
        detach(child);
        auto& k = nodes[parent].kids;
        std::size_t at = at_end ? k.size() : 0;
        for (std::size_t i = 0; !at_end && after != NONE && i < k.size(); ++i)
            if (k[i] == after)
                at = i + 1;
        k.insert(k.begin() + static_cast<std::ptrdiff_t>(at), child);
        nodes[child].parent = parent;
    }

    // Frees `id` and everything below it in pre-order.
    void remove(std::uint32_t id) {
        detach(id);
        std::vector<std::uint32_t> todo{id};
        while (!todo.empty()) {
            std::uint32_t at = todo.back();
            todo.pop_back();
            for (auto it = nodes[at].kids.rbegin(); it != nodes[at].kids.rend(); ++it)
                todo.push_back(*it);
            nodes[at] = MNode{};
            nodes[at].live = false;
            free.push_back(at);
        }
    }

    std::size_t subtree_size(std::uint32_t id) const {
        std::size_t n = 0;
        std::vector<std::uint32_t> todo{id};
        while (!todo.empty()) {
            std::uint32_t at = todo.back();
            todo.pop_back();
            ++n;
            for (std::uint32_t c : nodes[at].kids)
                todo.push_back(c);
        }
        return n;
    }
};

inline bool is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

enum class MError { None, Unclosed, Stray, Multiple, UnterminatedString, UnterminatedComment };

// What each lexical syntax adds to the plain grammar, spelled out from the rules: 0 plain,
// 1 kicad, 2 smtlib, 3 wasm, 4 lisp.
struct MRules {
    std::string quotes;       // bytes that open a quoted run, closed by the same byte
    bool escapes = false;     // a backslash in a run escapes the next byte
    std::string line;         // starts a comment to the end of the line
    std::string open, close;  // a nesting block comment
    bool hash_lines = false;  // a line whose first byte but spaces and tabs is '#' is a comment
};

inline MRules rules(int syntax) {
    switch (syntax) {
    case 1:
        return {"\"", true, "", "", "", true};
    case 2:
        return {"\"|", false, ";", "", ""};
    case 3:
        return {"\"", true, ";;", "(;", ";)"};
    case 4:
        return {"\"|", true, ";", "#|", "|#"};
    }
    return {};
}

inline bool at(std::string_view text, std::size_t i, const std::string& what) {
    return !what.empty() && text.substr(i, what.size()) == what;
}

// The comment that starts at `i`, if one does: returns where it ends (a line comment at its line
// feed, or the text's end; a block comment past its closer, or past the text's end when it never
// closes) and says in `line` which kind it is; returns `i` when none starts there. `first_line`:
// the text's start begins a line, as a whole text's does.
inline std::size_t comment_end(std::string_view text, std::size_t i, const MRules& r, bool& line,
                               bool first_line = true) {
    std::size_t b = i;
    while (b > 0 && (text[b - 1] == ' ' || text[b - 1] == '\t'))
        --b;
    bool line_start = b == 0 ? first_line : text[b - 1] == '\n';
    line = at(text, i, r.line) || (r.hash_lines && text[i] == '#' && line_start);
    if (line) {
        std::size_t lf = text.find('\n', i);
        return lf == std::string_view::npos ? text.size() : lf;
    }
    if (!at(text, i, r.open))
        return i;
    std::size_t depth = 1;
    i += 2;
    while (depth > 0) {
        if (i + 1 >= text.size())
            return text.size() + 1;
        if (at(text, i, r.close)) {
            --depth;
            i += 2;
        } else if (at(text, i, r.open)) {
            ++depth;
            i += 2;
        } else {
            ++i;
        }
    }
    return i;
}

enum class MTok { End, Open, Close, Atom, UnterminatedString, UnterminatedComment };

struct MToken {
    MTok kind;
    std::size_t begin, end; // where the token lies; for an error, where reading stopped
};

// The first token at or after `i`, past whitespace and comments.
inline MToken next_token(std::string_view text, std::size_t i, const MRules& r,
                         bool first_line = true) {
    for (;;) {
        if (i >= text.size())
            return {MTok::End, i, i};
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_space(c)) {
            ++i;
            continue;
        }
        bool line;
        if (std::size_t end = comment_end(text, i, r, line, first_line); end != i) {
            if (end > text.size())
                return {MTok::UnterminatedComment, i, text.size()};
            i = end;
            continue;
        }
        if (c == '(' || c == ')')
            return {c == '(' ? MTok::Open : MTok::Close, i, i + 1};
        std::size_t j = i;
        while (j < text.size()) {
            char d = text[j];
            if (r.quotes.find(d) != std::string::npos) {
                std::size_t k = j + 1;
                while (k < text.size() && text[k] != d)
                    k += r.escapes && text[k] == '\\' ? 2 : 1;
                if (k >= text.size())
                    return {MTok::UnterminatedString, i, text.size()};
                j = k + 1;
                continue;
            }
            if (is_space(static_cast<unsigned char>(d)) || d == '(' || d == ')' ||
                at(text, j, r.line) || at(text, j, r.open))
                break;
            ++j;
        }
        return {MTok::Atom, i, j};
    }
}

// Parses by the grammar of `syntax`; nodes get document-order ids, as the core promises.
inline MError parse(std::string_view text, Model& m, int syntax = 0) {
    const MRules r = rules(syntax);
    m = Model{};
    std::vector<std::uint32_t> open;
    std::size_t tops = 0;
    for (std::size_t i = 0;;) {
        MToken t = next_token(text, i, r);
        i = t.end;
        if (t.kind == MTok::End)
            break;
        if (t.kind == MTok::UnterminatedString)
            return MError::UnterminatedString;
        if (t.kind == MTok::UnterminatedComment)
            return MError::UnterminatedComment;
        if (t.kind == MTok::Close) {
            if (open.empty())
                return MError::Stray;
            open.pop_back();
            continue;
        }
        MNode n;
        n.list = t.kind == MTok::Open;
        if (!n.list)
            n.text.assign(text.substr(t.begin, t.end - t.begin));
        bool list = n.list;
        // Only the first top-level form gets nodes; later ones matter for the error alone.
        bool keep = open.empty() ? tops++ == 0 : open.back() != NONE;
        if (!keep) {
            if (list)
                open.push_back(NONE);
            continue;
        }
        std::uint32_t parent = open.empty() ? NONE : open.back();
        n.parent = parent;
        std::uint32_t id = m.insert(std::move(n));
        if (parent != NONE)
            m.nodes[parent].kids.push_back(id);
        if (list)
            open.push_back(id);
    }
    if (!open.empty())
        return MError::Unclosed;
    if (tops > 1)
        return MError::Multiple;
    if (tops == 0) {
        m.nodes.assign(1, MNode{});
        m.implicit_root = true;
    }
    m.root = 0;
    return MError::None;
}

inline std::string render(const Model& m, std::uint32_t id) {
    std::string out;
    if (id == m.root && m.implicit_root && m.nodes[id].kids.empty())
        return out;
    if (!m.nodes[id].list)
        return m.nodes[id].text;
    // Open lists with the index of the child to write next.
    std::vector<std::pair<std::uint32_t, std::size_t>> stack{{id, 0}};
    out += '(';
    while (!stack.empty()) {
        auto& [at, next] = stack.back();
        const MNode& n = m.nodes[at];
        if (next == n.kids.size()) {
            out += ')';
            stack.pop_back();
            continue;
        }
        if (next > 0)
            out += ' ';
        std::uint32_t c = n.kids[next++];
        if (m.nodes[c].list) {
            out += '(';
            stack.emplace_back(c, 0);
        } else {
            out += m.nodes[c].text;
        }
    }
    return out;
}

inline bool equal(const Model& a, std::uint32_t x, const Model& b, std::uint32_t y) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> todo{{x, y}};
    while (!todo.empty()) {
        auto [l, r] = todo.back();
        todo.pop_back();
        const MNode& ln = a.nodes[l];
        const MNode& rn = b.nodes[r];
        if (ln.list != rn.list)
            return false;
        if (!ln.list) {
            if (ln.text != rn.text)
                return false;
            continue;
        }
        if (ln.kids.size() != rn.kids.size())
            return false;
        for (std::size_t i = 0; i < ln.kids.size(); ++i)
            todo.emplace_back(ln.kids[i], rn.kids[i]);
    }
    return true;
}

// Decodes every sequence to its code point and rejects what Unicode forbids.
inline bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c >> 5) == 0x6) {
            len = 2;
            cp = c & 0x1Fu;
        } else if ((c >> 4) == 0xE) {
            len = 3;
            cp = c & 0x0Fu;
        } else if ((c >> 3) == 0x1E) {
            len = 4;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i < len)
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d >> 6) != 0x2)
                return false;
            cp = (cp << 6) | (d & 0x3Fu);
        }
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

} // namespace fuzz_model
