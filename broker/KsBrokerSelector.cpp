#include "broker/KsBrokerSelector.hpp"

#include <cstdlib>
#include <optional>
#include <utility>

#include "broker/KsBrokerMessage.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Parses text completely as a number; false when it is not one.
bool ParseNumber(std::string_view text, double& value) {
  if (text.empty() || text.size() > 64) return false;
  std::string copy(text);
  char* end = nullptr;
  value = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size();
}

// The value name reads in m; one that must be unescaped is written to
// scratch.
std::optional<std::string_view> Lookup(const TBrokerMessage& m, std::string_view name, std::string& scratch) {
  if (name.size() > 3 && name.compare(0, 3, "JMS") == 0) {
    if (name == "JMSType") return m.Header("type", scratch);
    if (name == "JMSCorrelationID") return m.Header("correlation-id", scratch);
    if (name == "JMSMessageID") return std::string_view(m.messageId);
    if (name == "JMSTimestamp") return m.Header("timestamp", scratch);
    if (name == "JMSPriority") {
      static const char* const kDigits[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
      return std::string_view(kDigits[m.priority]);
    }
    if (name == "JMSExpiration") {
      auto e = m.Header("expires", scratch);
      return e ? *e : std::string_view("0");
    }
    if (name == "JMSDeliveryMode") {
      auto p = m.Header("persistent", scratch);
      return std::string_view(p && *p == "true" ? "PERSISTENT" : "NON_PERSISTENT");
    }
  }
  return m.Header(name, scratch);
}

}  // namespace

// The grammar, one member per level:
//   selector   := blank | comparison { "AND" comparison }
//   comparison := name operator value
//   value      := 'quoted text' | TRUE | FALSE | number
// Every member returns false at the first thing it does not accept, with
// the reason in Error().
class TBrokerSelector::TParser {
 public:
  explicit TParser(std::string_view text) : text_(text) {}

  // The whole text into terms; false on the first unsupported part.
  bool Selector(std::vector<TTerm>& terms);
  const std::string& Error() const { return error_; }

 private:
  bool Comparison(TTerm& term);
  bool Name(TTerm& term);
  bool Operator(TTerm& term);
  bool Value(TTerm& term);
  bool QuotedText(TTerm& term);
  bool Word(TTerm& term);
  // The AND between two comparisons.
  bool Joiner();

  bool AtEnd() const { return i_ >= text_.size(); }
  void SkipBlanks() {
    while (i_ < text_.size() && IsBlank(text_[i_])) ++i_;
  }
  // The text from start up to the next character that cannot be in a name.
  std::string_view NameFrom(std::size_t start) {
    while (i_ < text_.size() && IsNameChar(text_[i_])) ++i_;
    return text_.substr(start, i_ - start);
  }
  bool Fail(const std::string& why) {
    error_ = "Unsupported selector: " + why;
    return false;
  }

  std::string_view text_;
  std::size_t i_ = 0;  // the next character to read
  std::string error_;
};

bool TBrokerSelector::TParser::Selector(std::vector<TTerm>& terms) {
  SkipBlanks();
  if (AtEnd()) return true;
  for (;;) {
    TTerm term;
    if (!Comparison(term)) return false;
    terms.push_back(std::move(term));
    SkipBlanks();
    if (AtEnd()) return true;
    if (!Joiner()) return false;
  }
}

bool TBrokerSelector::TParser::Comparison(TTerm& term) {
  SkipBlanks();
  if (!Name(term)) return false;
  SkipBlanks();
  if (AtEnd()) return Fail("expected a comparison after " + term.name);
  if (!Operator(term)) return false;
  SkipBlanks();
  if (AtEnd()) return Fail("expected a value after " + term.name);
  return Value(term);
}

bool TBrokerSelector::TParser::Name(TTerm& term) {
  if (AtEnd() || !IsNameStart(text_[i_])) return Fail("expected a header name at offset " + std::to_string(i_));
  term.name.assign(NameFrom(i_));
  for (const char* kw : {"AND", "OR", "NOT", "LIKE", "IN", "BETWEEN", "IS", "NULL", "TRUE", "FALSE", "ESCAPE"})
    if (SameText(term.name, kw)) return Fail("'" + term.name + "' is not supported here");
  return true;
}

bool TBrokerSelector::TParser::Operator(TTerm& term) {
  // Two-character operators first, so that "<=" is not read as "<".
  static constexpr std::pair<std::string_view, TOp> kOperators[] = {
      {"<>", TOp::Ne}, {"<=", TOp::Le}, {">=", TOp::Ge}, {"=", TOp::Eq}, {"<", TOp::Lt}, {">", TOp::Gt}};
  for (const auto& [token, op] : kOperators) {
    if (text_.compare(i_, token.size(), token) != 0) continue;
    term.op = op;
    i_ += token.size();
    return true;
  }
  return Fail("expected =, <>, <, <=, > or >= after " + term.name);
}

bool TBrokerSelector::TParser::Value(TTerm& term) {
  return text_[i_] == '\'' ? QuotedText(term) : Word(term);
}

// 'text', where '' stands for one quote.
bool TBrokerSelector::TParser::QuotedText(TTerm& term) {
  ++i_;
  for (;;) {
    if (AtEnd()) return Fail("unterminated string");
    if (text_[i_] == '\'') {
      if (i_ + 1 < text_.size() && text_[i_ + 1] == '\'') {
        term.text.push_back('\'');
        i_ += 2;
        continue;
      }
      ++i_;
      break;
    }
    term.text.push_back(text_[i_++]);
  }
  term.kind = TKind::Text;
  if (term.op != TOp::Eq && term.op != TOp::Ne) return Fail("strings compare only with = and <>");
  return true;
}

// TRUE, FALSE or a number: everything up to the next blank.
bool TBrokerSelector::TParser::Word(TTerm& term) {
  const std::size_t start = i_;
  while (i_ < text_.size() && !IsBlank(text_[i_])) ++i_;
  const std::string_view word = text_.substr(start, i_ - start);
  if (SameText(word, "TRUE") || SameText(word, "FALSE")) {
    term.kind = TKind::Boolean;
    term.boolean = SameText(word, "TRUE");
    if (term.op != TOp::Eq && term.op != TOp::Ne) return Fail("booleans compare only with = and <>");
    return true;
  }
  if (!ParseNumber(word, term.number)) return Fail("'" + std::string(word) + "' is not a string, number or boolean");
  term.kind = TKind::Number;
  return true;
}

bool TBrokerSelector::TParser::Joiner() {
  const std::size_t start = i_;
  if (!SameText(NameFrom(start), "AND"))
    return Fail("only AND may join comparisons (offset " + std::to_string(start) + ")");
  return true;
}

bool TBrokerSelector::Parse(std::string_view text, std::string& error) {
  terms_.clear();
  TParser parser(text);
  if (parser.Selector(terms_)) return true;
  terms_.clear();
  error = parser.Error();
  return false;
}

bool TBrokerSelector::Matches(const TBrokerMessage& message) const {
  std::string scratch;
  for (const TTerm& t : terms_) {
    std::optional<std::string_view> value = Lookup(message, t.name, scratch);
    if (!value) return false;
    bool ok = false;
    switch (t.kind) {
      case TKind::Text:
        ok = (*value == t.text) == (t.op == TOp::Eq);
        break;
      case TKind::Boolean: {
        bool isTrue = SameText(*value, "true");
        if (!isTrue && !SameText(*value, "false")) return false;
        ok = (isTrue == t.boolean) == (t.op == TOp::Eq);
        break;
      }
      case TKind::Number: {
        double v = 0;
        if (!ParseNumber(*value, v)) return false;
        switch (t.op) {
          case TOp::Eq: ok = v == t.number; break;
          case TOp::Ne: ok = v != t.number; break;
          case TOp::Lt: ok = v < t.number; break;
          case TOp::Le: ok = v <= t.number; break;
          case TOp::Gt: ok = v > t.number; break;
          case TOp::Ge: ok = v >= t.number; break;
        }
        break;
      }
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace ks
