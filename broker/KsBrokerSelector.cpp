#include "broker/KsBrokerSelector.hpp"

#include <cstdlib>
#include <optional>

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

std::optional<std::string_view> Lookup(const TBrokerMessage& m, std::string_view name) {
  if (name.size() > 3 && name.compare(0, 3, "JMS") == 0) {
    if (name == "JMSType") return m.Header("type");
    if (name == "JMSCorrelationID") return m.Header("correlation-id");
    if (name == "JMSMessageID") return std::string_view(m.messageId);
    if (name == "JMSTimestamp") return m.Header("timestamp");
    if (name == "JMSPriority") {
      static const char* const kDigits[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
      return std::string_view(kDigits[m.priority]);
    }
    if (name == "JMSExpiration") {
      auto e = m.Header("expires");
      return e ? *e : std::string_view("0");
    }
    if (name == "JMSDeliveryMode") {
      auto p = m.Header("persistent");
      return std::string_view(p && *p == "true" ? "PERSISTENT" : "NON_PERSISTENT");
    }
  }
  return m.Header(name);
}

}  // namespace

bool TBrokerSelector::Parse(std::string_view text, std::string& error) {
  terms_.clear();
  std::size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && IsBlank(text[i])) ++i;
  };
  auto fail = [&](const std::string& why) {
    terms_.clear();
    error = "Unsupported selector: " + why;
    return false;
  };
  skip();
  if (i == text.size()) return true;
  for (;;) {
    skip();
    if (i >= text.size() || !IsNameStart(text[i])) return fail("expected a header name at offset " + std::to_string(i));
    std::size_t start = i;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    TTerm term;
    term.name.assign(text.substr(start, i - start));
    for (const char* kw : {"AND", "OR", "NOT", "LIKE", "IN", "BETWEEN", "IS", "NULL", "TRUE", "FALSE", "ESCAPE"})
      if (SameText(term.name, kw)) return fail("'" + term.name + "' is not supported here");
    skip();
    if (i >= text.size()) return fail("expected a comparison after " + term.name);
    if (text.compare(i, 2, "<>") == 0) {
      term.op = TOp::Ne;
      i += 2;
    } else if (text.compare(i, 2, "<=") == 0) {
      term.op = TOp::Le;
      i += 2;
    } else if (text.compare(i, 2, ">=") == 0) {
      term.op = TOp::Ge;
      i += 2;
    } else if (text[i] == '=') {
      term.op = TOp::Eq;
      ++i;
    } else if (text[i] == '<') {
      term.op = TOp::Lt;
      ++i;
    } else if (text[i] == '>') {
      term.op = TOp::Gt;
      ++i;
    } else {
      return fail("expected =, <>, <, <=, > or >= after " + term.name);
    }
    skip();
    if (i >= text.size()) return fail("expected a value after " + term.name);
    if (text[i] == '\'') {
      ++i;
      for (;;) {
        if (i >= text.size()) return fail("unterminated string");
        if (text[i] == '\'') {
          if (i + 1 < text.size() && text[i + 1] == '\'') {
            term.text.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        term.text.push_back(text[i++]);
      }
      term.kind = TKind::Text;
      if (term.op != TOp::Eq && term.op != TOp::Ne) return fail("strings compare only with = and <>");
    } else {
      start = i;
      while (i < text.size() && !IsBlank(text[i])) ++i;
      std::string_view word = text.substr(start, i - start);
      if (SameText(word, "TRUE") || SameText(word, "FALSE")) {
        term.kind = TKind::Boolean;
        term.boolean = SameText(word, "TRUE");
        if (term.op != TOp::Eq && term.op != TOp::Ne) return fail("booleans compare only with = and <>");
      } else if (ParseNumber(word, term.number)) {
        term.kind = TKind::Number;
      } else {
        return fail("'" + std::string(word) + "' is not a string, number or boolean");
      }
    }
    terms_.push_back(std::move(term));
    skip();
    if (i == text.size()) return true;
    start = i;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    if (!SameText(text.substr(start, i - start), "AND"))
      return fail("only AND may join comparisons (offset " + std::to_string(start) + ")");
  }
}

bool TBrokerSelector::Matches(const TBrokerMessage& message) const {
  for (const TTerm& t : terms_) {
    std::optional<std::string_view> value = Lookup(message, t.name);
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
