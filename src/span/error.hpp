// The three kinds of core error. All reach Python as SpanMapError with display() as message.
#pragma once
#include <cstdint>
#include <string>

namespace kestrix {

struct Error {
  enum class Kind : std::uint8_t { invariant, coordinate, restore_token };
  Kind kind = Kind::coordinate;
  std::uint32_t segment = 0;  // only for invariant errors
  std::string message;

  static Error invariant(std::uint32_t segment, std::string msg) {
    return {Kind::invariant, segment, std::move(msg)};
  }
  static Error coordinate(std::string msg) { return {Kind::coordinate, 0, std::move(msg)}; }
  static Error restore_token(std::string msg) { return {Kind::restore_token, 0, std::move(msg)}; }

  std::string display() const {
    switch (kind) {
      case Kind::invariant:
        return "span map invariant violated at segment " + std::to_string(segment) + ": " + message;
      case Kind::coordinate: return "span map coordinate mismatch: " + message;
      case Kind::restore_token: return "restore token error: " + message;
    }
    return message;
  }
};

}  // namespace kestrix
