#pragma once
// The framework's exception root. Every error the program raises on purpose derives from it
// and carries a fixed, human-readable message.
#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A text that does not read as the number that was asked for.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A value outside the range its setter accepts.
class ERangeError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be opened, read or written.
class EFileError : public Exception {
public:
    using Exception::Exception;
};
