#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <string_view>
#include <utility>

#include "core/text_output.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// Writing straight into a str: one pass, no intermediate buffer. The str is made ASCII and
// resized as the text grows; if any byte turns out not to be ASCII, `finish` decodes the bytes
// into a proper str instead.
class StrOutput final : public TextOutput {
  public:
    explicit StrOutput(std::size_t capacity) {
        str_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
        if (str_ == nullptr)
            throw std::bad_alloc();
        cur = data();
        end = cur + capacity;
    }
    ~StrOutput() { Py_XDECREF(str_); }
    StrOutput(const StrOutput&) = delete;
    StrOutput& operator=(const StrOutput&) = delete;

    void grow(std::size_t need) override {
        std::size_t used = size();
        std::size_t capacity = static_cast<std::size_t>(end - data());
        std::size_t want = std::max(capacity * 2, used + need + 16);
        if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(want)) < 0)
            throw std::bad_alloc(); // str_ is still the old, intact object
        cur = data() + used;
        end = data() + want;
    }

    std::size_t size() const noexcept { return static_cast<std::size_t>(cur - data()); }
    char* data() const noexcept { return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_)); }
    std::string_view written() const noexcept override { return {data(), size()}; }

    // The ASCII str of what was written, which must all be ASCII. Only once.
    PyObject* take() {
        if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(size())) < 0)
            return nullptr;
        return std::exchange(str_, nullptr);
    }
    // The str of what was written through put and atom. Only once.
    PyObject* finish() {
        if (!is_ascii())
            return PyUnicode_DecodeUTF8(data(), static_cast<Py_ssize_t>(size()), nullptr);
        return take();
    }

  private:
    PyObject* str_;
};

} // namespace sexp::py
