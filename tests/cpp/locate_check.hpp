#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "parse/locate.hpp"
#include "parse/parser.hpp"

namespace sexp_test {

// What is wrong with locate_error's answer for `text`, or "" when nothing is: it must name the
// error parse reports (UTF-8 checked first unless `validated`), at a byte that proves it. The
// text around each place is parsed again: before a stray ')' or a second form the text holds
// whole forms, after the innermost '(' left open only whole lists, and an unterminated string
// or comment read from its start is still unterminated.
inline std::string site_fault(std::string_view text, sexp::Syntax s, bool validated) {
    using K = sexp::ParseErrorKind;
    std::optional<sexp::ErrorSite> site = sexp::locate_error(text, s, validated);
    sexp::Utf8Prefix utf8 = sexp::utf8_prefix(text.data(), text.size());
    if (!validated && utf8.valid < text.size()) {
        if (!site || site->kind != K::InvalidUtf8 || site->offset != utf8.valid)
            return "invalid UTF-8 not found at its first bad byte";
        return "";
    }
    sexp::ParseResult r = sexp::parse(text, s);
    if (r.tree || !site)
        return r.tree.has_value() == !site ? "" : "locate and parse disagree on success";
    if (site->kind != r.error)
        return std::string("locate says '") + sexp::parse_error_message(site->kind) +
               "', parse '" + sexp::parse_error_message(r.error) + "'";
    const std::size_t at = site->offset;
    if (at >= text.size())
        return "offset past the text";
    auto holds_forms = [&](std::string_view part) {
        sexp::ParseResult p = sexp::parse(part, s);
        return p.tree || p.error == K::MultipleTopLevel;
    };
    // A string or comment starting there is still open at the end.
    auto runs_to_the_end = [&](std::string_view part) {
        return sexp::parse(part, s).error == site->kind;
    };
    const unsigned char c = static_cast<unsigned char>(text[at]);
    bool ok = false;
    sexp::with_syntax(s, [&](auto syn) {
        using L = sexp::Lexicon<decltype(syn)::value>;
        switch (site->kind) {
        case K::StrayCloseParen:
            ok = c == ')' && holds_forms(text.substr(0, at));
            break;
        case K::UnclosedParen:
            ok = c == '(' && holds_forms(text.substr(at + 1));
            break;
        case K::MultipleTopLevel: {
            sexp::ParseResult first = sexp::parse(text.substr(0, at), s);
            ok = first.tree && !first.tree->implicit_root;
            break;
        }
        case K::UnterminatedString:
            ok = sexp::BYTE_CLASS<decltype(syn)::value>[c] == sexp::Quote &&
                 runs_to_the_end(text.substr(at));
            break;
        case K::UnterminatedComment:
            ok = at + 1 < text.size() && c == L::BLOCK_OPEN[0] &&
                 static_cast<unsigned char>(text[at + 1]) == L::BLOCK_OPEN[1] &&
                 runs_to_the_end(text.substr(at));
            break;
        case K::InvalidUtf8:
            break;
        }
    });
    return ok ? "" : std::string("no '") + sexp::parse_error_message(site->kind) + "' at byte " +
                         std::to_string(at);
}

} // namespace sexp_test
