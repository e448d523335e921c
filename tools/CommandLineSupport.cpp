#include "tools/CommandLineSupport.hpp"

#include "support/KsText.hpp"

namespace ks {

namespace cmdline {

std::int32_t ConvertInt32(const std::string& value) {
  std::int32_t result = 0;
  if (!TryStrToInt32(value, result)) throw EConvertError("''" + value + "'' is not a valid integer value");
  return result;
}

std::int32_t ConvertOrdinal(std::span<const std::string_view> members, const std::string& value) {
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (SameText(members[i], value)) return static_cast<std::int32_t>(i);
  }
  throw EPropertyConvertError("Invalid property element: " + value);
}

std::ptrdiff_t FindProperty(std::size_t count, const std::function<std::string_view(std::size_t)>& nameAt,
                            std::string_view name) {
  for (std::size_t i = 0; i < count; ++i) {
    if (SameText(nameAt(i), name)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

void ParseArguments(std::span<const std::string_view> arguments, const TSetProperty& set, std::string& unparsed) {
  std::vector<std::string> rest;
  // The unparsed text is handed back also when a conversion error leaves
  // the loop.
  struct THandBack {
    std::vector<std::string>& items;
    std::string& text;
    ~THandBack() { text = CommaText(items); }
  } handBack{rest, unparsed};

  for (std::string_view argument : arguments) {
    if (argument.size() < 2 || argument[0] != '-' || argument[1] != '-') continue;
    std::string_view name = argument.substr(2);
    std::string value = "true";
    const std::size_t eq = name.find('=');
    if (eq != std::string_view::npos) {
      value.assign(name.substr(eq + 1));
      name = name.substr(0, eq);
    }
    if (name.empty()) {
      rest.emplace_back(argument);
      continue;
    }
    std::string bare;
    bare.reserve(name.size());
    for (char c : name) {
      if (c != '-') bare.push_back(c);
    }
    if (!set(bare, value)) rest.emplace_back(argument);
  }
}

}  // namespace cmdline

std::string CommaText(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text.push_back(',');
    const std::string& item = items[i];
    bool quote = false;
    for (char c : item) {
      if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"' || c == 0x7F) {
        quote = true;
        break;
      }
    }
    if (!quote) {
      text += item;
      continue;
    }
    text.push_back('"');
    for (char c : item) {
      if (c == '"') text.push_back('"');
      text.push_back(c);
    }
    text.push_back('"');
  }
  return text;
}

}  // namespace ks
