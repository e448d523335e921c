// Fuzz target: the command-line value conversions and the binder.
//
// The input is split at NUL bytes into arguments. Each argument's value is
// converted with the integer rule and compared with the reference rule; the
// whole list is bound onto a probe object with every bindable kind (and one
// that is not), and onto the real option tables of both tools. The binder may
// raise only its two conversion errors. The unparsed list's comma text must
// decode back to the arguments that were collected.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/KsFuzzOracle.hpp"
#include "tools/CommandLineSupport.hpp"
#include "tools/SiphonUnit.hpp"
#include "tools/SpigotUnit.hpp"
#include "support/KsText.hpp"

using ks::fuzz::FuzzCheck;

namespace {

constexpr std::string_view kColours[] = {"Red", "Green", "Blue"};

class TProbe {
 public:
  void SetCount(std::int32_t v) { count = v; }
  void SetBig(std::int64_t v) { big = v; }
  void SetFlag(bool v) { flag = v; }
  void SetColour(std::int32_t v) { colour = v; }
  void SetName(const std::string& v) { name = v; }

  static std::span<const ks::TPublishedProperty<TProbe>> PublishedProperties() {
    static const ks::TPublishedProperty<TProbe> table[] = {
        ks::Int32Property<TProbe>("Count", &TProbe::SetCount),
        ks::Int64Property<TProbe>("Big", &TProbe::SetBig),
        ks::BooleanProperty<TProbe>("Flag", &TProbe::SetFlag),
        ks::EnumerationProperty<TProbe>("Colour", &TProbe::SetColour, kColours),
        ks::StringProperty<TProbe>("Name", &TProbe::SetName),
        ks::TPublishedProperty<TProbe>{"Ratio", ks::TPropertyKind::Float},
    };
    return table;
  }

  std::int32_t count = 0;
  std::int64_t big = 0;
  bool flag = false;
  std::int32_t colour = -1;
  std::string name;
};

// Decodes comma text: items split at commas outside double quotes, a quoted
// item's doubled quotes made single.
std::vector<std::string> DecodeCommaText(std::string_view text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::size_t i = 0;
  for (;;) {
    std::string item;
    if (i < text.size() && text[i] == '"') {
      ++i;
      for (;;) {
        if (i >= text.size()) return {"<unterminated quote>"};
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item.push_back(text[i++]);
      }
      if (i < text.size() && text[i] != ',') return {"<text after closing quote>"};
    } else {
      while (i < text.size() && text[i] != ',') item.push_back(text[i++]);
    }
    items.push_back(item);
    if (i >= text.size()) break;
    ++i;  // the comma
  }
  return items;
}

template <class T>
void Bind(T& target, std::span<const std::string_view> arguments) {
  std::string unparsed;
  try {
    ks::TCommandLineSupport::ParseCommandLine(target, arguments, unparsed);
  } catch (const ks::EConvertError& e) {
    FuzzCheck(std::string_view(e.what()).ends_with("'' is not a valid integer value"), "integer error text");
  } catch (const ks::EPropertyConvertError& e) {
    FuzzCheck(std::string_view(e.what()).starts_with("Invalid property element: "), "element error text");
  } catch (...) {
    FuzzCheck(false, "the binder raised something other than its conversion errors");
  }
  // Every collected item is an argument that starts with "--", in order.
  const std::vector<std::string> items = DecodeCommaText(unparsed);
  std::size_t next = 0;
  for (const std::string& item : items) {
    FuzzCheck(item.starts_with("--"), "an unparsed item does not start with --");
    while (next < arguments.size() && arguments[next] != item) ++next;
    FuzzCheck(next < arguments.size(), "an unparsed item is not one of the arguments, in order");
    ++next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> storage;
  std::size_t pos = 0;
  while (pos <= text.size() && storage.size() < 64) {
    std::size_t nul = text.find('\0', pos);
    if (nul == std::string_view::npos) nul = text.size();
    storage.emplace_back(text.substr(pos, nul - pos));
    pos = nul + 1;
  }
  std::vector<std::string_view> arguments(storage.begin(), storage.end());

  for (const std::string& argument : storage) {
    const std::size_t eq = argument.find('=');
    const std::string value = eq == std::string::npos ? argument : argument.substr(eq + 1);
    const auto expected = ks::fuzz::ReferenceIntegerRule(value, 32);
    try {
      const std::int32_t got = ks::cmdline::ConvertInt32(value);
      FuzzCheck(expected.has_value() && *expected == got, "ConvertInt32 accepted or mis-read a value");
    } catch (const ks::EConvertError& e) {
      FuzzCheck(!expected.has_value(), "ConvertInt32 refused a valid integer");
      FuzzCheck(std::string(e.what()) == "''" + value + "'' is not a valid integer value", "integer error text");
    }
    const auto expected64 = ks::fuzz::ReferenceIntegerRule(value, 64);
    std::int64_t got64 = 0;
    const bool ok64 = ks::TryStrToInt64(value, got64);
    FuzzCheck(ok64 == expected64.has_value() && (!ok64 || got64 == *expected64), "TryStrToInt64 differs");
  }

  TProbe probe;
  Bind(probe, arguments);
  FuzzCheck(probe.colour >= -1 && probe.colour < 3, "enumeration ordinal out of range");

  ks::TSpigot spigot;
  Bind(spigot, arguments);
  auto siphon = std::make_shared<ks::TSiphon>();
  Bind(*siphon, arguments);

  // Comma text of arbitrary items decodes back to the items.
  const std::vector<std::string> items(storage.begin(), storage.end());
  const std::string comma = ks::CommaText(items);
  if (!(items.size() == 1 && items[0].empty())) {
    FuzzCheck(DecodeCommaText(comma) == items, "comma text does not decode to its items");
  }
  return 0;
}
