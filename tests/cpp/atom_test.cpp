#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "memory/atom.hpp"

using sexp::AtomText;

namespace {

std::string repeat(std::string_view piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i)
        s += piece;
    return s;
}

TEST(AtomText, StorageIsChosenByUtf8ByteLength) {
    struct Case {
        std::string text;
        bool is_inline;
    } cases[] = {
        {"", true},
        {"a", true},
        {std::string(15, 'x'), true},
        {std::string(16, 'x'), false},
        {std::string(4096, 'y'), false},
        {repeat("\xC3\xA9", 7), true}, // 14 bytes, 7 characters
        {repeat("\xC3\xA9", 8), false},
        {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", true}, // 5 x 3 bytes
        {std::string("a\0b", 3), true},
        {std::string("0123456789\0abcdefgh", 19), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        AtomText t = AtomText::make(c.text);
        EXPECT_TRUE(t.is_text());
        EXPECT_EQ(t.is_inline(), c.is_inline);
        EXPECT_EQ(t.is_heap(), !c.is_inline);
        EXPECT_EQ(t.view(), c.text);
        t.destroy();
    }
}

TEST(AtomText, CopyOfHeapTextOwnsItsOwnBuffer) {
    for (std::size_t len : {15u, 16u, 300u}) {
        std::string s(len, 'q');
        AtomText a = AtomText::make(s);
        AtomText b = a.copy();
        EXPECT_EQ(b.view(), s);
        EXPECT_EQ(a.is_heap(), b.is_heap());
        if (a.is_heap()) {
            EXPECT_NE(a.view().data(), b.view().data());
        }
        a.destroy(); // b must survive its source
        EXPECT_EQ(b.view(), s);
        b.destroy();
    }
}

} // namespace
