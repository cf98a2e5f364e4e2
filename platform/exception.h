// The class library's exception root. Every error of the platform and of the
// engine derives from Exception; the guarded steps of the program catch it
// and its descendants only.
#pragma once

#include <exception>
#include <utility>

#include "platform/text.h"

namespace platform {

class Exception : public std::exception {
  public:
    explicit Exception(AnsiString message) : message_(std::move(message)) {}
    // Windows-1252 bytes, as shown to the user.
    const AnsiString& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    AnsiString message_;
};

// The silent abort: the application-level handler shows nothing for it.
class EAbort : public Exception {
  public:
    EAbort() : Exception("Operation aborted") {}
    explicit EAbort(AnsiString message) : Exception(std::move(message)) {}
};

// Raised by a platform call that the operating system refused (file I/O).
class EOSError : public Exception {
  public:
    using Exception::Exception;
};

}  // namespace platform
