#include "tools/CommandLineSupport.hpp"

#include <algorithm>

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

void ParseArguments(std::span<const std::string_view> arguments, const TSetProperty& set, std::string& unparsed,
                    std::vector<std::string>* ignored) {
  std::vector<std::string> rest;
  // The unparsed text is handed back also when a conversion error leaves
  // the loop.
  struct THandBack {
    std::vector<std::string>& items;
    std::string& text;
    ~THandBack() { text = CommaText(items); }
  } handBack{rest, unparsed};

  const auto unbound = [&](std::string_view argument, bool unparsedToo) {
    if (unparsedToo) rest.emplace_back(argument);
    if (ignored) ignored->emplace_back(argument);
  };
  for (std::string_view argument : arguments) {
    if (argument.size() < 2 || argument[0] != '-' || argument[1] != '-') {
      unbound(argument, false);
      continue;
    }
    std::string_view name = argument.substr(2);
    std::string value = "true";
    const std::size_t eq = name.find('=');
    if (eq != std::string_view::npos) {
      value.assign(name.substr(eq + 1));
      name = name.substr(0, eq);
    }
    if (name.empty()) {
      unbound(argument, true);
      continue;
    }
    std::string bare;
    bare.reserve(name.size());
    for (char c : name) {
      if (c != '-') bare.push_back(c);
    }
    if (!set(bare, value)) unbound(argument, true);
  }
}

std::vector<std::string> HelpLines(const std::vector<THelpRow>& rows) {
  std::size_t nameWidth = 6;  // "Option"
  std::size_t typeWidth = 4;  // "Type"
  std::size_t defaultWidth = 7;  // "Default"
  for (const THelpRow& row : rows) {
    nameWidth = std::max(nameWidth, row.name.size() + 2);
    typeWidth = std::max(typeWidth, row.type.size());
    defaultWidth = std::max(defaultWidth, row.defaultText.size());
  }
  const auto line = [&](std::string_view name, std::string_view type, std::string_view defaultText,
                        std::string_view meaning) {
    std::string text = "  ";
    text.append(name).append(nameWidth + 2 - name.size(), ' ');
    text.append(type).append(typeWidth + 2 - type.size(), ' ');
    text.append(defaultText).append(defaultWidth + 2 - defaultText.size(), ' ');
    text.append(meaning);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  std::vector<std::string> lines;
  lines.push_back(line("Option", "Type", "Default", "Meaning"));
  for (const THelpRow& row : rows) {
    lines.push_back(line("--" + std::string(row.name), row.type, row.defaultText.empty() ? "(empty)" : row.defaultText,
                         row.meaning));
  }
  return lines;
}

}  // namespace cmdline

bool AsksForHelp(std::span<const std::string_view> arguments) {
  for (std::string_view argument : arguments) {
    if (argument == "-h" || SameText(argument, "--help")) return true;
  }
  return false;
}

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
