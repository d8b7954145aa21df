#pragma once
// The exceptions of the network library. Every one derives from EIdException;
// those with a fixed text carry it as their default message.
#include <string>

#include "platform/Exception.h"

class EIdException : public Exception {
 public:
  using Exception::Exception;
};

class EIdSilentException : public EIdException {
 public:
  using EIdException::EIdException;
};

// The peer closed the connection (or there is no socket to wait on).
class EIdConnClosedGracefully : public EIdSilentException {
 public:
  EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

// A failed socket call; ErrorCode is the error number (Winsock numbering).
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int AErrorCode, std::string AMessage)
      : EIdException(std::move(AMessage)), ErrorCode(AErrorCode) {}
  int ErrorCode;
};

class EIdInvalidSocket : public EIdException {
 public:
  EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdInvalidServiceName : public EIdException {
 public:
  explicit EIdInvalidServiceName(const std::string& Name)
      : EIdException(Name + " is not a valid service.") {}
};

// A protocol reply whose code was not among the accepted ones.
class EIdProtocolReplyError : public EIdException {
 public:
  EIdProtocolReplyError(int AReplyCode, std::string AMessage)
      : EIdException(std::move(AMessage)), ReplyCode(AReplyCode) {}
  int ReplyCode;
};

class EIdDnsResolverError : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdAlreadyConnected : public EIdException {
 public:
  EIdAlreadyConnected() : EIdException("Already connected.") {}
};

class EIdStackError : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdStackInitializationFailed : public EIdStackError {
 public:
  EIdStackInitializationFailed() : EIdStackError("Winsock Initialization Error.") {}
};

class EIdStackSetSizeExceeded : public EIdStackError {
 public:
  EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};

class EIdStackCanNotLoadWinsock : public EIdException {
 public:
  explicit EIdStackCanNotLoadWinsock(const std::string& FileName)
      : EIdException(FileName + " could not be loaded.") {}
};

class EIdSocketHandleError : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdPackageSizeTooBig : public EIdSocketHandleError {
 public:
  EIdPackageSizeTooBig() : EIdSocketHandleError("Package Size Too Big.") {}
};

class EIdNotAllBytesSent : public EIdSocketHandleError {
 public:
  EIdNotAllBytesSent() : EIdSocketHandleError("Not all bytes sent.") {}
};

class EIdCouldNotBindSocket : public EIdSocketHandleError {
 public:
  EIdCouldNotBindSocket()
      : EIdSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class EIdMoreThanOneTIdAntiFreeze : public EIdException {
 public:
  EIdMoreThanOneTIdAntiFreeze()
      : EIdException("Only one TIdAntiFreeze can exist per application.") {}
};

// Errors of the TCP connection.
class EIdTCPConnectionError : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdObjectTypeNotSupported : public EIdTCPConnectionError {
 public:
  EIdObjectTypeNotSupported() : EIdTCPConnectionError("Object type not supported.") {}
};

class EIdNotEnoughDataInBuffer : public EIdTCPConnectionError {
 public:
  EIdNotEnoughDataInBuffer() : EIdTCPConnectionError("Not enough data in buffer.") {}
};

class EIdInterceptPropIsNil : public EIdTCPConnectionError {
 public:
  EIdInterceptPropIsNil()
      : EIdTCPConnectionError("InterceptEnabled cannot be set to true when Intercept is nil.") {}
};

class EIdInterceptPropInvalid : public EIdTCPConnectionError {
 public:
  EIdInterceptPropInvalid() : EIdTCPConnectionError("Intercept value is not valid") {}
};

class EIdNoDataToRead : public EIdTCPConnectionError {
 public:
  EIdNoDataToRead() : EIdTCPConnectionError("No data to read.") {}
};

// A line grew past the connection's MaxLineLength before its terminator came.
class EIdReadLineMaxLineLengthExceeded : public EIdTCPConnectionError {
 public:
  explicit EIdReadLineMaxLineLengthExceeded(int MaxLength)
      : EIdTCPConnectionError("Max line length exceeded (" + std::to_string(MaxLength) +
                              " bytes) while waiting for the end of a line.") {}
};

// A SOCKS proxy was asked for; this library connects only directly.
class EIdSocksError : public EIdException {
 public:
  using EIdException::EIdException;
};
