// The ten entity kinds, their names, codes and labels, checksum statuses and certainties.
#pragma once
#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace kestrix {

enum class Entity : std::uint8_t {
  resident = 0,
  foreigner_registration,
  business_registration,
  credit_card,
  bank_account,
  phone,
  email,
  driver_license,
  birth_date,
  passport,
};
constexpr std::size_t kEntityCount = 10;

std::string_view entity_name(Entity e);   // "resident"
std::string_view entity_code(Entity e);   // "RESIDENT"
std::string_view entity_label(Entity e);  // "주민등록번호"
const std::array<std::string_view, kEntityCount>& entity_names();
// Exact, case-sensitive snake name; the error is the ValueError message.
std::expected<Entity, std::string> parse_entity(std::string_view name);

enum class ChecksumStatus : std::uint8_t { passed = 0, failed = 1, not_applicable = 2 };
std::string_view status_name(ChecksumStatus s);

enum class Certainty : std::uint8_t { possible = 0, probable = 1, certain = 2 };
std::string_view certainty_name(Certainty c);

}  // namespace kestrix
