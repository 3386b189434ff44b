#include "connection_string.h"

#include <algorithm>
#include <cctype>

namespace kqodbc {

namespace {

bool SameKey(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

ConnectionString::ConnectionString(std::string text) : FText(std::move(text)) {
  std::size_t at = 0;
  while (at < FText.size()) {
    Attribute attribute;
    attribute.Begin = at;
    const std::size_t equals = FText.find_first_of("=;", at);
    if (equals == std::string::npos || FText[equals] == ';') {
      at = equals == std::string::npos ? FText.size() : equals + 1;
      continue;
    }
    attribute.Key = Trimmed(FText.substr(at, equals - at));
    at = equals + 1;
    if (at < FText.size() && FText[at] == '{') {
      ++at;
      while (at < FText.size()) {
        if (FText[at] == '}') {
          if (at + 1 < FText.size() && FText[at + 1] == '}') {
            attribute.Value += '}';
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        attribute.Value += FText[at++];
      }
      at = std::min(FText.find(';', at), FText.size());
    } else {
      const std::size_t end = std::min(FText.find(';', at), FText.size());
      attribute.Value = Trimmed(FText.substr(at, end - at));
      at = end;
    }
    if (at < FText.size()) ++at;  // the ';'
    attribute.End = at;
    FAttributes.push_back(std::move(attribute));
  }
}

const ConnectionString::Attribute* ConnectionString::Find(const std::string& key) const {
  for (const auto& attribute : FAttributes)
    if (SameKey(attribute.Key, key)) return &attribute;
  return nullptr;
}

bool ConnectionString::Has(const std::string& key) const { return Find(key) != nullptr; }

std::string ConnectionString::Value(const std::string& key) const {
  const Attribute* attribute = Find(key);
  return attribute ? attribute->Value : std::string();
}

std::string ConnectionString::Without(std::initializer_list<const char*> keys) const {
  std::string result;
  std::size_t copied = 0;
  for (const auto& attribute : FAttributes) {
    const bool drop =
        std::any_of(keys.begin(), keys.end(), [&](const char* key) { return SameKey(attribute.Key, key); });
    if (!drop) continue;
    result += FText.substr(copied, attribute.Begin - copied);
    copied = attribute.End;
  }
  result += FText.substr(copied);
  return result;
}

}  // namespace kqodbc
