// Entity names, codes and labels; parsing a snake name; status, certainty and reason names.
#include "detect/entity.hpp"

#include "detect/detect.hpp"
#include "text/debug_string.hpp"

namespace kestrix {
namespace {

constexpr std::array<std::string_view, kEntityCount> kNames = {
    "resident",      "foreigner_registration", "business_registration", "credit_card",
    "bank_account",  "phone",                  "email",                 "driver_license",
    "birth_date",    "passport",
};

constexpr std::array<std::string_view, kEntityCount> kCodes = {
    "RESIDENT",     "FOREIGNER_REGISTRATION", "BUSINESS_REGISTRATION", "CREDIT_CARD",
    "BANK_ACCOUNT", "PHONE",                  "EMAIL",                 "DRIVER_LICENSE",
    "BIRTH_DATE",   "PASSPORT",
};

constexpr std::array<std::string_view, kEntityCount> kLabels = {
    "주민등록번호", "외국인등록번호", "사업자등록번호", "카드번호", "계좌번호",
    "전화번호",     "이메일",         "운전면허번호",   "생년월일", "여권번호",
};

std::size_t index(Entity e) {
  auto i = static_cast<std::size_t>(e);
  return i < kEntityCount ? i : 0;
}

}  // namespace

std::string_view entity_name(Entity e) { return kNames[index(e)]; }
std::string_view entity_code(Entity e) { return kCodes[index(e)]; }
std::string_view entity_label(Entity e) { return kLabels[index(e)]; }
const std::array<std::string_view, kEntityCount>& entity_names() { return kNames; }

std::expected<Entity, std::string> parse_entity(std::string_view name) {
  for (std::size_t i = 0; i < kEntityCount; ++i)
    if (kNames[i] == name) return static_cast<Entity>(i);
  std::string msg = "unknown entity ";
  append_debug_string(msg, name);
  msg += "; expected one of ";
  for (std::size_t i = 0; i < kEntityCount; ++i) {
    if (i) msg += ", ";
    msg += kNames[i];
  }
  return std::unexpected(std::move(msg));
}

std::string_view status_name(ChecksumStatus s) {
  switch (s) {
    case ChecksumStatus::passed: return "passed";
    case ChecksumStatus::failed: return "failed";
    case ChecksumStatus::not_applicable: return "not_applicable";
  }
  return "not_applicable";
}

std::string_view certainty_name(Certainty c) {
  switch (c) {
    case Certainty::possible: return "possible";
    case Certainty::probable: return "probable";
    case Certainty::certain: return "certain";
  }
  return "possible";
}

std::string_view reject_reason_name(RejectReason r) {
  switch (r) {
    case RejectReason::checksum_failed: return "checksum_failed";
    case RejectReason::no_context: return "no_context";
    case RejectReason::below_threshold: return "below_threshold";
    case RejectReason::outranked: return "outranked";
    case RejectReason::business_context: return "business_context";
  }
  return "below_threshold";
}

}  // namespace kestrix
