// A first-in first-out queue for the few entries a connection keeps in order (the requests whose
// answers are still to come). Unlike std::deque it takes no memory until the first entry, and it
// keeps what it took when it empties, so that a connection that opens, asks once and goes allocates
// once at most, and a kept-alive one not again.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace common {

template <class T>
class Fifo {
public:
    bool empty() const { return first_ == items_.size(); }
    std::size_t size() const { return items_.size() - first_; }

    T &front() { return items_[first_]; }
    const T &front() const { return items_[first_]; }
    T &back() { return items_.back(); }
    const T &back() const { return items_.back(); }

    void push_back(T item) { items_.push_back(std::move(item)); }
    template <class... Args>
    T &emplace_back(Args &&...args) {
        return items_.emplace_back(std::forward<Args>(args)...);
    }

    void pop_back() {
        items_.pop_back();
        if (empty()) clear();
    }
    void pop_front() {
        items_[first_] = T();  // what it held goes now, not when the queue next empties
        if (++first_ == items_.size()) {
            clear();
        } else if (first_ >= kCompactFrom && first_ * 2 >= items_.size()) {
            // A long pipeline: the taken half is given back so that the queue does not only grow.
            items_.erase(items_.begin(), items_.begin() + std::ptrdiff_t(first_));
            first_ = 0;
        }
    }
    void clear() {
        items_.clear();
        first_ = 0;
    }

    auto begin() { return items_.begin() + std::ptrdiff_t(first_); }
    auto end() { return items_.end(); }
    auto begin() const { return items_.begin() + std::ptrdiff_t(first_); }
    auto end() const { return items_.end(); }

private:
    static constexpr std::size_t kCompactFrom = 32;
    std::vector<T> items_;
    std::size_t first_ = 0;
};

}  // namespace common
