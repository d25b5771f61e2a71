// A pointer and a length: the view the numeric core takes of a numpy buffer or a
// std::vector (C++17 has no std::span).
#pragma once

#include <cstddef>
#include <vector>

namespace cellcore {

template <typename T> struct Span {
    T* ptr = nullptr;
    std::size_t len = 0;

    Span() = default;
    Span(T* p, std::size_t n) : ptr(p), len(n) {}
    template <typename U> Span(std::vector<U>& v) : ptr(v.data()), len(v.size()) {}
    template <typename U>
    Span(const std::vector<U>& v) : ptr(v.data()), len(v.size()) {}

    T& operator[](std::size_t i) const { return ptr[i]; }
    T* begin() const { return ptr; }
    T* end() const { return ptr + len; }
    std::size_t size() const { return len; }
    bool empty() const { return len == 0; }
};

} // namespace cellcore
