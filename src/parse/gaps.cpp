#include "parse/gaps.hpp"

#include "parse/tokenizer.hpp"

namespace sexp {

namespace {

bool blank(unsigned char c) noexcept { return c == ' ' || c == '\t'; }

// Where the comment that starts at `i` ends (past a block comment's last byte, or at the line
// feed of a line comment, or at the end of the text), or `i` when none starts there; `line`
// says which kind it was. `line_start`: only spaces and tabs stand between the line's start
// and `i`.
template <Syntax S>
std::size_t comment_end(std::string_view t, std::size_t i, bool line_start, bool& line) noexcept {
    using L = Lexicon<S>;
    auto at = [&](std::size_t j, const unsigned char* two) {
        return j + 1 < t.size() && static_cast<unsigned char>(t[j]) == two[0] &&
               static_cast<unsigned char>(t[j + 1]) == two[1];
    };
    line = false;
    if constexpr (L::BLOCK_COMMENTS) {
        if (at(i, L::BLOCK_OPEN)) {
            // The end is looked for from the byte after the starter, nested starters counted.
            std::size_t depth = 1, j = i + 2;
            while (j < t.size()) {
                if (at(j, L::BLOCK_CLOSE)) {
                    j += 2;
                    if (--depth == 0)
                        return j;
                } else if (at(j, L::BLOCK_OPEN)) {
                    j += 2;
                    ++depth;
                } else {
                    ++j;
                }
            }
            return t.size();
        }
    }
    if constexpr (L::LINE_LENGTH == 1)
        line = static_cast<unsigned char>(t[i]) == L::LINE[0];
    else if constexpr (L::LINE_LENGTH == 2)
        line = at(i, L::LINE);
    if (L::HASH_LINES && t[i] == '#' && line_start)
        line = true;
    if (!line)
        return i;
    std::size_t lf = t.find('\n', i);
    return lf == std::string_view::npos ? t.size() : lf;
}

// Walks the whitespace and comments of `t` from its start (where a line starts only with
// `line_start`), calling `at_break(i)` at each line feed outside a block comment and
// `comment(end, line)` after each comment (`line`: a line comment), until one of them returns
// true or something else is met. Returns where it stopped.
template <Syntax S, typename Break, typename Comment>
std::size_t walk_gap(std::string_view t, Break&& at_break, Comment&& comment,
                     bool line_start = false) noexcept {
    std::size_t i = 0;
    while (i < t.size()) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (c == '\n') {
            if (at_break(i))
                return i;
            line_start = true;
            ++i;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            line_start = line_start && blank(c);
            ++i;
            continue;
        }
        bool line;
        std::size_t end = comment_end<S>(t, i, line_start, line);
        if (end == i || comment(end, line))
            return i;
        i = end;
        line_start = false;
    }
    return i;
}

} // namespace

std::size_t split_gap(std::string_view gap, Syntax syntax) noexcept {
    return with_syntax(syntax, [&](auto s) -> std::size_t {
        bool commented = false;
        std::size_t split = 0;
        walk_gap<s.value>(
            gap,
            [&](std::size_t i) {
                if (commented)
                    split = i > 0 && gap[i - 1] == '\r' ? i - 1 : i;
                return true;
            },
            [&](std::size_t, bool) {
                commented = true;
                return false;
            });
        return split;
    });
}

bool ends_in_line_comment(std::string_view text, Syntax syntax, bool line_start) noexcept {
    return with_syntax(syntax, [&](auto s) {
        bool open_line = false;
        walk_gap<s.value>(
            text, [](std::size_t) { return false; },
            [&](std::size_t end, bool line) {
                open_line = line && end == text.size();
                return false;
            },
            line_start);
        return open_line;
    });
}

TextFacts text_facts(std::string_view text, Syntax syntax) {
    TextFacts facts;
    std::size_t lf = text.find('\n');
    if (lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r')
        facts.newline = "\r\n";
    with_syntax(syntax, [&](auto s) {
        BasicTokenizer<scan::Native, s.value> tokens(text.data(), text.size());
        bool seen = false; // a line whose first token is '(' was met
        std::string_view above;
        for (;;) {
            Token tok = tokens.next();
            if (tok.kind != TokenKind::Open) {
                if (tok.kind == TokenKind::Close || tok.kind == TokenKind::Atom)
                    continue;
                return; // the end, or text that does not read
            }
            std::size_t at = tokens.position() - 1;
            std::size_t line = at;
            while (line > 0 && blank(static_cast<unsigned char>(text[line - 1])))
                --line;
            if (line > 0 && text[line - 1] != '\n')
                continue; // not the first token of its line
            std::string_view indent = text.substr(line, at - line);
            if (seen && indent.size() > above.size() && indent.substr(0, above.size()) == above) {
                facts.has_unit = true;
                facts.unit.assign(indent.substr(above.size()));
                return;
            }
            seen = true;
            above = indent;
        }
    });
    return facts;
}

} // namespace sexp
