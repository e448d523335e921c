// CommandLineSupport: binds command-line arguments of the form --Name=value
// onto the published properties of a tool object.
//
// A bindable class T publishes its options as a static table:
//
//   static std::span<const TPublishedProperty<T>> PublishedProperties();
//
// built with the helpers Int32Property, Int64Property, BooleanProperty,
// EnumerationProperty and StringProperty (or with an unbindable kind, which
// the binder skips). The binder reads only that table; names are looked up
// without regard to ASCII case.
//
// Rules of ParseCommandLine, per argument from first to last (the program
// name is not an argument):
// - an argument that does not begin with "--" is ignored entirely;
// - the rest up to the first "=" is the name (every "-" removed), the rest
//   after it is the value ("true" when there is no "=");
// - an argument with an empty name, an unknown name or an unbindable kind
//   is collected, unchanged, in the unparsed list, handed back as comma
//   text (items joined by ","; an item with a blank, a control character, a
//   comma or a double quote is quoted, inner quotes doubled);
// - a value that does not convert raises EConvertError ("''%s'' is not a
//   valid integer value") or EPropertyConvertError ("Invalid property
//   element: %s"); earlier arguments stay applied, later ones are not read.
//   The unparsed text is still handed back for the arguments read so far.
//
// The arguments that bind to nothing (those of the unparsed list and those
// that do not begin with "--") may be collected as well, in argument order,
// for a tool that names them.
//
// Help: "--help" (any case) and "-h" ask for it (AsksForHelp); OptionsHelp
// renders the table as lines: each option with its type, default and
// meaning, as given with Help() on its entry.
//
// Integers follow ks::TryStrToInt32 (leading blanks, sign, decimal or $/x/0x
// hexadecimal, nothing after the digits). A 64-bit property takes the same
// 32-bit value, sign-extended. Enumeration values match a member name without
// regard to case (Boolean: exactly "true" or "false"). Strings are stored
// unchanged.
//
// Threads: reentrant; the target is written on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/KsException.hpp"

namespace ks {

// A value text that is not an integer.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A value text that names no member of an enumeration.
class EPropertyConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The kinds a published property may have; only the first four are bindable.
enum class TPropertyKind : std::uint8_t { Int32, Int64, Enumeration, String, Char, Float, Set, Object, Method, Variant };

inline constexpr std::string_view kBooleanMembers[] = {"False", "True"};

template <class T>
struct TPublishedProperty {
  std::string_view Name;
  TPropertyKind Kind;
  void (T::*SetInt32)(std::int32_t) = nullptr;
  void (T::*SetInt64)(std::int64_t) = nullptr;
  void (T::*SetBoolean)(bool) = nullptr;          // Enumeration with kBooleanMembers
  void (T::*SetOrdinal)(std::int32_t) = nullptr;  // any other Enumeration
  void (T::*SetString)(const std::string&) = nullptr;
  std::span<const std::string_view> Members{};    // Enumeration member names by ordinal
  std::string_view Default{};                     // for the help text
  std::string_view Meaning{};                     // one line, for the help text

  // This entry with its help text.
  constexpr TPublishedProperty Help(std::string_view defaultText, std::string_view meaning) const {
    TPublishedProperty p = *this;
    p.Default = defaultText;
    p.Meaning = meaning;
    return p;
  }
};

template <class T>
constexpr TPublishedProperty<T> Int32Property(std::string_view name, void (T::*setter)(std::int32_t)) {
  TPublishedProperty<T> p{name, TPropertyKind::Int32};
  p.SetInt32 = setter;
  return p;
}

template <class T>
constexpr TPublishedProperty<T> Int64Property(std::string_view name, void (T::*setter)(std::int64_t)) {
  TPublishedProperty<T> p{name, TPropertyKind::Int64};
  p.SetInt64 = setter;
  return p;
}

template <class T>
constexpr TPublishedProperty<T> BooleanProperty(std::string_view name, void (T::*setter)(bool)) {
  TPublishedProperty<T> p{name, TPropertyKind::Enumeration};
  p.SetBoolean = setter;
  p.Members = kBooleanMembers;
  return p;
}

template <class T>
constexpr TPublishedProperty<T> EnumerationProperty(std::string_view name, void (T::*setter)(std::int32_t),
                                                    std::span<const std::string_view> members) {
  TPublishedProperty<T> p{name, TPropertyKind::Enumeration};
  p.SetOrdinal = setter;
  p.Members = members;
  return p;
}

template <class T>
constexpr TPublishedProperty<T> StringProperty(std::string_view name, void (T::*setter)(const std::string&)) {
  TPublishedProperty<T> p{name, TPropertyKind::String};
  p.SetString = setter;
  return p;
}

namespace cmdline {

// The integer rule; raises EConvertError with the value text.
std::int32_t ConvertInt32(const std::string& value);

// The ordinal of the member named value (ASCII case ignored); raises
// EPropertyConvertError with the value text.
std::int32_t ConvertOrdinal(std::span<const std::string_view> members, const std::string& value);

// Finds the entry whose name equals name without regard to case; -1 if none.
std::ptrdiff_t FindProperty(std::size_t count, const std::function<std::string_view(std::size_t)>& nameAt,
                            std::string_view name);

// The argument loop of ParseCommandLine over any setter.
using TSetProperty = std::function<bool(const std::string& name, const std::string& value)>;
void ParseArguments(std::span<const std::string_view> arguments, const TSetProperty& set, std::string& unparsed,
                    std::vector<std::string>* ignored = nullptr);

// One help line per entry: name, type, default and meaning in columns.
struct THelpRow {
  std::string_view name;
  std::string type;
  std::string_view defaultText;
  std::string_view meaning;
};
std::vector<std::string> HelpLines(const std::vector<THelpRow>& rows);

}  // namespace cmdline

// True when an argument is "--help" (any case) or "-h".
bool AsksForHelp(std::span<const std::string_view> arguments);

// The help lines of T's options (see above).
template <class T>
std::vector<std::string> OptionsHelp() {
  std::vector<cmdline::THelpRow> rows;
  for (const TPublishedProperty<T>& p : T::PublishedProperties()) {
    std::string type;
    switch (p.Kind) {
      case TPropertyKind::Int32:
      case TPropertyKind::Int64:
        type = "integer";
        break;
      case TPropertyKind::Enumeration:
        type = p.SetBoolean ? "Boolean" : "enumeration";
        break;
      case TPropertyKind::String:
        type = "string";
        break;
      default:
        continue;  // not bindable: not an option
    }
    rows.push_back({p.Name, type, p.Default, p.Meaning});
  }
  return cmdline::HelpLines(rows);
}

// The items joined as comma text (see above); empty list -> "".
std::string CommaText(const std::vector<std::string>& items);

// Stores value in the property of target named name. Returns false when no
// such property exists or its kind is not bindable; raises on a value that
// does not convert.
template <class T>
bool SetPropertyValue(T& target, std::string_view name, const std::string& value) {
  const std::span<const TPublishedProperty<T>> table = T::PublishedProperties();
  const std::ptrdiff_t index =
      cmdline::FindProperty(table.size(), [&](std::size_t i) { return table[i].Name; }, name);
  if (index < 0) return false;
  const TPublishedProperty<T>& p = table[static_cast<std::size_t>(index)];
  switch (p.Kind) {
    case TPropertyKind::Int32:
      if (!p.SetInt32) return false;
      (target.*p.SetInt32)(cmdline::ConvertInt32(value));
      return true;
    case TPropertyKind::Int64:
      if (!p.SetInt64) return false;
      (target.*p.SetInt64)(static_cast<std::int64_t>(cmdline::ConvertInt32(value)));
      return true;
    case TPropertyKind::Enumeration: {
      if (!p.SetBoolean && !p.SetOrdinal) return false;
      const std::int32_t ordinal = cmdline::ConvertOrdinal(p.Members, value);
      if (p.SetBoolean) {
        (target.*p.SetBoolean)(ordinal != 0);
      } else {
        (target.*p.SetOrdinal)(ordinal);
      }
      return true;
    }
    case TPropertyKind::String:
      if (!p.SetString) return false;
      (target.*p.SetString)(value);
      return true;
    default:
      return false;
  }
}

class TCommandLineSupport {
 public:
  TCommandLineSupport() = delete;

  // Binds the program's arguments (argv[1] .. argv[argc - 1]) onto target.
  // With ignored, also every argument that bound to nothing, in order.
  template <class T>
  static void ParseCommandLine(T& target, int argc, const char* const* argv, std::string& unparsed,
                               std::vector<std::string>* ignored = nullptr) {
    const std::vector<std::string_view> arguments = Arguments(argc, argv);
    ParseCommandLine(target, std::span<const std::string_view>(arguments), unparsed, ignored);
  }

  // Binds the given arguments (no program name) onto target.
  template <class T>
  static void ParseCommandLine(T& target, std::span<const std::string_view> arguments, std::string& unparsed,
                               std::vector<std::string>* ignored = nullptr) {
    cmdline::ParseArguments(
        arguments, [&target](const std::string& name, const std::string& value) {
          return SetPropertyValue(target, name, value);
        },
        unparsed, ignored);
  }

  // argv[1] .. argv[argc - 1].
  static std::vector<std::string_view> Arguments(int argc, const char* const* argv) {
    std::vector<std::string_view> arguments;
    if (argc > 1) arguments.reserve(static_cast<std::size_t>(argc - 1));
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
    return arguments;
  }
};

}  // namespace ks
