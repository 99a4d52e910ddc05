#include "json.h"

#include <cstdio>
#include <stdexcept>

namespace tav712 {
namespace {

void escapeInto(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

Json& Json::set(const std::string& key, Json value) {
  auto* members = std::get_if<Object>(&value_);
  if (members == nullptr) throw std::logic_error("Json::set on a value that is not an object");
  for (auto& member : *members) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  members->emplace_back(key, std::move(value));
  return *this;
}

Json& Json::push(Json value) {
  auto* elements = std::get_if<Array>(&value_);
  if (elements == nullptr) throw std::logic_error("Json::push on a value that is not an array");
  elements->push_back(std::move(value));
  return *this;
}

std::string Json::dump() const {
  std::string out;
  dumpTo(out);
  return out;
}

void Json::dumpTo(std::string& out) const {
  struct Visitor {
    std::string& out;
    void operator()(std::nullptr_t) const { out += "null"; }
    void operator()(bool value) const { out += value ? "true" : "false"; }
    void operator()(std::int64_t value) const { out += std::to_string(value); }
    void operator()(double value) const {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", value);
      out += buffer;
    }
    void operator()(const std::string& value) const { escapeInto(out, value); }
    void operator()(const Array& elements) const {
      out += '[';
      for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i != 0) out += ',';
        elements[i].dumpTo(out);
      }
      out += ']';
    }
    void operator()(const Object& members) const {
      out += '{';
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (i != 0) out += ',';
        escapeInto(out, members[i].first);
        out += ':';
        members[i].second.dumpTo(out);
      }
      out += '}';
    }
  };
  std::visit(Visitor{out}, value_);
}

}  // namespace tav712
