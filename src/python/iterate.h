// Iteration over interpreter objects, and unpacking into a fixed number of values.
#pragma once

#include "python/object.h"

#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

namespace py {

// An iterator taken with iter(); next() gives nothing at the end signal and throws on any
// other error.
class iterator {
public:
    explicit iterator(handle iterable);
    std::optional<object> next();

private:
    object m_iterator;
};

// `for value in iterable`, as a C++ range.
class iterate {
public:
    explicit iterate(handle iterable) : m_iterator(iterable) {}

    class cursor {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = object;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = handle;

        explicit cursor(iterator* source) : m_source(source) { advance(); }
        cursor() = default;
        handle operator*() const { return *m_current; }
        cursor& operator++() {
            advance();
            return *this;
        }
        bool operator==(const cursor& other) const { return m_source == other.m_source; }
        bool operator!=(const cursor& other) const { return !(*this == other); }

    private:
        void advance() {
            m_current = m_source->next();
            if (!m_current)
                m_source = nullptr;
        }
        iterator* m_source = nullptr;
        std::optional<object> m_current;
    };

    cursor begin() { return cursor(&m_iterator); }
    cursor end() { return cursor(); }

private:
    iterator m_iterator;
};

// `a, b, ... = iterable` for exactly `count` values, with the interpreter's messages:
// "need more than %d values to unpack" and "too many values to unpack".
std::vector<object> unpack(handle iterable, std::size_t count);

template <std::size_t N>
std::array<object, N> unpack(handle iterable) {
    std::vector<object> values = unpack(iterable, N);
    std::array<object, N> result;
    for (std::size_t i = 0; i < N; ++i)
        result[i] = std::move(values[i]);
    return result;
}

}  // namespace py
