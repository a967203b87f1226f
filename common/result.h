// How a core says that something could not be done: it returns a Result, which holds either the
// value or one line saying why, written for the admin who reads it ("--port: not a port number:
// x"). Cores never throw and never print; the shell around them decides where the line goes.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace common {

template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts to a success
    static Result failure(std::string why) {
        Result r;
        r.why_ = std::move(why);
        return r;
    }

    explicit operator bool() const { return value_.has_value(); }
    bool ok() const { return value_.has_value(); }
    T &operator*() { return *value_; }
    const T &operator*() const { return *value_; }
    T *operator->() { return &*value_; }
    const T *operator->() const { return &*value_; }
    // Why it failed; empty on success.
    const std::string &why() const { return why_; }

private:
    Result() = default;
    std::optional<T> value_;
    std::string why_;
};

// A step that gives nothing back: it was done, or it failed and says why.
template <>
class Result<void> {
public:
    Result() = default;  // done
    static Result failure(std::string why) {
        Result r;
        r.failed_ = true;
        r.why_ = std::move(why);
        return r;
    }

    explicit operator bool() const { return !failed_; }
    bool ok() const { return !failed_; }
    const std::string &why() const { return why_; }

private:
    bool failed_ = false;
    std::string why_;
};

// A failure of any Result type, for `return fail("...")` in a function that returns a Result.
struct FailureText {
    std::string why;
    template <class T>
    operator Result<T>() && {  // NOLINT: converts to the function's own Result
        return Result<T>::failure(std::move(why));
    }
};
inline FailureText fail(std::string why) {
    return FailureText{std::move(why)};
}

}  // namespace common
