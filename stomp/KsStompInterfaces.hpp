// KsStompInterfaces: IStompFrame, one STOMP frame as every layer above the
// socket sees it: a command (bytes), an ordered header list and a body
// (bytes, may hold NUL).
//
// Header list invariants: at most one entry per name, names compared with
// ASCII case folding; no entry has an empty value (setting an empty value
// removes the header); insertion order is kept and replacing a value keeps
// the entry's position. Names and values are UTF-8 text.
//
// Ownership: frames are shared through std::shared_ptr<IStompFrame>.
// Threads: one thread at a time; a complete frame may be handed to another
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stomp/KsStompTypes.hpp"

namespace ks {

class IStompFrame {
 public:
  virtual ~IStompFrame() = default;

  virtual const std::string& GetBody() const = 0;
  virtual const std::string& GetCommand() const = 0;
  virtual void SetBody(std::string body) = 0;
  virtual void SetCommand(std::string command) = 0;
  // Non-empty value: replaces the entry's value in place or appends a new
  // entry. Empty value: removes the entry if there is one.
  virtual void SetHeader(std::string_view name, std::string_view value) = 0;
  // The entry's value; empty text when there is none.
  virtual std::string GetHeader(std::string_view name) const = 0;
  virtual void RemoveHeader(std::string_view name) = 0;
  // The wire encoding: command LF, "name:value" LF per header, LF, body, NUL,
  // LF. Raises EKsStompError when a header name or value holds a byte that
  // would break the frame on the wire (LF, CR, NUL; ':' in a name).
  virtual std::string ToBytes() const = 0;
  virtual std::int32_t GetHeaderCount() const = 0;
  virtual TStompHeaders GetHeaders() const = 0;
  // index 0 .. count-1; otherwise EKsStompError "Index out of bounds".
  virtual TStompHeaderItem GetHeaderItem(std::int32_t index) const = 0;
};

}  // namespace ks
