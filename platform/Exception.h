#pragma once
// The general exception of the program and its runtime: a message text. Every
// failure in Corvale is reported by raising one of these (or a subclass).
#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string AMessage) : Message(std::move(AMessage)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

// A text that should have been a number (or another value) was not one.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A file could not be opened, read or written.
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};

// An index outside a list.
class EListError : public Exception {
 public:
  using Exception::Exception;
};
