#include "parse/quote.hpp"

#include "memory/fault.hpp"

namespace sexp {

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

template <Syntax S> bool one_atom(std::string_view text) noexcept {
    SyntaxTokenizer<S> tokens(text.data(), text.size(), true, false);
    Token t = tokens.next();
    return t.kind == TokenKind::Atom && t.text.data() == text.data() &&
           t.text.size() == text.size();
}

// The escape a byte of quoted text needs, or null when it stands for itself.
template <Syntax S> const char* escape_of(unsigned char c, char (&hex)[4]) noexcept {
    using L = Lexicon<S>;
    if constexpr (!L::ESCAPES) {
        return c == '"' ? "\"\"" : nullptr;
    } else {
        switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            break;
        }
        // The format's own tools refuse other control bytes written as they are.
        if (L::HEX_ESCAPES && (c < 0x20 || c == 0x7F)) {
            hex[0] = '\\';
            hex[1] = HEX_DIGITS[c >> 4];
            hex[2] = HEX_DIGITS[c & 15];
            hex[3] = '\0';
            return hex;
        }
        return nullptr;
    }
}

template <Syntax S> std::string quote_in(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    char hex[4];
    std::size_t plain = 0; // the start of the bytes not yet written, which need no escape
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const char* e = escape_of<S>(static_cast<unsigned char>(text[i]), hex)) {
            out.append(text, plain, i - plain);
            out += e;
            plain = i + 1;
        }
    }
    out.append(text, plain);
    out += '"';
    return out;
}

// Appends code point `cp` (a Unicode scalar value) as UTF-8.
void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
        return;
    }
    char b[4];
    int n;
    if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | cp >> 6);
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | cp >> 12);
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | cp >> 18);
        n = 4;
    }
    for (int k = 1; k < n; ++k)
        b[k] = static_cast<char>(0x80 | ((cp >> (6 * (n - 1 - k))) & 0x3F));
    out.append(b, static_cast<std::size_t>(n));
}

// Reads the "{hex}" of a \u{...} escape from `i` (hex digits, '_' between two of them) and
// moves `i` past it. False when it is malformed or names no scalar value.
bool read_code_point(std::string_view s, std::size_t& i, std::uint32_t& cp) noexcept {
    if (i >= s.size() || s[i] != '{')
        return false;
    cp = 0;
    bool digit_before = false;
    for (++i; i < s.size(); ++i) {
        char c = s[i];
        if (c == '}') {
            ++i;
            return digit_before && (cp < 0xD800 || cp > 0xDFFF);
        }
        int v = hex_value(c);
        if (c == '_' && digit_before && i + 1 < s.size() && hex_value(s[i + 1]) >= 0) {
            digit_before = false;
            continue;
        }
        if (v < 0)
            return false;
        cp = cp << 4 | static_cast<std::uint32_t>(v);
        if (cp > 0x10FFFF)
            return false;
        digit_before = true;
    }
    return false;
}

template <Syntax S> Unquoted unquote_in(std::string_view atom, std::string& out) {
    using L = Lexicon<S>;
    if (!one_atom<S>(atom))
        return Unquoted::NotOneAtom;
    if constexpr (!L::RUNS)
        return Unquoted::Bare;
    const char q = atom[0];
    if (q != '"' && !(L::BAR_RUNS && q == '|')) {
        // A run that starts inside an atom leaves it no one meaning.
        bool run = atom.find('"') != atom.npos || (L::BAR_RUNS && atom.find('|') != atom.npos);
        return run ? Unquoted::Mixed : Unquoted::Bare;
    }
    const std::size_t n = atom.size();
    out.clear();
    out.reserve(n);
    bool hex_bytes = false;
    std::size_t i = 1;
    // The run is closed (the atom is one token), so every escape has its byte and every scan
    // stops at a closing quote byte.
    for (;;) {
        const char c = atom[i];
        if (c == q) {
            if (!L::ESCAPES && q == '"' && i + 1 < n && atom[i + 1] == '"') {
                out += '"';
                i += 2;
                continue;
            }
            break;
        }
        if (!L::ESCAPES || c != '\\') {
            std::size_t end = i + 1;
            while (atom[end] != q && !(L::ESCAPES && atom[end] == '\\'))
                ++end;
            out.append(atom, i, end - i);
            i = end;
            continue;
        }
        const char e = atom[i + 1];
        i += 2;
        if (q != '"' || e == '"' || e == '\\') {
            out += e;
            continue;
        }
        if (e == 'n' || e == 'r' || e == 't') {
            out += e == 'n' ? '\n' : (e == 'r' ? '\r' : '\t');
            continue;
        }
        if constexpr (L::ESCAPE_ANY) {
            out += e;
            continue;
        } else if constexpr (L::HEX_ESCAPES) {
            if (e == '\'') {
                out += e;
                continue;
            }
            if (e == 'u') {
                std::uint32_t cp;
                if (!read_code_point(atom, i, cp))
                    return Unquoted::BadCodePoint;
                append_utf8(out, cp);
                continue;
            }
            int hi = hex_value(e), lo = hex_value(atom[i]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi << 4 | lo);
                hex_bytes = true;
                ++i;
                continue;
            }
        }
        return Unquoted::UnknownEscape;
    }
    if (i != n - 1)
        return Unquoted::Mixed;
    if (hex_bytes && !is_valid_utf8(out.data(), out.size()))
        return Unquoted::NotUtf8;
    return Unquoted::Decoded;
}

} // namespace

bool is_one_atom(std::string_view text, Syntax syntax) noexcept {
    return with_syntax(syntax, [&](auto s) noexcept { return one_atom<s.value>(text); });
}

bool has_quoting(Syntax syntax) noexcept {
    return with_syntax(syntax, [](auto s) noexcept { return Lexicon<s.value>::RUNS; });
}

std::string quote(std::string_view text, Syntax syntax) {
    return with_syntax(syntax, [&](auto s) { return quote_in<s.value>(text); });
}

Unquoted unquote(std::string_view atom, Syntax syntax, std::string& out) {
    return with_syntax(syntax, [&](auto s) { return unquote_in<s.value>(atom, out); });
}

const char* unquote_message(Unquoted outcome) noexcept {
    switch (outcome) {
    case Unquoted::NotOneAtom:
        return "text is not one atom in this syntax";
    case Unquoted::Mixed:
        return "atom mixes a quoted string with other text";
    case Unquoted::UnknownEscape:
        return "unknown escape in quoted string";
    case Unquoted::BadCodePoint:
        return "invalid \\u{...} escape in quoted string";
    case Unquoted::NotUtf8:
        return "escaped bytes are not valid UTF-8";
    case Unquoted::Bare:
    case Unquoted::Decoded:
        break;
    }
    internal_fault("not a refusal");
}

} // namespace sexp
