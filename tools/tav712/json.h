#pragma once
// A small JSON value for --json output: objects keep their insertion order so
// that output reads in the order the program did things.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tav712 {

class Json {
 public:
  using Array = std::vector<Json>;
  using Object = std::vector<std::pair<std::string, Json>>;

  Json() : value_(nullptr) {}
  Json(std::nullptr_t) : value_(nullptr) {}
  Json(bool value) : value_(value) {}
  Json(int value) : value_(static_cast<std::int64_t>(value)) {}
  Json(unsigned value) : value_(static_cast<std::int64_t>(value)) {}
  Json(std::int64_t value) : value_(value) {}
  Json(std::uint64_t value) : value_(static_cast<std::int64_t>(value)) {}
  Json(double value) : value_(value) {}
  Json(const char* value) : value_(std::string(value)) {}
  Json(std::string value) : value_(std::move(value)) {}
  Json(Array value) : value_(std::move(value)) {}
  Json(Object value) : value_(std::move(value)) {}

  static Json object() { return Json(Object{}); }
  static Json array() { return Json(Array{}); }

  // Adds a member to an object (replacing one of the same key) or an element to an array.
  Json& set(const std::string& key, Json value);
  Json& push(Json value);

  std::string dump() const;

 private:
  void dumpTo(std::string& out) const;
  std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object> value_;
};

}  // namespace tav712
