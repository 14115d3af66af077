#pragma once

#include <QString>

#include <optional>
#include <utility>

// Why something failed (for the code that decides what to do next) and the text
// the player reads. One shape for every failure inside the engine and the tools.
struct Failure
{
    enum class Kind
    {
        Network,     // no connection, unknown host, TLS, a request cut off
        Stalled,     // the server stopped sending
        Server,      // an HTTP status or an answer that contradicts itself
        InvalidData, // a manifest, record, index or archive that cannot be used
        FileSystem,  // a read, write, rename or remove failed
        NoSpace,     // not enough room where the files go
        Refused,     // a path or folder the rules do not allow (links, overlaps, ...)
        GameRunning, // the game holds files that would change
        Busy,        // other work is under way
        Declined,    // the player said no
        Cancelled,   // stopped on purpose
        Internal     // a child process or tool that failed without saying why
    };

    Kind kind = Kind::Internal;
    QString message;
};

// A value, or the failure that prevented it.
template<typename T>
class [[nodiscard]] Result final
{
public:
    Result(T value) : val(std::move(value)) {}
    Result(Failure failure) : err(std::move(failure)) {}
    static Result fail(Failure::Kind kind, QString message)
    {
        return Result(Failure{kind, std::move(message)});
    }

    bool ok() const { return val.has_value(); }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return *val; }
    T &value() & { return *val; }
    T &&value() && { return std::move(*val); }
    const T &operator*() const & { return *val; }
    const T *operator->() const { return &*val; }

    const Failure &failure() const { return err; }
    Failure::Kind kind() const { return err.kind; }
    const QString &message() const { return err.message; }

private:
    std::optional<T> val;
    Failure err;
};

// Success without a value, or a failure.
template<>
class [[nodiscard]] Result<void> final
{
public:
    Result() = default;
    Result(Failure failure) : failed(true), err(std::move(failure)) {}
    static Result fail(Failure::Kind kind, QString message)
    {
        return Result(Failure{kind, std::move(message)});
    }

    bool ok() const { return !failed; }
    explicit operator bool() const { return ok(); }

    const Failure &failure() const { return err; }
    Failure::Kind kind() const { return err.kind; }
    const QString &message() const { return err.message; }

private:
    bool failed = false;
    Failure err;
};

using Status = Result<void>;
