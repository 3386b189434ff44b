#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace kqodbc {

// A connection string's attributes: KEY=VALUE pairs split by ';', a value in braces may hold ';' and
// '}}' stands for '}'. Keys compare without regard to case, as the managers compare them.
class ConnectionString {
 public:
  explicit ConnectionString(std::string text);

  bool Has(const std::string& key) const;
  // The value of the first attribute of that key, braces removed; "" when there is none.
  std::string Value(const std::string& key) const;
  // The text without the attributes of those keys, everything else exactly as given.
  std::string Without(std::initializer_list<const char*> keys) const;

 private:
  struct Attribute {
    std::string Key;
    std::string Value;
    std::size_t Begin = 0;  // the attribute's text with its ';'
    std::size_t End = 0;
  };
  const Attribute* Find(const std::string& key) const;

  std::string FText;
  std::vector<Attribute> FAttributes;
};

}  // namespace kqodbc
