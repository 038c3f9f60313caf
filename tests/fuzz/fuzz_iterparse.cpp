// Any bytes, in the syntax the first byte picks, read form by form: in chunks of sizes the
// input picks, exactly as in one piece; each form as parse reads its bytes alone; and the
// whole reading as parse reads the whole text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/render.hpp"
#include "model.hpp"
#include "parse/parser.hpp"
#include "tree_check.hpp"

using fuzz_model::fail;

namespace {

struct Reading {
    std::vector<sexp::Tree> forms;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    bool failed = false;
    sexp::ParseErrorKind error{};
};

// Reads `text` whole (chunk 0) or in chunks whose sizes come from `seed`.
Reading read(std::string_view text, sexp::Syntax s, std::size_t chunk, std::uint32_t seed) {
    sexp::FormReader reader(s);
    if (chunk == 0)
        reader.read_text(text, false);
    Reading out;
    std::size_t fed = 0;
    for (;;) {
        switch (reader.next()) {
        case sexp::FormReader::Status::Form:
            out.forms.push_back(reader.take_form());
            out.ranges.emplace_back(reader.form_begin(), reader.form_end());
            if (auto ok = sexp_test::check_invariants(out.forms.back()); !ok)
                fail("a form breaks an invariant", ok.message());
            continue;
        case sexp::FormReader::Status::NeedBytes: {
            if (chunk == 0)
                fail("a whole text asked for more bytes");
            if (fed == text.size()) {
                reader.finish();
                continue;
            }
            seed = seed * 1103515245u + 12345u;
            std::size_t n = 1 + (seed >> 16) % chunk;
            n = std::min(n, text.size() - fed);
            reader.append(text.data() + fed, n);
            fed += n;
            continue;
        }
        case sexp::FormReader::Status::Done:
            return out;
        case sexp::FormReader::Status::Error:
            out.failed = true;
            out.error = reader.error();
            return out;
        }
    }
}

std::string text_of(const sexp::Tree& t) {
    std::string out;
    sexp::render(t, t.root, out);
    return out;
}

void expect_same(const Reading& a, const Reading& b, std::string_view what) {
    if (a.forms.size() != b.forms.size() || a.ranges != b.ranges || a.failed != b.failed ||
        (a.failed && a.error != b.error))
        fail("chunked reading differs from whole reading", std::string(what));
    for (std::size_t i = 0; i < a.forms.size(); ++i)
        if (!sexp::subtrees_equal(a.forms[i], a.forms[i].root, b.forms[i], b.forms[i].root))
            fail("a chunked form differs from the whole reading's", text_of(b.forms[i]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const auto s = static_cast<sexp::Syntax>(data[0] % 5);
    const std::size_t chunk = 1 + data[1] % 64;
    std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

    Reading whole = read(text, s, 0, 0);
    expect_same(read(text, s, chunk, static_cast<std::uint32_t>(size)), whole, "random chunks");
    expect_same(read(text, s, 1, 0), whole, "single bytes");

    // Each form is what parse makes of its own bytes; the forms come in text order, before
    // the first invalid UTF-8 byte.
    std::size_t valid = sexp::utf8_prefix(text.data(), text.size()).valid;
    std::size_t last_end = 0;
    for (std::size_t i = 0; i < whole.forms.size(); ++i) {
        auto [b, e] = whole.ranges[i];
        if (b < last_end || e <= b || e > valid)
            fail("a form's range is out of order or past the valid text");
        last_end = e;
        // A kicad atom starting with '#' after something else on its line reads as a comment
        // once it starts a text of its own.
        if (s == sexp::Syntax::Kicad && text[b] == '#')
            continue;
        sexp::ParseResult one = sexp::parse(text.substr(b, e - b), s);
        if (!one.tree || !sexp::subtrees_equal(*one.tree, one.tree->root, whole.forms[i],
                                               whole.forms[i].root))
            fail("a form differs from parse of its bytes", std::string(text.substr(b, e - b)));
    }
    if (whole.failed != (valid < text.size()) && whole.error == sexp::ParseErrorKind::InvalidUtf8)
        fail("an invalid UTF-8 error without invalid bytes, or the reverse");
    if (valid < text.size())
        return 0;

    // On valid text the reading agrees with parse of the whole: the same error, or no form
    // (an empty root), one (equal) or several (parse refuses them).
    sexp::ParseResult all = sexp::parse(text, s);
    if (whole.failed) {
        if (all.tree || all.error != whole.error)
            fail("the reading's error is not parse's");
    } else if (whole.forms.empty()) {
        if (!all.tree || !all.tree->implicit_root)
            fail("no form read, but parse found one");
    } else if (whole.forms.size() == 1) {
        if (!all.tree || !sexp::subtrees_equal(*all.tree, all.tree->root, whole.forms[0],
                                               whole.forms[0].root))
            fail("the one form read differs from parse");
    } else if (all.tree || all.error != sexp::ParseErrorKind::MultipleTopLevel) {
        fail("several forms read, but parse does not refuse them");
    }
    return 0;
}
