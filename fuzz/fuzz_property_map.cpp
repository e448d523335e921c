// Fuzz target: the property map of a message (TPrimitiveMap) driven by a
// stream of operations, checked against a plain model: entries in order of
// first insertion, names without regard to ASCII case, empty values removing
// the entry, GetInteger by the integer rule (0 when it does not convert),
// GetBoolean true only for the exact text "true".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/KsFuzzOracle.hpp"
#include "jms/KsPrimitiveMap.hpp"
#include "support/KsText.hpp"

using ks::fuzz::FuzzCheck;

namespace {

class TReader {
 public:
  TReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A short text: a length byte, then that many bytes.
  std::string Text() {
    const std::size_t n = std::min<std::size_t>(Byte() % 24, size_ - pos_);
    std::string s(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

using TModel = std::vector<std::pair<std::string, std::string>>;

TModel::iterator Find(TModel& model, std::string_view name) {
  for (auto it = model.begin(); it != model.end(); ++it) {
    if (ks::SameText(it->first, name)) return it;
  }
  return model.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TReader in(data, size);
  ks::TPrimitiveMap map;
  TModel model;
  while (in.More()) {
    const std::uint8_t op = in.Byte() % 6;
    std::string name = in.Text();
    // Names that hold "=" cannot round-trip through "name=value" storage;
    // the library does not promise anything for them.
    if (name.find('=') != std::string::npos) continue;
    switch (op) {
      case 0: {
        std::string value = in.Text();
        map.SetString(name, value);
        auto it = Find(model, name);
        if (value.empty()) {
          if (it != model.end()) model.erase(it);
        } else if (it != model.end()) {
          *it = {name, value};
        } else {
          model.emplace_back(name, value);
        }
        break;
      }
      case 1: {
        const std::int32_t v = static_cast<std::int32_t>(in.Byte() | (in.Byte() << 8) | (in.Byte() << 16) |
                                                         (static_cast<std::uint32_t>(in.Byte()) << 24));
        map.SetInteger(name, v);
        FuzzCheck(map.GetInteger(name) == v, "SetInteger then GetInteger differs");
        FuzzCheck(map.GetString(name) == std::to_string(v), "SetInteger wrote no plain decimal text");
        auto it = Find(model, name);
        if (it != model.end()) *it = {name, std::to_string(v)};
        else model.emplace_back(name, std::to_string(v));
        break;
      }
      case 2: {
        const bool v = (in.Byte() & 1) != 0;
        map.SetBoolean(name, v);
        FuzzCheck(map.GetBoolean(name) == v, "SetBoolean then GetBoolean differs");
        auto it = Find(model, name);
        const std::string text = v ? "true" : "false";
        if (it != model.end()) *it = {name, text};
        else model.emplace_back(name, text);
        break;
      }
      case 3: {
        auto it = Find(model, name);
        const std::string expected = it == model.end() ? std::string() : it->second;
        FuzzCheck(map.GetString(name) == expected, "GetString differs from the model");
        const auto v = ks::fuzz::ReferenceIntegerRule(expected, 32);
        FuzzCheck(map.GetInteger(name) == (v ? *v : 0), "GetInteger differs from the integer rule");
        FuzzCheck(map.GetBoolean(name) == (expected == "true"), "GetBoolean differs");
        break;
      }
      case 4:
        if ((in.Byte() & 7) == 0) {
          map.Clear();
          model.clear();
        }
        break;
      default:
        break;
    }
  }
  const ks::TStringArray names = map.GetNames();
  FuzzCheck(names.size() == model.size(), "GetNames has another count than the model");
  for (std::size_t i = 0; i < names.size() && i < model.size(); ++i) {
    FuzzCheck(names[i] == model[i].first, "GetNames order or spelling differs from the model");
  }
  return 0;
}
